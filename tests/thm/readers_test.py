#!/usr/bin/env python3
"""Every reader of .thm answers alike: thm/ (through thmdump, which reads with
libthm), the Python package and the viewer's JavaScript reader.

  readers_test.py BIN_DIR

Groups: the shared files of tests/thm/files (sound and malformed): the Python
package prints thmdump's --json and --check bytes exactly, with the same exit
status; the viewer's reader stops at the same offset with the same text and
finds the same first problem. The Python package against thmdump --json on the
exports the tests make (examples, random documents, imported models). The
package installs with pip from the checkout without an index, and it and the Blender
add-on are typed (mypy --strict).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
from support.scripts import ROOT, expect, export_examples, export_models, export_random, finish, run  # noqa: E402

BIN = sys.argv[1]
THMDUMP = os.path.join(BIN, "thmdump")
PYENV = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))


def python_thm(args, python=sys.executable, env=PYENV):
    return subprocess.run([python, "-m", "thm"] + args, capture_output=True, env=env)


def same_as_thmdump(path, label):
    for mode in ([], ["--check"]):
        want = subprocess.run([THMDUMP, mode[0] if mode else "--json", path], capture_output=True)
        got = python_thm(mode + [path])
        expect(got.stdout == want.stdout, f"{label} {' '.join(mode)}: python -m thm prints other bytes than thmdump")
        expect(got.returncode == want.returncode,
               f"{label} {' '.join(mode)}: exit {got.returncode}, thmdump {want.returncode}")


def main():
    files_dir = os.path.join(ROOT, "tests", "thm", "files")
    shared = sorted(os.path.join(files_dir, f) for f in os.listdir(files_dir))
    expect(len(shared) >= 70, "the shared files are there")
    refused = 0
    js = [json.loads(line) for line in
          run(["node", os.path.join(ROOT, "tests", "thm", "js_reader.mjs")] + shared).stdout.splitlines()]
    expect(len(js) == len(shared), "the viewer's reader answered for every file")
    for path, page in zip(shared, js):
        name = os.path.basename(path)
        same_as_thmdump(path, name)
        want = json.loads(subprocess.run([THMDUMP, "--json", path], capture_output=True).stdout)
        expect(page["records"] == len(want["records"]), f"{name}: the viewer read {page['records']} records")
        expect(page["error"] == want["error"], f"{name}: the viewer stops with {page['error']}, thmdump {want['error']}")
        check = run([THMDUMP, "--check", path]).stdout.strip()
        page_check = "ok" if page["check"] is None else "offset %d (0x%X): %s" % (
            page["check"]["offset"], page["check"]["offset"], page["check"]["message"])
        expect(page_check == check, f"{name}: the viewer's check says {page_check!r}, thmdump {check!r}")
        refused += check != "ok"
    expect(refused >= 40, f"most shared files are malformed ({refused} refused)")

    with tempfile.TemporaryDirectory(prefix="thm_readers_") as work:
        exports = export_examples(BIN, work) + export_random(BIN, work, 20, 7) + export_models(BIN, work)
        expect(len(exports) >= 30, "the exports were made")
        for path in exports:
            same_as_thmdump(path, os.path.basename(path))

        # pip install ./python, with no package index, into a fresh environment.
        venv = os.path.join(work, "venv")
        subprocess.check_call([sys.executable, "-m", "venv", "--without-pip", venv])
        target = os.path.join(work, "site")
        r = run([sys.executable, "-m", "pip", "install", "--no-index", "--quiet", "--target", target,
                 os.path.join(ROOT, "python")])
        expect(r.returncode == 0, f"pip install ./python: {r.stderr}")
        env = dict(os.environ, PYTHONPATH=target)
        got = python_thm([exports[0]], env=env)
        want = subprocess.run([THMDUMP, "--json", exports[0]], capture_output=True)
        expect(got.stdout == want.stdout and os.path.exists(os.path.join(target, "thm", "py.typed")),
               "the installed package reads like thmdump")

    # Typed: mypy in strict mode, wherever Debian's mypy is.
    for python in (sys.executable, "/usr/bin/python3"):
        if shutil.which(python) and run([python, "-m", "mypy", "--version"]).returncode == 0:
            r = run([python, "-m", "mypy", "--no-incremental", "--config-file", os.path.join(ROOT, "python", "pyproject.toml"),
                     os.path.join(ROOT, "python", "thm"), os.path.join(ROOT, "python", "_build")])
            expect(r.returncode == 0, f"mypy --strict python/thm:\n{r.stdout}")
            # The Blender add-on too, with Blender's own modules taken as untyped.
            r = run([python, "-m", "mypy", "--no-incremental", "--config-file",
                     os.path.join(ROOT, "blender", "mypy.ini"), os.path.join(ROOT, "blender", "io_scene_thm")])
            expect(r.returncode == 0, f"mypy --strict blender/io_scene_thm:\n{r.stdout}")
            break
    else:
        expect(False, "mypy is not installed (scripts/deps.sh installs python3-mypy)")
    return finish("readers_test")


if __name__ == "__main__":
    sys.exit(main())
