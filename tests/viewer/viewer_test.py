#!/usr/bin/env python3
"""The browser viewer in headless Chromium, against thm/ (through thmdump).

  viewer_test.py BIN_DIR    (thmexport, thmdump and thmview are there)

Groups: the JavaScript reader against thmdump --json on example exports and
imported models; first problem offsets against thmdump --check on truncated
and corrupted files; --stats counts; pictures that are not blank and that
change with the animation; a posed character framed whole; TGA and DDS textures by
their colour; a converted .glb drawn; notes on the timeline; the error panel.
"""
import json
import os
import shutil
import struct
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from support.scripts import IMPORTED, MODELS, ROOT, expect, f32, failures, run  # noqa: E402

BIN = sys.argv[1]


def same(a, b, path=""):
    """thmdump's JSON (a) against the page's (b), on thmdump's keys; floats as float32."""
    if isinstance(a, dict):
        if not isinstance(b, dict):
            return f"{path}: {b!r} is not an object"
        for k, v in a.items():
            if k not in b:
                return f"{path}/{k}: missing"
            if (d := same(v, b[k], f"{path}/{k}")):
                return d
        return None
    if isinstance(a, list):
        if not isinstance(b, list) or len(a) != len(b):
            return f"{path}: length {len(a)} against {len(b) if isinstance(b, list) else b!r}"
        for i, (x, y) in enumerate(zip(a, b)):
            if (d := same(x, y, f"{path}/{i}")):
                return d
        return None
    if isinstance(a, float) or (isinstance(a, int) and isinstance(b, float)):
        if b is None or f32(float(a)) != f32(float(b)):
            return f"{path}: {a!r} against {b!r}"
        return None
    if a != b:
        return f"{path}: {a!r} against {b!r}"
    return None


def png_pixels(path):
    """RGB(A) pixels of an 8-bit PNG, as rows of bytes."""
    data = open(path, "rb").read()
    at, idat, w, h, channels = 8, b"", 0, 0, 0
    while at < len(data):
        n, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + n]
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack(">IIBB", body[:10])
            channels = {2: 3, 6: 4}[colour]
        elif kind == b"IDAT":
            idat += body
        at += 12 + n
    raw, stride, rows, prev = zlib.decompress(idat), w * channels, [], bytearray(w * channels)
    for y in range(h):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b, c = prev[i], prev[i - channels] if i >= channels else 0
            if f == 1: line[i] = (line[i] + a) & 255
            elif f == 2: line[i] = (line[i] + b) & 255
            elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return w, h, channels, rows


def coverage(path):
    w, h, ch, rows = png_pixels(path)
    bg = rows[0][:3]
    differ = sum(1 for r in rows for x in range(0, w * ch, ch)
                 if abs(r[x] - bg[0]) + abs(r[x + 1] - bg[1]) + abs(r[x + 2] - bg[2]) > 24)
    return differ / (w * h)


def edge_share(path):
    """Pixels of the picture's outermost two rows and columns that are not background."""
    w, h, ch, rows = png_pixels(path)
    bg = (0x30, 0x34, 0x3B)  # the page's background

    def off(r, x):
        return abs(r[x] - bg[0]) + abs(r[x + 1] - bg[1]) + abs(r[x + 2] - bg[2]) > 24
    edge = [(y, x) for y in range(h) for x in range(w) if y < 2 or y >= h - 2 or x < 2 or x >= w - 2]
    return sum(1 for y, x in edge if off(rows[y], x * ch)) / len(edge)


def colour_share(path, colour):
    """Pixels whose strongest channel is the colour's and stands out by 40."""
    w, h, ch, rows = png_pixels(path)
    k = max(range(3), key=lambda i: colour[i])
    n = 0
    for r in rows:
        for x in range(0, w * ch, ch):
            px = r[x:x + 3]
            if all(px[k] > px[i] + 40 for i in range(3) if i != k):
                n += 1
    return n / (w * h)


def solid_tga(rgb):
    """An 8 x 8 uncompressed 24-bit TGA of one colour."""
    head = struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, 8, 8, 24, 0)
    return head + bytes((rgb[2], rgb[1], rgb[0])) * 64


def solid_dds(rgb):
    """An 8 x 8 DXT1 DDS of one colour: four blocks with both end colours the same."""
    c565 = (rgb[0] >> 3) << 11 | (rgb[1] >> 2) << 5 | rgb[2] >> 3
    pf = struct.pack("<II4s5I", 32, 0x4, b"DXT1", 0, 0, 0, 0, 0)
    head = struct.pack("<4sIIIIIII", b"DDS ", 124, 0x1 | 0x2 | 0x4 | 0x1000 | 0x80000, 8, 8, 32, 0, 1)
    head += b"\0" * 44 + pf + struct.pack("<IIIII", 0x1000, 0, 0, 0, 0)
    return head + struct.pack("<HHI", c565, c565, 0) * 4


def main():
    thmexport, thmdump, thmview = (os.path.join(BIN, n) for n in ("thmexport", "thmdump", "thmview"))
    work = tempfile.mkdtemp(prefix="thm_viewer_")
    files = []
    for doc in sorted(os.listdir(os.path.join(ROOT, "examples"))):
        if doc.endswith(".json"):
            out = os.path.join(work, doc.split(".")[0] + ".thm")
            expect(run([thmexport, "-q", os.path.join(ROOT, "examples", doc), "-o", out]).returncode == 0, f"export {doc}")
            files.append(out)
    for rel in IMPORTED:
        out = os.path.join(work, rel.replace("/", "_") + ".thm")
        r = run([thmexport, "-q", os.path.join(MODELS, rel), "-o", out])
        expect(r.returncode == 0, f"export {rel}: {r.stderr}")
        files.append(out)

    # The reader against thm/, every file in one page.
    page = json.loads(run([thmview, "--dump"] + files, timeout=300).stdout)
    expect(len(page["files"]) == len(files), "the page read every file")
    for path, got in zip(files, page["files"]):
        want = json.loads(run([thmdump, "--json", path]).stdout)
        diff = same(want["records"], got["records"])
        expect(diff is None, f"{os.path.basename(path)}: records differ at {diff}")
        expect(got["check"] is None and got["error"] is None, f"{os.path.basename(path)}: the page found a problem")

    # Truncated and corrupted files: the same first problem as thmdump --check.
    demo = open(files[0], "rb").read()
    bad = []
    for cut in (1, 2, 5, 40, 120, len(demo) // 3, len(demo) // 2, len(demo) - 1):
        bad.append(demo[:cut])
    for at, byte in ((0, 7), (1, 9), (2, 0xFF), (3, 0x80), (60, 0x7F), (len(demo) // 2, 0xEE), (len(demo) - 3, 0x55)):
        b = bytearray(demo)
        b[at] = byte
        bad.append(bytes(b))
    bad_paths = []
    for i, b in enumerate(bad):
        p = os.path.join(work, f"bad{i:02}.thm")
        open(p, "wb").write(b)
        bad_paths.append(p)
    page = json.loads(run([thmview, "--dump"] + bad_paths, timeout=300).stdout)
    for path, got in zip(bad_paths, page["files"]):
        r = run([thmdump, "--check", path])
        want = None if r.returncode == 0 else int(r.stdout.split()[1])
        offset = got["check"]["offset"] if got["check"] else None
        expect(offset == want, f"{os.path.basename(path)}: page says {got['check']}, thmdump --check {r.stdout.strip()}")
    expect(any(g["check"] for g in page["files"]), "some corrupted file is refused")

    # --stats: the counts of thmdump's records.
    for path in [files[0], files[1], files[2]]:
        r = run([thmview, "--stats", path], timeout=120)
        expect(r.returncode == 0, f"--stats {path}: {r.stderr}")
        got = json.loads(r.stdout)["records"]
        want = json.loads(run([thmdump, "--json", path]).stdout)["records"]
        expect(len(got) == len(want), f"--stats {path}: {len(got)} records, thmdump {len(want)}")
        for g, w in zip(got, want):
            mesh = w["type"] == "mesh"
            counts = {"kind": w["type"], "name": w["name"], "parent": w["parent"],
                      "positions": len(w["positions"]) if mesh else 0,
                      "materials": len(w["materials"]) if mesh else 0,
                      "vertices": sum(len(s["vertices"]) for s in w["materials"]) if mesh else 0,
                      "triangles": sum(len(s["triangles"]) for s in w["materials"]) if mesh else 0,
                      "bones": len(w["skin"]["bones"]) if mesh and w["skin"] else 0,
                      "frames": w["skin"]["frame_count"] if mesh and w["skin"] else 0,
                      "notes": len(w["skin"]["notes"]) if mesh and w["skin"] else 0}
            expect(g == counts, f"--stats {os.path.basename(path)}: {g} against {counts}")
    r = run([thmview, "--stats", bad_paths[4]], timeout=120)
    expect(r.returncode == 1 and "offset" in r.stderr, f"--stats of a malformed file: {r.returncode} {r.stderr}")
    r = run([thmview, "--stats", os.path.join(work, "missing.thm")])
    expect(r.returncode == 2 and "cannot read" in r.stderr, f"--stats of a missing file: {r.returncode} {r.stderr}")

    # Pictures: not blank, and the animated character moves.
    pictures = {}
    for name, extra in (("f0", ["--frame", "0"]), ("f12", ["--frame", "12"]), ("front", ["--camera", "front"])):
        p = os.path.join(work, f"demo-{name}.png")
        r = run([thmview, "--png", p, "--size", "400x300"] + extra + [files[0]], timeout=120)
        expect(r.returncode == 0 and os.path.isfile(p), f"--png {name}: {r.stderr}")
        if os.path.isfile(p):
            share = coverage(p)
            expect(0.02 < share < 0.95, f"--png {name}: the model covers {share:.3f} of the picture")
            pictures[name] = png_pixels(p)[3]
    expect(pictures.get("f0") != pictures.get("f12"), "frame 0 and frame 12 give different pictures")
    skinned = files[len(files) - len(IMPORTED)]  # simple_skin
    p = os.path.join(work, "skin.png")
    run([thmview, "--png", p, "--size", "320x240", skinned], timeout=120)
    expect(os.path.isfile(p) and coverage(p) > 0.01, "an imported skinned model is drawn")

    # A posed character stays in the picture: framed at the frame it is drawn at.
    bcn = os.path.join(work, "bcn.thm")
    run([thmexport, "-q", os.path.join(MODELS, "X", "BCN_Epileptic.X"), "-o", bcn])
    for frame in ("0", "40"):
        p = os.path.join(work, f"bcn{frame}.png")
        r = run([thmview, "--png", p, "--size", "240x240", "--frame", frame, bcn], timeout=120)
        if expect(r.returncode == 0, f"--png --frame {frame}: {r.stderr}"):
            expect(0.02 < coverage(p) and edge_share(p) == 0, f"frame {frame}: the model touches the picture's edge")

    # Textures in the formats artists use: TGA and DDS (a DXT1 block), by colour.
    for ext, colour in (("tga", (0, 200, 0)), ("dds", (255, 0, 0))):
        folder = os.path.join(work, ext)
        os.makedirs(folder)
        with open(os.path.join(folder, "quad.obj"), "w") as f:
            f.write("mtllib quad.mtl\nv -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
                    f"usemtl m\nf 1/1 2/2 3/3 4/4\n")
        with open(os.path.join(folder, "quad.mtl"), "w") as f:
            f.write(f"newmtl m\nKd 1 1 1\nmap_Kd solid.{ext}\n")
        thm_path = os.path.join(folder, "quad.thm")
        run([thmexport, "-q", os.path.join(folder, "quad.obj"), "-o", thm_path])
        with open(os.path.join(folder, f"solid.{ext}"), "wb") as f:
            f.write(solid_tga(colour) if ext == "tga" else solid_dds(colour))
        p = os.path.join(folder, "quad.png")
        r = run([thmview, "--png", p, "--size", "200x200", "--camera", "front", thm_path], timeout=120)
        if expect(r.returncode == 0, f"{ext} picture: {r.stderr}"):
            expect(colour_share(p, colour) > 0.1, f"the {ext} texture's colour is drawn ({colour_share(p, colour):.3f})")

    # A converted glTF in the same page, through three.js's glTF loader, with its textures.
    glb = os.path.join(work, "demo.glb")
    for t in os.listdir(os.path.join(ROOT, "examples", "maps")):
        shutil.copy(os.path.join(ROOT, "examples", "maps", t), work)
    expect(run([thmdump, "--gltf", glb, files[0]]).returncode == 0, "thmdump --gltf demo")
    p = os.path.join(work, "glb.png")
    r = run([thmview, "--png", p, "--size", "400x300", glb], timeout=120)
    expect(r.returncode == 0 and coverage(p) > 0.02, f"the .glb is drawn: {r.stderr}")

    # The timeline shows the notes; a malformed file shows its error and the page goes on.
    dom = run([thmview, "--dump-page", files[0], bad_paths[4]], timeout=120).stdout
    timeline = dom[dom.find('id="notes"'):dom.find('id="frameLabel"')]
    for text in ("idle", "turn head", "wave"):
        expect(f">{text}<" in timeline, f"note {text!r} on the timeline")
    check = run([thmdump, "--check", bad_paths[4]]).stdout.split()[1]
    expect(f"offset {check}:" in dom and 'class="error"' in dom, "the error panel names the offset")
    expect('data-loaded="yes"' in dom and dom.count('class="record"') >= 4, "the page went on after the error")

    print(f"{len(files)} files read, {len(bad_paths)} malformed; {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
