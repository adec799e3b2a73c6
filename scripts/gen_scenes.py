#!/usr/bin/env python3
"""Writes random scene documents that use every feature of the format.

Usage: scripts/gen_scenes.py OUT_DIR [--count N] [--seed S]

The documents are valid (thmexport loads them) and deterministic for a seed, so that two builds can be
compared on them output for output. They mix meshes with seams, smoothing words (bit 31 included),
multi materials with maps and crops, two-sided and non-standard materials, skins with bones, weights,
extras and notes, animation keys, lights of both kinds, hidden nodes, shapes, cameras and dummies.
"""
import argparse
import json
import math
import os
import random


def unit_quat(r):
    v = [r.gauss(0, 1) for _ in range(4)]
    n = math.sqrt(sum(x * x for x in v)) or 1.0
    return [x / n for x in v]


def transform(r):
    t = {"position": [round(r.uniform(-50, 50), 3) for _ in range(3)]}
    if r.random() < 0.6:
        t["rotation"] = unit_quat(r)
    if r.random() < 0.4:
        s = [round(r.uniform(0.5, 2.0), 3) for _ in range(3)]
        if r.random() < 0.3:
            s[r.randrange(3)] *= -1  # a mirror
        t["scale"] = s
    return t


def bitmap(r):
    m = {"class": "bitmap", "fileName": r.choice(["maps\\a.tga", "b.png", "c:\\art\\d.tga", "", None])}
    if r.random() < 0.3:
        m["alphaSource"] = r.choice(["file", "rgb", "none"])
    if r.random() < 0.4:
        m["uvTransform"] = [[r.choice([1, 2, 0.5]), 0, 0], [0, r.choice([1, 2, -1]), 0], [0, 0, 1],
                            [round(r.uniform(-1, 1), 2), round(r.uniform(-1, 1), 2), 0]]
    if r.random() < 0.3:
        m["crop"] = [round(r.uniform(0, 0.5), 3), round(r.uniform(0, 0.5), 3), 0.5, 0.5]
    return m


def materials(r):
    mats = {}
    for i in range(r.randrange(1, 5)):
        m = {"class": "standard", "name": r.choice(["M%d" % i, "Glass_VR", "x_vr", "", None])}
        if r.random() < 0.3:
            m["twoSided"] = True
        if r.random() < 0.5:
            m["transparencyType"] = r.choice(["filter", "subtractive", "additive", 5])
        if r.random() < 0.5:
            m["opacity"] = round(r.random(), 3)
        maps = {}
        for slot in ("diffuse", "reflection", "selfIllum", "bump"):
            if r.random() < 0.4:
                maps[slot] = {"map": bitmap(r)}
                if r.random() < 0.5:
                    maps[slot]["amount"] = round(r.random(), 2)
        if r.random() < 0.1:
            maps["diffuse"] = {"map": {"class": "other", "classId": ["0x1234", 7]}}
        if maps:
            m["maps"] = maps
        mats["s%d" % i] = m
    if r.random() < 0.3:
        mats["odd"] = {"class": "other", "name": "Odd", "classId": [99, 1]}
    ids = list(mats)
    if r.random() < 0.7:
        mats["multi"] = {"class": "multi", "name": "Multi",
                         "subMaterials": [r.choice(ids + [None]) for _ in range(r.randrange(1, 5))]}
    return mats


def mesh(r, with_class=True):
    nx, ny = r.randrange(2, 9), r.randrange(2, 9)
    verts, faces = [], []
    for j in range(ny):
        for i in range(nx):
            z = round(math.sin(i * 0.7) * math.cos(j * 0.5) * 3, 3)
            verts.append([i * 2.0, j * 2.0, z])
    # Coincident copies, so that welding has work to do.
    for _ in range(r.randrange(0, 4)):
        v = list(r.choice(verts))
        v[0] += r.choice([0.0, 1e-6, 5e-6, 2e-5])
        verts.append(v)
    for j in range(ny - 1):
        for i in range(nx - 1):
            a, b, c, d = j * nx + i, j * nx + i + 1, (j + 1) * nx + i, (j + 1) * nx + i + 1
            faces += [[a, b, d], [a, d, c]]
    if r.random() < 0.2:
        faces.append(list(faces[0]))  # a duplicate
    if r.random() < 0.2:
        faces.append([0, 0, 1])  # a degenerate one
    nv = len(verts)
    if len(verts) > nx * ny:
        faces.append([nv - 1, 1, nx])
    m = {"class": "mesh"} if with_class else {}
    m["vertices"] = verts
    m["faces"] = faces
    nf = len(faces)
    if r.random() < 0.8:
        m["smoothing"] = [r.choice([0, 1, 2, 3, 1 << 31, 0x80000001, 0xFFFFFFFF]) for _ in range(nf)]
    if r.random() < 0.5:
        m["edges"] = [r.choice([0, 1, 2, 4, 7, 0x17]) for _ in range(nf)]
    if r.random() < 0.6:
        m["materialIds"] = [r.randrange(0, 6) for _ in range(nf)]
    if r.random() < 0.8:
        nt = r.randrange(1, nv + 4)
        m["tverts"] = [[round(r.uniform(-1, 2), 3), round(r.uniform(-1, 2), 3)] +
                       ([0.5] if r.random() < 0.2 else []) for _ in range(nt)]
        m["tvfaces"] = [[r.randrange(nt) for _ in range(3)] for _ in range(nf)]
    return m


def skin(r, nverts, bone_names):
    s = {"class": "skin", "bones": []}
    if r.random() < 0.1:
        s["classId"] = ["0x37e26e45", "0x543b6a2a"]
    for name in bone_names:
        b = {"node": name}
        if r.random() < 0.3:
            b["name"] = r.choice(["Renamed", "B_" + name])
        if r.random() < 0.3:
            b["extra"] = [1.5, "0x7FC00001", -2]
        s["bones"].append(b)
    if r.random() < 0.9:
        rows = []
        for _ in range(nverts):
            row = [0.0] * len(bone_names)
            for _ in range(r.randrange(0, 3)):
                if bone_names:
                    row[r.randrange(len(bone_names))] = round(r.random(), 3)
            rows.append(row)
        s["weights"] = rows
    return s


def scene(r, index):
    doc = {"format": "thm-scene", "version": 1}
    if r.random() < 0.7:
        doc["ticksPerFrame"] = r.choice([160, 80, 1, 21, 4800])
    if r.random() < 0.7:
        a = r.choice([0, -800, 160])
        doc["animationRange"] = [a, a + r.choice([0, 160, 1600, 3200])]
    if r.random() < 0.3:
        doc["masterScale"] = r.choice([1.0, 2.5, 0.01])
    mats = materials(r)
    doc["materials"] = mats
    mat_ids = list(mats) + [None]
    bones = ["Bone%d_%d" % (index, i) for i in range(r.randrange(1, 4))]
    nodes = []
    # The bones: a chain, some animated.
    parent = None
    for i, name in enumerate(bones):
        n = {"name": name, "transform": transform(r)}
        if r.random() < 0.6:
            n["animation"] = [{"time": t, "transform": transform(r)} for t in sorted(r.sample(range(-400, 4000, 40), 3))]
        n["object"] = {"class": "dummy"}
        if parent is None:
            nodes.append(n)
        else:
            parent.setdefault("children", []).append(n)
        parent = n
    for k in range(r.randrange(1, 6)):
        kind = r.choices(["mesh", "skinned", "omni", "spot", "camera", "shape", "empty"],
                         [4, 2, 1, 1, 0.5, 0.5, 0.5])[0]
        n = {"name": r.choice(["Node%d" % k, "", None, "Ünïcode%d" % k]), "transform": transform(r)}
        if r.random() < 0.15:
            n["hidden"] = True
        if r.random() < 0.2:
            n["objectOffset"] = transform(r)
        if kind in ("mesh", "skinned"):
            n["object"] = mesh(r)
            n["material"] = r.choice(mat_ids)
            if kind == "skinned":
                n["modifiers"] = [skin(r, len(n["object"]["vertices"]), bones)]
                if r.random() < 0.2:
                    n["modifiers"].insert(0, {"class": "other", "classId": [5, 5]})
        elif kind in ("omni", "spot"):
            light = {"class": "light", "type": kind}
            if r.random() < 0.5:
                light["color"] = [round(r.random(), 3) for _ in range(3)]
            if r.random() < 0.5:
                light["intensity"] = round(r.uniform(0, 3), 3)
            if r.random() < 0.2:
                light["on"] = False
            if r.random() < 0.5:
                light["farAttenuation"] = {"on": True, "start": 10, "end": round(r.uniform(20, 500), 1)}
            if kind == "spot":
                light["hotspot"], light["falloff"] = 30, 40
                light["targetDistance"] = 100
            n["object"] = light
        elif kind == "camera":
            n["object"] = {"class": "camera"}
        elif kind == "shape":
            n["object"] = {"class": "shape", "mesh": mesh(r, with_class=False)} if r.random() < 0.7 else {"class": "shape"}
        if r.random() < 0.3:
            n["noteTracks"] = [{"keys": [{"time": r.randrange(-200, 4000), "text": r.choice(["step", "", "hit " * 80, "é" * 140])}
                                         for _ in range(r.randrange(1, 4))]}]
            if r.random() < 0.2:
                n["noteTracks"].append({"classId": [7, 7], "keys": [{"time": 5, "text": "ignored"}]})
        nodes.append(n)
    doc["nodes"] = nodes
    return doc


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--count", type=int, default=100)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    for i in range(a.count):
        r = random.Random(a.seed * 1000003 + i)
        with open(os.path.join(a.out, "random%03d.scene.json" % i), "w", encoding="utf-8") as f:
            json.dump(scene(r, i), f, ensure_ascii=False)


if __name__ == "__main__":
    main()
