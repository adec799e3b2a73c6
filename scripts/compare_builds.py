#!/usr/bin/env python3
"""Exports the same inputs with two builds of thmexport and compares every output byte and message.

Usage: scripts/compare_builds.py BASE [NEW] [--quick] [--jobs N]

BASE and NEW are folders holding thmexport (and the plug-in beside it), or git revisions, which are
built in a worktree under build/compare/. NEW defaults to build/release/bin.

The inputs: the examples, the broken documents of the tests, random documents (scripts/gen_scenes.py)
and mutants of them, and every file of assimp-testmodels, some models once more with import options and
with --list. For each input the exit status, what was printed (with the output folder's path made neutral) and the bytes written
must be the same. A refactor or a speed-up must pass this unchanged.
"""
import argparse
import concurrent.futures as cf
import hashlib
import os
import random
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS = "/usr/share/assimp/models"
MODEL_OPTIONS = ["--scale", "2.5", "--up", "z", "--max-influences", "2", "--normalize-weights", "--fps", "25"]


def build(rev):
    """Builds git revision `rev` in a worktree; returns its bin folder."""
    sha = subprocess.check_output(["git", "-C", ROOT, "rev-parse", "--short", rev], text=True).strip()
    tree = os.path.join(ROOT, "build", "compare", sha)
    if not os.path.isdir(tree):
        subprocess.check_call(["git", "-C", ROOT, "worktree", "add", "--detach", tree, sha],
                              stdout=subprocess.DEVNULL)
    out = os.path.join(tree, "out")
    subprocess.check_call(["cmake", "-S", tree, "-B", out, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                           "-DTARN_BUILD_TESTS=OFF"], stdout=subprocess.DEVNULL)
    subprocess.check_call(["cmake", "--build", out, "--target", "thmexport", "tarnexport"],
                          stdout=subprocess.DEVNULL)
    return os.path.join(out, "bin")


def bin_dir(what):
    if os.path.isfile(os.path.join(what, "thmexport")):
        return os.path.abspath(what)
    return build(what)


def corpus(tmp, quick):
    jobs = []
    for name in sorted(os.listdir(os.path.join(ROOT, "examples"))):
        if name.endswith(".json"):
            jobs.append((os.path.join(ROOT, "examples", name), []))
    bad = os.path.join(ROOT, "tests", "document", "bad")
    for name in sorted(os.listdir(bad)):
        if name.endswith(".json"):
            jobs.append((os.path.join(bad, name), []))
    docs = os.path.join(tmp, "docs")
    count = 40 if quick else 300
    subprocess.check_call([sys.executable, os.path.join(ROOT, "scripts", "gen_scenes.py"), docs,
                           "--count", str(count), "--seed", "7"])
    for name in sorted(os.listdir(docs)):
        jobs.append((os.path.join(docs, name), []))
    jobs += [(p, []) for p in mutants(tmp, docs, 60 if quick else 600)]
    models = []
    for top, _, files in os.walk(MODELS):
        models += [os.path.join(top, f) for f in files]
    models.sort()
    if quick:
        models = models[::7]
    jobs += [(m, []) for m in models]
    jobs += [(m, MODEL_OPTIONS) for m in models[::3]]
    jobs += [(m, ["--list"]) for m in models[1::5]]
    return jobs


def mutants(tmp, docs, count):
    """Documents whose number arrays hold something else here and there, so that
    the careful reading and its words are compared too, not only the fast one."""
    rng = random.Random(11)
    seeds = [os.path.join(docs, n) for n in sorted(os.listdir(docs))]
    swaps = ['"x"', "null", "[]", "[1,2]", "[1,2,3,4]", "1e40", "-0", "1.5", "-1", "99999999999", " ",
             "1E2", "[[0,0,0]]", "{}", "true", "-2147483649", "3"]
    out = os.path.join(tmp, "mutants")
    os.makedirs(out)
    paths = []
    for n in range(count):
        t = open(seeds[rng.randrange(len(seeds))]).read()
        for _ in range(rng.randint(1, 3)):
            j = t.find(",", rng.randrange(len(t)))
            if j < 0:
                continue
            m = j + 1
            while m < len(t) and t[m] not in ",]":
                m += 1
            t = t[:j + 1] + rng.choice(swaps) + t[m:]
        paths.append(os.path.join(out, "m%04d.scene.json" % n))
        with open(paths[-1], "w") as f:
            f.write(t)
    return paths


def run(binary, job, outdir):
    path, options = job
    out = os.path.join(outdir, "out.thm")
    if os.path.exists(out):
        os.unlink(out)
    p = subprocess.run([os.path.join(binary, "thmexport"), path, "-o", out] + options,
                       capture_output=True, timeout=600)
    data = open(out, "rb").read() if os.path.exists(out) else None
    err = (p.stdout + p.stderr).replace(outdir.encode(), b"OUT")
    return p.returncode, err, hashlib.sha256(data).hexdigest() if data is not None else None, len(data or b"")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("base")
    ap.add_argument("new", nargs="?", default=os.path.join(ROOT, "build", "release", "bin"))
    ap.add_argument("--quick", action="store_true", help="a seventh of the models, 40 documents")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    a = ap.parse_args()
    base, new = bin_dir(a.base), bin_dir(a.new)
    with tempfile.TemporaryDirectory() as tmp:
        jobs = corpus(tmp, a.quick)

        def both(i):
            results = []
            for side, binary in (("a", base), ("b", new)):
                d = os.path.join(tmp, "w%d%s" % (i, side))
                os.makedirs(d, exist_ok=True)
                results.append(run(binary, jobs[i], d))
            return i, results

        differ = 0
        written = 0
        with cf.ThreadPoolExecutor(a.jobs) as pool:
            for i, (ra, rb) in pool.map(both, range(len(jobs))):
                if ra[2] is not None:
                    written += 1
                if ra != rb:
                    differ += 1
                    path, options = jobs[i]
                    print("DIFFERS: %s %s" % (path, " ".join(options)))
                    for what, x, y in (("exit", ra[0], rb[0]), ("bytes", ra[3], rb[3]), ("sha", ra[2], rb[2])):
                        if x != y:
                            print("  %s: %s -> %s" % (what, x, y))
                    if ra[1] != rb[1]:
                        print("  messages:\n    %s\n  ->\n    %s" % (ra[1].decode(errors="replace").strip()[:800],
                                                                  rb[1].decode(errors="replace").strip()[:800]))
    print("compared %d inputs (%d with output): %d differ" % (len(jobs), written, differ))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
