#!/usr/bin/env python3
"""Writes the shared reader test files into tests/thm/files: sound exports and
malformed copies of them (cut short, bytes changed, and one fault of each kind
the checker knows). Every reader of the project must answer these alike
(tests/thm/readers_test.py). Run again only to change the set:
    make_reader_files.py BUILD_BIN_DIR"""

import os
import random
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))
import thm  # noqa: E402

OUT = os.path.join(HERE, "files")


def put(data, at, fmt, value):
    b = bytearray(data)
    struct.pack_into(fmt, b, at, value)
    return bytes(b)


def main():
    bin_dir = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        docs = os.path.join(tmp, "docs")
        subprocess.check_call([sys.executable, os.path.join(ROOT, "scripts", "gen_scenes.py"), "--count", "4",
                               "--seed", "22", docs], stdout=subprocess.DEVNULL)
        sources = {"demo": os.path.join(ROOT, "examples", "demo.scene.json")}
        for name in sorted(os.listdir(docs)):
            sources[name.split(".")[0]] = os.path.join(docs, name)
        good = {}
        for name, src in sources.items():
            out = os.path.join(tmp, name + ".thm")
            subprocess.check_call([os.path.join(bin_dir, "thmexport"), "-q", src, "-o", out])
            good[name] = open(out, "rb").read()
    # The smallest two random exports keep the set small.
    keep = ["demo"] + sorted((n for n in good if n != "demo"), key=lambda n: len(good[n]))[:2]
    for f in os.listdir(OUT):
        os.remove(os.path.join(OUT, f))
    files = {}
    rng = random.Random(2026)
    for name in keep:
        data = good[name]
        files[f"good_{name}.thm"] = data
        for i in range(10):
            files[f"cut_{name}_{i}.thm"] = data[: rng.randrange(1, len(data))]
        for i in range(10):
            b = bytearray(data)
            for _ in range(1 + i % 3):
                b[rng.randrange(len(b))] = rng.choice([0, 1, 0xFF, 0x7F, 0x80, rng.randrange(256)])
            files[f"flip_{name}_{i}.thm"] = bytes(b)

    # One fault of each kind, placed by reading the demo.
    demo = good["demo"]
    recs = thm.read(demo)
    mesh = next(r for r in recs if isinstance(r, thm.MeshRecord) and r.skin)
    skin = mesh.skin
    sec = mesh.materials[0]
    files["fault_lead_byte.thm"] = put(demo, 0, "<B", 9)
    files["fault_record_kind.thm"] = put(demo, 1, "<B", 5)
    files["fault_skin_flag.thm"] = put(demo, skin.offset - 1, "<B", 2)
    files["fault_negative_count.thm"] = put(demo, mesh.positions_offset, "<i", -3)
    files["fault_huge_count.thm"] = put(demo, mesh.positions_offset, "<i", 0x7FFFFFF0)
    files["fault_end_mark.thm"] = put(demo, skin.end_mark_offset, "<i", -13)
    b0 = skin.bones[0]
    links = b0.offset + len(b0.name) + 1 + 60
    files["fault_bone_link.thm"] = put(demo, links + 8, "<i", 99)
    files["fault_frame_rate.thm"] = put(demo, skin.frames_offset + 4, "<f", 0.0)
    files["fault_vertex_index.thm"] = put(demo, sec.vertices_offset + 4, "<i", 1000)
    files["fault_nan_normal.thm"] = put(demo, sec.vertices_offset + 4 + 12, "<I", 0xFFC00000)
    files["fault_long_normal.thm"] = put(demo, sec.vertices_offset + 4 + 12, "<f", 3.5)
    files["fault_corner.thm"] = put(demo, sec.triangles_offset + 4, "<I", 0x80000400)
    files["fault_face_normal.thm"] = put(demo, sec.triangles_offset + 4 + 12, "<f", 0.25)
    files["fault_unterminated.thm"] = demo[: mesh.name_offset + 2]
    files["empty.thm"] = b""
    for name, data in sorted(files.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print(f"{len(files)} files in {OUT}")


if __name__ == "__main__":
    main()
