#!/usr/bin/env python3
"""thmdump --gltf: what the Khronos validator says of the converted files, and
what the glTF holds, read back and compared with the .thm it came from.

  gltf_test.py BIN_DIR

Groups: 0 validator errors on the examples, the imported models the tests use
and random documents (warnings and missing textures reported); positions, UVs,
normals, triangles, weights, bone matrices at every frame, inverse bind
matrices, notes and lights against the .thm (read with the Python package);
.gltf with its .bin beside it; a malformed file writes nothing and leaves what
stood there.
"""
import base64
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from support.scripts import (MODELS, ROOT, expect, export_examples, export_models, export_random, f32,  # noqa: E402
                             finish, run)

sys.path.insert(0, os.path.join(ROOT, "python"))
import thm  # noqa: E402

BIN = sys.argv[1]
THMDUMP = os.path.join(BIN, "thmdump")
MORE = ["X/BCN_Epileptic.X", "X/anim_test.x", "X/Testwuson.X", "Collada/teapot_instancenodes.DAE"]
COMPONENTS = {5126: "f", 5125: "I", 5123: "H", 5121: "B"}
WIDTH = {"SCALAR": 1, "VEC2": 2, "VEC3": 3, "VEC4": 4, "MAT4": 16}


# ---- Reading glTF back ----------------------------------------------------------

def read_glb(path):
    data = open(path, "rb").read()
    magic, version, length = struct.unpack_from("<III", data, 0)
    assert magic == 0x46546C67 and version == 2 and length == len(data), "GLB header"
    jlen, jtype = struct.unpack_from("<II", data, 12)
    doc = json.loads(data[20:20 + jlen])
    binary = b""
    if 20 + jlen < len(data):
        blen, btype = struct.unpack_from("<II", data, 20 + jlen)
        binary = data[28 + jlen:28 + jlen + blen]
    return doc, binary


def read_gltf(path):
    """The document and its buffers (files beside it or data URIs)."""
    doc = json.load(open(path))
    buffers = []
    for buf in doc.get("buffers", []):
        uri = buf["uri"]
        if uri.startswith("data:"):
            buffers.append(base64.b64decode(uri.split(",", 1)[1]))
        else:
            buffers.append(open(os.path.join(os.path.dirname(path), urllib.parse.unquote(uri)), "rb").read())
    return doc, buffers


def accessor(doc, binary, index):
    a = doc["accessors"][index]
    view = doc["bufferViews"][a["bufferView"]]
    width = WIDTH[a["type"]]
    one = struct.Struct("<%d%s" % (width, COMPONENTS[a["componentType"]]))
    stride = view.get("byteStride", one.size)
    at = view.get("byteOffset", 0) + a.get("byteOffset", 0)
    data = binary[view["buffer"]] if isinstance(binary, list) else binary
    return [one.unpack_from(data, at + i * stride) for i in range(a["count"])]


def node_worlds(doc):
    """Every node's world matrix, from the scene's roots down."""
    nodes = doc.get("nodes", [])
    out = {}

    def local(n):
        if "matrix" in n:
            m = n["matrix"]
            return [[m[c * 4 + r] for c in range(4)] for r in range(4)]
        return trs(n.get("translation", [0, 0, 0]), n.get("rotation", [0, 0, 0, 1]), n.get("scale", [1, 1, 1]))

    def walk(i, parent):
        out[i] = mul(parent, local(nodes[i]))
        for c in nodes[i].get("children", []):
            walk(c, out[i])
    for scene in doc.get("scenes", []):
        for root in scene.get("nodes", []):
            walk(root, [[float(i == j) for j in range(4)] for i in range(4)])
    return out


def world_corners(doc, binary):
    """(position in world space, uv) of every vertex of every drawn mesh."""
    out = []
    worlds = node_worlds(doc)

    def apply(m, p):
        return [sum(m[r][c] * (list(p) + [1])[c] for c in range(4)) for r in range(3)]
    for i, m in worlds.items():
        node = doc["nodes"][i]
        if "mesh" not in node:
            continue
        skin = doc["skins"][node["skin"]] if "skin" in node else None
        if skin:
            # Drawn at rest: each position moved by its joints' world matrix times their inverse bind matrix.
            ibm = accessor(doc, binary, skin["inverseBindMatrices"])
            moves = [mul(worlds[j], [[ibm[k][c * 4 + r] for c in range(4)] for r in range(4)])
                     for k, j in enumerate(skin["joints"])]
        for prim in doc["meshes"][node["mesh"]]["primitives"]:
            at = prim["attributes"]
            pos = accessor(doc, binary, at["POSITION"])
            uv = accessor(doc, binary, at["TEXCOORD_0"]) if "TEXCOORD_0" in at else None
            if skin:
                sets = sum(1 for k in at if k.startswith("JOINTS_"))
                joints = [accessor(doc, binary, at[f"JOINTS_{k}"]) for k in range(sets)]
                weights = [accessor(doc, binary, at[f"WEIGHTS_{k}"]) for k in range(sets)]
            for k, p in enumerate(pos):
                if skin:
                    q = [0.0, 0.0, 0.0]
                    for js, ws in zip(joints, weights):
                        for j, w in zip(js[k], ws[k]):
                            q = [a + w * b for a, b in zip(q, apply(moves[j], p))]
                else:
                    q = apply(m, p)
                out.append((q, list(uv[k]) if uv else [0.0, 0.0]))
    return out


def same_corners(a, b, tol=1e-4):
    """Every corner of a has one of b within tol, and the other way round."""
    def index(corners):
        grid = {}
        for p, uv in corners:
            grid.setdefault(tuple(round(c / 0.01) for c in p), []).append((p, uv))
        return grid

    def covered(xs, grid):
        for p, uv in xs:
            key = tuple(round(c / 0.01) for c in p)
            near = [q for dx in (-1, 0, 1) for dy in (-1, 0, 1) for dz in (-1, 0, 1)
                    for q in grid.get((key[0] + dx, key[1] + dy, key[2] + dz), [])]
            if not any(all(abs(x - y) <= tol * max(1, abs(y)) for x, y in zip(p + uv, q[0] + q[1])) for q in near):
                return False
        return True
    return covered(a, index(b)) and covered(b, index(a))


# ---- Matrices (row-major 4x4 lists) -----------------------------------------------

def mul(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(4)) for j in range(4)] for i in range(4)]


def trs(t, r, s):
    x, y, z, w = r
    rot = [[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
           [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
           [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]]
    return [[rot[i][0] * s[0], rot[i][1] * s[1], rot[i][2] * s[2], t[i]] for i in range(3)] + [[0, 0, 0, 1]]


def bone_to_gltf(m):
    """A file bone matrix (rows: axes, translation; host axes) as the glTF world matrix G M."""
    host = [[m[c][r] for c in range(4)] for r in range(3)] + [[0, 0, 0, 1]]
    g = [[1, 0, 0, 0], [0, 0, 1, 0], [0, -1, 0, 0], [0, 0, 0, 1]]
    return mul(g, host)


def close(a, b, tol):
    return all(abs(x - y) <= tol * max(1.0, abs(y)) for ra, rb in zip(a, b) for x, y in zip(ra, rb))


def file_to_gltf(p):
    return (p[0], -p[2], p[1])


# ---- The comparison -------------------------------------------------------------

def compare(label, path, doc, binary):
    records = thm.read(open(path, "rb").read())
    nodes = doc.get("nodes", [])
    by_record = {n["extras"]["record"]: n for n in nodes if "record" in n.get("extras", {})}
    parent_of = {}
    for i, n in enumerate(nodes):
        for c in n.get("children", []):
            parent_of[c] = i
    lights = doc.get("extensions", {}).get("KHR_lights_punctual", {}).get("lights", [])
    expect(len(by_record) == len(records), f"{label}: a node per record")
    for r, rec in enumerate(records):
        node = by_record.get(r)
        if node is None:
            continue
        expect(node["name"] == rec.name, f"{label}: record {r} node name {node['name']!r}")
        if isinstance(rec, thm.LightRecord):
            light = lights[node["extensions"]["KHR_lights_punctual"]["light"]]
            p = rec.position
            expect(node["translation"] == [f32(p[0]), f32(p[2]), f32(-p[1])], f"{label}: light {r} position")
            expect(light["color"] == [f32(c) for c in rec.colour], f"{label}: light {r} colour")
            expect(light["type"] == ("spot" if rec.spot else "point"), f"{label}: light {r} type")
            if rec.spot:
                expect(abs(light["spot"]["outerConeAngle"] - min(math.radians(rec.spot.falloff) / 2, math.pi / 2)) < 1e-5,
                       f"{label}: spot {r} cone")
                # The node's -z axis along the light's direction.
                d = rec.spot.direction
                want = (d[0], d[2], -d[1])
                n = math.sqrt(sum(c * c for c in want))
                m = trs([0, 0, 0], node["rotation"], [1, 1, 1])
                got = (-m[0][2], -m[1][2], -m[2][2])
                expect(all(abs(g - w / n) < 1e-5 for g, w in zip(got, want)), f"{label}: spot {r} direction")
            continue

        sections = [s for s in rec.materials if s.vertices and s.triangles]
        prims = doc["meshes"][node["mesh"]]["primitives"] if "mesh" in node else []
        expect(len(prims) == len(sections), f"{label}: record {r} has a primitive per section")
        weights_of = None
        if rec.skin and rec.skin.bones:
            weights_of = []
            for lst in rec.skin.vertex_refs:
                total = {}
                for b, w in lst.refs:
                    total[b] = total.get(b, 0.0) + w
                pos = {b: w for b, w in total.items() if w > 0}
                s = sum(pos.values())
                weights_of.append({b: w / s for b, w in pos.items()} if pos else {lst.refs[0][0]: 1.0})
        for s, prim in zip(sections, prims):
            at = prim["attributes"]
            pos = accessor(doc, binary, at["POSITION"])
            uv = accessor(doc, binary, at["TEXCOORD_0"])
            nor = accessor(doc, binary, at["NORMAL"])
            idx = [i[0] for i in accessor(doc, binary, prim["indices"])]
            ok_pos = all(tuple(pos[i]) == tuple(f32(c) for c in file_to_gltf(rec.positions[v.sv]))
                         for i, v in enumerate(s.vertices))
            expect(ok_pos, f"{label}: record {r} positions")
            expect(all(uv[i][0] == f32(v.u) and uv[i][1] == f32(v.v) for i, v in enumerate(s.vertices)),
                   f"{label}: record {r} UVs")
            expect(all(abs(a - b) < 1e-5 for i, v in enumerate(s.vertices)
                       for a, b in zip(nor[i], file_to_gltf(v.normal))), f"{label}: record {r} normals")
            expect(idx == [t.index(k) for t in s.triangles for k in range(3)], f"{label}: record {r} triangles")
            if "material" in prim:
                mat = doc["materials"][prim["material"]]
                expect(mat["name"] == s.header.name, f"{label}: record {r} material name")
                expect(mat.get("doubleSided", False) == s.header.two_sided, f"{label}: record {r} two-sided")
                if s.header.diffuse_map:
                    img = doc["images"][doc["textures"][mat["pbrMetallicRoughness"]["baseColorTexture"]["index"]]["source"]]
                    expect(img["name"] == s.header.diffuse_map, f"{label}: record {r} diffuse map")
                expect(mat["pbrMetallicRoughness"]["baseColorFactor"][3] == f32(min(max(s.header.opacity, 0), 1)),
                       f"{label}: record {r} opacity")
            if weights_of is not None:
                sets = sum(1 for k in at if k.startswith("JOINTS_"))
                joints = [accessor(doc, binary, at[f"JOINTS_{k}"]) for k in range(sets)]
                weights = [accessor(doc, binary, at[f"WEIGHTS_{k}"]) for k in range(sets)]
                ok = True
                for i, v in enumerate(s.vertices):
                    got = {}
                    for k in range(sets):
                        for j, w in zip(joints[k][i], weights[k][i]):
                            if w:
                                got[j] = got.get(j, 0.0) + w
                    want = weights_of[v.sv]
                    ok &= got.keys() == want.keys() and all(abs(got[b] - want[b]) < 1e-6 for b in want)
                expect(ok, f"{label}: record {r} weights")

        if weights_of is not None and "skin" in node:
            skin = doc["skins"][node["skin"]]
            joints = skin["joints"]
            k = rec.skin
            expect([nodes[j]["name"] for j in joints] == [b.name for b in k.bones], f"{label}: record {r} joints")
            ibm = accessor(doc, binary, skin["inverseBindMatrices"])

            def world(j, local):
                m = local(j)
                while j in parent_of:
                    j = parent_of[j]
                    m = mul(local(j), m)
                return m

            def rest(j):
                n = nodes[j]
                return trs(n["translation"], n["rotation"], n["scale"])

            ok_bind = ok_ibm = True
            for b, j in enumerate(joints):
                w = world(j, rest)
                ok_bind &= close(w, bone_to_gltf(k.bones[b].matrix), 1e-4)
                inv = [[ibm[b][c * 4 + r_] for c in range(4)] for r_ in range(4)]
                ok_ibm &= close(mul(w, inv), [[float(i == jj) for jj in range(4)] for i in range(4)], 1e-4)
            expect(ok_bind, f"{label}: record {r} bind pose")
            expect(ok_ibm, f"{label}: record {r} inverse bind matrices")

            anims = [a for a in doc.get("animations", []) if any(c["target"]["node"] in joints for c in a["channels"])]
            expect(len(anims) == (1 if k.frame_count else 0), f"{label}: record {r} animation")
            if anims:
                anim = anims[0]
                keys = {}
                for c in anim["channels"]:
                    sampler = anim["samplers"][c["sampler"]]
                    keys[(c["target"]["node"], c["target"]["path"])] = accessor(doc, binary, sampler["output"])
                times = [t[0] for t in accessor(doc, binary, anim["samplers"][0]["input"])]
                expect(all(abs(t - f / k.frame_rate) < 1e-5 for f, t in enumerate(times)), f"{label}: key times")
                ok_frames = True
                for f in range(k.frame_count):
                    def posed(j):
                        return trs(keys[(j, "translation")][f], keys[(j, "rotation")][f], keys[(j, "scale")][f])
                    for b, j in enumerate(joints):
                        ok_frames &= close(world(j, posed), bone_to_gltf(k.sample(f, b).matrix), 1e-4)
                expect(ok_frames, f"{label}: record {r} bone matrices at every frame")
                notes = anim["extras"]["notes"]
                expect([(n["frame"], n["text"]) for n in notes] == [(n.frame, n.text) for n in k.notes],
                       f"{label}: record {r} notes")


def main():
    work = tempfile.mkdtemp(prefix="thm_gltf_")
    try:
        files = export_examples(BIN, work) + export_models(BIN, work) + export_models(BIN, work, MORE)
        files += export_random(BIN, work, 6, 11)
        glbs = []
        for path in files:
            out = path[:-4] + ".glb"
            r = run([THMDUMP, "--gltf", out, path])
            if expect(r.returncode == 0, f"{os.path.basename(path)}: thmdump --gltf: {r.stderr}"):
                glbs.append((path, out))
        # The demo's textures ship beside it; a model's beside the model.
        search = [os.path.join(ROOT, "examples", "maps")] + sorted(
            {os.path.join(MODELS, os.path.dirname(rel)) for rel in MORE} |
            {os.path.join(MODELS, d) for d in ("3DS", "glTF2/BoxTextured-glTF", "SMD", "FBX", "Collada", "X", "ASE")})
        args = ["node", os.path.join(HERE, "validate.mjs")]
        for d in search:
            args += ["--search", d]
        reports = [json.loads(line) for line in run(args + [g for _, g in glbs], timeout=600).stdout.splitlines()]
        expect(len(reports) == len(glbs), "the validator answered for every file")
        totals = [0, 0]
        for (path, glb), rep in zip(glbs, reports):
            name = os.path.basename(path)
            expect(rep["errors"] == 0, f"{name}: {rep['errors']} validator errors: {rep['messages']}")
            totals[0] += rep["errors"]
            totals[1] += rep["warnings"]
            print(f"{name}: errors {rep['errors']}, warnings {rep['warnings']}, infos {rep['infos']}, "
                  f"missing textures {rep['missing']}")
            doc, binary = read_glb(glb)
            compare(name, path, doc, binary)
        print(f"validator: {len(reports)} files, {totals[0]} errors, {totals[1]} warnings")

        # glTF in, glTF out: model -> .thm -> glTF keeps the drawn corners (world positions and UVs)
        # and the skeleton's rest pose of the original.
        for rel in ("glTF2/BoxTextured-glTF/BoxTextured.gltf", "glTF2/simple_skin/simple_skin.gltf",
                    "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb"):
            src = os.path.join(MODELS, rel)
            thm_path = os.path.join(work, "round_" + os.path.basename(rel) + ".thm")
            out = thm_path + ".glb"
            run([os.path.join(BIN, "thmexport"), "-q", src, "-o", thm_path])
            r = run([THMDUMP, "--gltf", out, thm_path])
            if not expect(r.returncode == 0, f"round trip {rel}: {r.stderr}"):
                continue
            original = read_glb(src) if src.endswith(".glb") else read_gltf(src)
            converted = read_glb(out)
            expect(same_corners(world_corners(*original), world_corners(*converted)),
                   f"round trip {rel}: positions and UVs")
            if original[0].get("skins"):
                # The same joints at rest (matched by their world matrices: the source names none).
                ow, cw = node_worlds(original[0]), node_worlds(converted[0])
                a = [ow[j] for j in original[0]["skins"][0]["joints"]]
                b = [cw[j] for s in converted[0]["skins"] for j in s["joints"]]
                expect(all(any(close(x, y, 1e-4) for y in b) for x in a) and
                       all(any(close(y, x, 1e-4) for x in a) for y in b), f"round trip {rel}: joints at rest")

        # .gltf with its buffer beside it: the same document.
        demo = files[0]
        out = os.path.join(work, "as_text.gltf")
        expect(run([THMDUMP, "--gltf", out, demo]).returncode == 0, "--gltf OUT.gltf")
        expect(os.path.exists(os.path.join(work, "as_text.bin")), "the .bin beside the .gltf")
        doc, binary = read_gltf(out)
        compare("demo as .gltf", demo, doc, binary)
        rep = json.loads(run(args + [out]).stdout)
        expect(rep["errors"] == 0, f".gltf: {rep['messages']}")

        # A malformed file: exit 1, nothing written, what stood there kept.
        bad = os.path.join(ROOT, "tests", "thm", "files", "fault_end_mark.thm")
        target = os.path.join(work, "kept.glb")
        shutil.copy(glbs[0][1], target)
        before = open(target, "rb").read()
        r = run([THMDUMP, "--gltf", target, bad])
        expect(r.returncode == 1 and "expected end mark -14" in r.stderr, f"malformed: exit {r.returncode} {r.stderr}")
        expect(open(target, "rb").read() == before, "a failed conversion leaves the old file")
        expect(not [f for f in os.listdir(work) if ".tmp" in f], "no temporary file left")
        r = run([THMDUMP, "--gltf", os.path.join(work, "no", "such", "dir.glb"), demo])
        expect(r.returncode == 2 and "cannot write" in r.stderr, f"unwritable: exit {r.returncode} {r.stderr}")
    finally:
        shutil.rmtree(work)
    return finish("gltf_test")


if __name__ == "__main__":
    sys.exit(main())
