#!/usr/bin/env bash
# Builds the benchmarks (the bench preset) and runs each once at its smallest
# size, so that no documented benchmark command rots. Figures from a run this
# short mean nothing; docs/benchmarks.md has the real ones.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
cmake --preset bench -DTARN_WERROR=ON >/dev/null
cmake --build --preset bench -j"$jobs"
bin=build/bench/bin
"$bin/bench_mesh" --benchmark_filter='BM_MeshPath/10000/' >/dev/null
"$bin/bench_e2e" --sizes 100000 --runs 1 --boxes 500 --cones 2000 >/dev/null
bench/batch_throughput.sh "$bin/thmexport" 20 1 >/dev/null
echo "benchmarks: bench_mesh, bench_e2e, batch_throughput ran once"
