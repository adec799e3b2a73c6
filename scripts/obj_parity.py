#!/usr/bin/env python3
"""Exports every OBJ of assimp-testmodels and the examples with our OBJ reader and with Assimp's, and compares.

Usage: scripts/obj_parity.py BIN [MORE.obj ...]

For each file the exit status, the messages and the bytes written must be the same both ways. A third
run with TARN_OBJ_READER=strict tells which files our reader reads itself and, for the others, why it
hands them to Assimp. Exits non-zero when any file differs.
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS = "/usr/share/assimp/models"


def inputs(extra: list[str]) -> list[str]:
    found = []
    for base in (MODELS, os.path.join(ROOT, "examples")):
        for folder, _, names in os.walk(base):
            found += [os.path.join(folder, n) for n in names if n.lower().endswith(".obj")]
    return sorted(found) + extra


def export(exe: str, path: str, out: str, reader: str) -> tuple[int, str, bytes]:
    env = dict(os.environ, TARN_OBJ_READER=reader)
    p = subprocess.run([exe, path, "-o", out], capture_output=True, text=True, env=env, timeout=300)
    data = b""
    if os.path.exists(out):
        with open(out, "rb") as f:
            data = f.read()
        os.remove(out)
    return p.returncode, p.stderr.replace(out, "OUT"), data


def main() -> int:
    exe = os.path.join(os.path.abspath(sys.argv[1]), "thmexport")
    differ: list[str] = []
    theirs: list[str] = []
    ours = 0
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.thm")
        for path in inputs(sys.argv[2:]):
            a = export(exe, path, out, "assimp")
            b = export(exe, path, out, "ours")
            name = os.path.relpath(path, MODELS) if path.startswith(MODELS) else path
            if a != b:
                what = "exit status" if a[0] != b[0] else "messages" if a[1] != b[1] else "bytes"
                differ.append(f"{name}: {what} differ\n  assimp: {a[1].strip()}\n  ours:   {b[1].strip()}")
            _, err, _ = export(exe, path, out, "strict")
            marker = "outside what our reader reads ("
            if marker in err:
                theirs.append(f"{name}: {err[err.index(marker) + len(marker):].split(')')[0]}")
            else:
                ours += 1
    print(f"{ours} read by our reader, {len(theirs)} handed to Assimp's:")
    for t in theirs:
        print("  " + t)
    for d in differ:
        print("DIFFERS " + d)
    print(f"{len(differ)} differ")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
