#!/usr/bin/env python3
"""Replays importer fuzz artifacts through the release thmexport, as a user
would meet them: each artifact becomes a file of its format (its first byte
chose the format) and must give exit 0 and a valid file, or exit 2 and one
line; the old output must survive a failure. Prints what broke that rule and
a tally of outcomes.

    scripts/fuzz_replay.py [ARTIFACT_FOLDER...]   (default: build/fuzz/artifacts/fuzz_import_*)
"""
import collections
import glob
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The formats of each importer target, in the order of fuzz/CMakeLists.txt.
FAMILIES = {
    "text": "obj,ply,off,stl,smd,ase,nff".split(","),
    "binary": "3ds,b3d,ms3d,md2,md3,mdl,stl,ply".split(","),
    "scene": "glb,gltf,fbx,dae,x,md5mesh,ogex,irrmesh".split(","),
}
EXE = os.path.join(ROOT, "build/release/bin/thmexport")
CHECK = os.path.join(ROOT, "build/release/bin/thmdump")


def families_of(folder):
    name = os.path.basename(folder.rstrip("/"))
    family = name.replace("fuzz_import_", "")
    # An artifact of unknown origin is tried as every family's.
    return [family] if family in FAMILIES else list(FAMILIES)


def main():
    folders = sys.argv[1:] or sorted(glob.glob(os.path.join(ROOT, "build/fuzz/artifacts/fuzz_import_*")))
    tally, bad = collections.Counter(), 0
    with tempfile.TemporaryDirectory() as tmp:
        for folder in folders:
            for art in sorted(glob.glob(os.path.join(folder, "*"))):
                data = open(art, "rb").read()
                if not data:
                    continue
                for family in families_of(folder):
                    exts = FAMILIES[family]
                    path = os.path.join(tmp, f"{os.path.basename(art)}.{exts[data[0] % len(exts)]}")
                    open(path, "wb").write(data[1:])
                    out = path + ".thm"
                    open(out, "wb").write(b"old output")
                    r = subprocess.run([EXE, "--timeout", "10", "--max-memory", "2048", path, "-o", out],
                                       capture_output=True, timeout=300)
                    lines = r.stderr.decode(errors="replace").splitlines()
                    ok = (r.returncode == 0 and subprocess.run([CHECK, "--check", out], capture_output=True).returncode == 0) or (
                        r.returncode == 2 and len(lines) == 1 and open(out, "rb").read() == b"old output")
                    what = "exported" if r.returncode == 0 else "refused"
                    for phrase in ("crashed", "ran out of memory", "took longer", "damaged", "cut short"):
                        if lines and "the importer " + phrase in lines[-1]:
                            what = "importer " + phrase
                    tally[what if ok else "BROKE THE RULE"] += 1
                    if not ok:
                        bad += 1
                        print(f"{art} as .{path.rsplit('.', 1)[1]}: exit {r.returncode}: {lines[-1:] }")
    for what, n in tally.most_common():
        print(f"{n:6d}  {what}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
