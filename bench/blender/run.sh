#!/usr/bin/env bash
# The add-on beside Blender's own glTF exporter, in the same Blender, on the same scenes:
# a 1 M-triangle grid and a skinned character with 100 frames. Each export in a fresh
# Blender, RUNS times (default 3); prints every run and the median of each.
#   bench/blender/run.sh [RUNS]       (a benchmark, not a test; figures in docs/benchmarks.md)
set -euo pipefail
cd "$(dirname "$0")/../.."
runs="${1:-3}"
bin=build/release/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for scene in grid character; do
  for exporter in thm gltf; do
    for _ in $(seq "$runs"); do
      blender -b --factory-startup --python bench/blender/bench.py -- "$scene" "$exporter" \
        "$work/$scene.$exporter" "$bin" 2>/dev/null | grep '^BENCH'
    done
  done
done | tee "$work/all"
echo
echo "median seconds and extra MB:"
awk '{k=$2" "$3; t[k]=t[k]" "$4; m[k]=m[k]" "$5} END {for (k in t) print k, t[k], "|", m[k]}' "$work/all" |
  while read -r scene exporter rest; do
    secs=$(echo "${rest%%|*}" | tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    mb=$(echo "${rest#*|}" | tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    printf '%-10s %-5s %8s s %8s MB\n' "$scene" "$exporter" "$secs" "$mb"
  done | sort
