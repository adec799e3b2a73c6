#!/usr/bin/env python3
"""Exports every model of a format in assimp-testmodels and the examples with our reader and with Assimp's,
and compares.

Usage: scripts/reader_parity.py BIN obj|gltf [MORE ...]
       scripts/reader_parity.py --pack DIR     only pack the text glTF models of 64 KB or less into DIR (fuzz seeds)

obj: every OBJ. gltf: every glTF, text and binary, and every text glTF once more packed into a binary one
(its buffers joined into the binary chunk, in a copy of its folder so that its images are found).

For each file the exit status, the messages and the bytes written must be the same both ways. A third
run with our reader strict tells which files it reads itself and, for the others, why it hands them to
Assimp. Exits non-zero when any file differs.
"""
import base64
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS = "/usr/share/assimp/models"
ENV = {"obj": "TARN_OBJ_READER", "gltf": "TARN_GLTF_READER"}


def find(suffixes: tuple[str, ...]) -> list[str]:
    found = []
    for base in (MODELS, os.path.join(ROOT, "examples")):
        for folder, _, names in os.walk(base):
            found += [os.path.join(folder, n) for n in names if n.lower().endswith(suffixes)]
    return sorted(found)


def buffer_bytes(buffer: dict, folder: str) -> bytes | None:
    uri = buffer.get("uri")
    if not isinstance(uri, str):
        return None
    if uri.startswith("data:"):
        head, _, data = uri.partition(",")
        return base64.b64decode(data) if head.endswith(";base64") else None
    try:
        with open(os.path.join(folder, urllib.parse.unquote(uri)), "rb") as f:
            return f.read()
    except OSError:
        return None


def pack(gltf: str, tmp: str) -> str | None:
    """The text glTF as a binary one, beside a copy of its folder's files; None where it cannot be packed."""
    try:
        with open(gltf, "rb") as f:
            doc = json.loads(f.read())
    except (OSError, ValueError):
        return None
    if not isinstance(doc, dict) or str(doc.get("asset", {}).get("version", "")).startswith("1"):
        return None
    folder = os.path.dirname(gltf)
    binary, starts = b"", []
    for buffer in doc.get("buffers", []):
        data = buffer_bytes(buffer, folder) if isinstance(buffer, dict) else None
        if data is None:
            return None
        starts.append(len(binary))
        binary += data + b"\0" * (-len(data) % 4)
    for view in doc.get("bufferViews", []):
        if not isinstance(view, dict) or not isinstance(view.get("buffer"), int) or view["buffer"] >= len(starts):
            return None
        view["byteOffset"] = view.get("byteOffset", 0) + starts[view["buffer"]]
        view["buffer"] = 0
    if starts:
        doc["buffers"] = [{"byteLength": len(binary)}]
    text = json.dumps(doc, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 4)
    copy = os.path.join(tmp, "packed", os.path.relpath(folder, "/"))
    shutil.copytree(folder, copy, dirs_exist_ok=True)
    out = os.path.join(copy, os.path.splitext(os.path.basename(gltf))[0] + ".packed.glb")
    chunks = struct.pack("<II", len(text), 0x4E4F534A) + text
    if starts:
        chunks += struct.pack("<II", len(binary), 0x004E4942) + binary
    with open(out, "wb") as f:
        f.write(struct.pack("<4sII", b"glTF", 2, 12 + len(chunks)) + chunks)
    return out


def gltf_version(path: str) -> str:
    """The asset version a glTF file states ("" where it cannot be read): 1.x files go to Assimp's glTF 1.0 loader."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        if data[:4] == b"glTF":
            (length,) = struct.unpack("<I", data[12:16])
            data = data[20 : 20 + length]
        return str(json.loads(data).get("asset", {}).get("version", ""))
    except (OSError, ValueError, AttributeError, struct.error):
        return ""


def export(exe: str, path: str, out: str, variable: str, reader: str) -> tuple[int, str, bytes]:
    env = dict(os.environ, **{variable: reader})
    p = subprocess.run([exe, path, "-o", out], capture_output=True, text=True, env=env, timeout=300)
    data = b""
    if os.path.exists(out):
        with open(out, "rb") as f:
            data = f.read()
        os.remove(out)
    return p.returncode, p.stderr.replace(out, "OUT").replace(path, "IN"), data


def pack_seeds(folder: str) -> int:
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for gltf in find((".gltf",)):
            packed = pack(gltf, tmp)
            if packed and os.path.getsize(packed) <= 64 * 1024:
                shutil.copy(packed, os.path.join(folder, os.path.basename(packed)))
    return 0


def main() -> int:
    if sys.argv[1] == "--pack":
        return pack_seeds(sys.argv[2])
    exe = os.path.join(os.path.abspath(sys.argv[1]), "thmexport")
    fmt = sys.argv[2]
    differ: list[str] = []
    theirs: list[str] = []
    ours = 0
    with tempfile.TemporaryDirectory() as tmp:
        if fmt == "obj":
            paths = find((".obj",))
        else:
            paths = find((".glb", ".gltf"))
            for gltf in find((".gltf",)):
                packed = pack(gltf, tmp)
                if packed:
                    paths.append(packed)
        paths += sys.argv[3:]
        out = os.path.join(tmp, "out.thm")
        for path in paths:
            a = export(exe, path, out, ENV[fmt], "assimp")
            b = export(exe, path, out, ENV[fmt], "ours")
            name = path
            for base in (os.path.join(tmp, "packed"), ""):
                if path.startswith(base + MODELS):
                    name = os.path.relpath(path, base + MODELS)
            if a != b:
                what = "exit status" if a[0] != b[0] else "messages" if a[1] != b[1] else "bytes"
                differ.append(f"{name}: {what} differ\n  assimp: {a[1].strip()}\n  ours:   {b[1].strip()}")
            if fmt == "gltf" and gltf_version(path).startswith("1"):
                theirs.append(f"{name}: glTF 1.0 (Assimp's glTF 1.0 loader)")
                continue
            _, err, _ = export(exe, path, out, ENV[fmt], "strict")
            marker = "outside what our reader reads ("
            if marker in err:
                theirs.append(f"{name}: {err[err.index(marker) + len(marker):].rsplit(')', 1)[0]}")
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
