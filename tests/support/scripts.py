"""Helpers shared by the Python tests: running the tools, collecting failures,
and the exports that several tests read (examples, random documents, models)."""

import os
import struct
import subprocess
import sys
from typing import List

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODELS = "/usr/share/assimp/models"
# Imported models, skinned ones among them (simple_skin, huesitos, X cubes, SMD, MD5).
IMPORTED = ["glTF2/simple_skin/simple_skin.gltf", "FBX/huesitos.fbx", "X/test_cube_text.x", "SMD/triangle.smd",
            "MD5/SimpleCube.md5mesh", "OBJ/box.obj", "Collada/lights.dae", "3DS/cube_with_diffuse_texture.3DS",
            "ASE/ThreeCubesGreen.ASE", "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", "MS3D/twospheres.ms3d",
            "FBX/cubes_with_mirroring_and_pivot.fbx", "Collada/sphere.dae"]

failures: List[str] = []


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def expect(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)
    return ok


def finish(name):
    """Exit status for the test: 1 with the failures listed, else 0."""
    if failures:
        print(f"{name}: {len(failures)} failures", file=sys.stderr)
        return 1
    print(f"{name}: ok")
    return 0


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def export_examples(bin_dir, work):
    """Every example document exported into work; the output paths."""
    out = []
    for doc in sorted(os.listdir(os.path.join(ROOT, "examples"))):
        if doc.endswith(".json"):
            path = os.path.join(work, doc.split(".")[0] + ".thm")
            r = run([os.path.join(bin_dir, "thmexport"), "-q", os.path.join(ROOT, "examples", doc), "-o", path])
            if expect(r.returncode == 0, f"export {doc}: {r.stderr}"):
                out.append(path)
    return out


def export_models(bin_dir, work, models=IMPORTED):
    """The given assimp-testmodels exported into work; the output paths."""
    out = []
    for rel in models:
        path = os.path.join(work, rel.replace("/", "_") + ".thm")
        r = run([os.path.join(bin_dir, "thmexport"), "-q", os.path.join(MODELS, rel), "-o", path])
        if expect(r.returncode == 0, f"export {rel}: {r.stderr}"):
            out.append(path)
    return out


def export_random(bin_dir, work, count, seed):
    """count random documents (scripts/gen_scenes.py) exported into work."""
    docs = os.path.join(work, f"docs{seed}")
    subprocess.check_call([sys.executable, os.path.join(ROOT, "scripts", "gen_scenes.py"), "--count", str(count),
                           "--seed", str(seed), docs], stdout=subprocess.DEVNULL)
    out_dir = os.path.join(work, f"random{seed}")
    os.makedirs(out_dir, exist_ok=True)
    names = sorted(os.listdir(docs))
    r = run([os.path.join(bin_dir, "thmexport"), "-q"] + [os.path.join(docs, n) for n in names] + ["-o", out_dir + "/"])
    expect(r.returncode == 0, f"export random documents: {r.stderr}")
    return sorted(os.path.join(out_dir, n) for n in os.listdir(out_dir) if n.endswith(".thm"))
