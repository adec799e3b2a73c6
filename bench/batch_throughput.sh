#!/usr/bin/env bash
# Batch throughput: thmexport over a folder of assimp-testmodels files with
# one worker and with two, every export forced, best of several runs.
#   bench/batch_throughput.sh [THMEXPORT] [FILES] [RUNS]
set -euo pipefail
exe=${1:-build/release/bin/thmexport}
count=${2:-300}
runs=${3:-3}
models=/usr/share/assimp/models
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Small and medium models of every format (the invalid ones stay out: they
# fail fast and say little about throughput), companions beside them; one
# file per output name, as a batch refuses two inputs that would share one.
python3 - "$models" "$work/in" "$count" <<'PY'
import os, shutil, sys
models, dest, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
files = []
for root, dirs, names in os.walk(models):
    dirs[:] = sorted(d for d in dirs if os.path.join(root, d) != os.path.join(models, "invalid"))
    files += [os.path.join(root, n) for n in sorted(names)]
seen, copied = set(), 0
for f in files:
    rel = os.path.relpath(f, models)
    if os.path.getsize(f) >= 2 << 20:
        continue
    name = os.path.basename(rel)
    stem = name[:-11] if name.lower().endswith(".scene.json") else os.path.splitext(name)[0]
    key = os.path.join(os.path.dirname(rel), stem).lower()
    if key in seen:
        continue
    seen.add(key)
    os.makedirs(os.path.join(dest, os.path.dirname(rel)), exist_ok=True)
    shutil.copy(f, os.path.join(dest, rel))
    copied += 1
    if copied >= count:
        break
print(f"files copied: {copied}")
PY
"$exe" "$work/in" -o "$work/probe" -q --report "$work/probe.json" -j 2 >/dev/null 2>&1 || true
python3 -c "
import json; r = json.load(open('$work/probe.json'))
print(f\"inputs: {len(r['inputs'])}, exported {r['exported']}, failed {r['failed']}\")"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

best() {  # jobs
  local b=
  for _ in $(seq "$runs"); do
    local s e
    s=$(date +%s.%N)
    "$exe" "$work/in" -o "$work/out$1" -q -j "$1" --force >/dev/null 2>&1 || true
    e=$(date +%s.%N)
    b=$(python3 -c "t = $e - $s; b = '$b'; print(min(t, float(b)) if b else t)")
  done
  echo "$b"
}
one=$(best 1)
two=$(best 2)
python3 -c "print(f'-j 1: {$one:.2f} s   -j 2: {$two:.2f} s   speed-up {$one / $two:.2f}x')"
