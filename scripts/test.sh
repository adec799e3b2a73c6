#!/usr/bin/env bash
# Builds and runs the whole test suite: a formatting check, the Release build
# with warnings as errors, then every test again under AddressSanitizer and UBSan,
# then the other presets built (debug, bench: each benchmark run once at its
# smallest size), a short run of every fuzz target, and the plug-in built for
# Windows with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
jobs="$(nproc)"

scripts/format.sh --check

cmake --preset release -DTARN_WERROR=ON >/dev/null
cmake --build --preset release -j"$jobs"
ctest --preset release -j"$jobs"

# Hostile input reaches every layer: the whole suite once more, sanitized.
cmake --preset asan -DTARN_WERROR=ON >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"

# Every preset builds, so that no documented command rots.
cmake --preset debug -DTARN_WERROR=ON >/dev/null
cmake --build --preset debug -j"$jobs"
scripts/bench-smoke.sh

# Every fuzz target for a short while on its corpus, the inputs that once
# found a fault among them: a fault once fixed stays fixed.
scripts/fuzz.sh --smoke "${TARN_FUZZ_SMOKE_SECONDS:-40}"

# The plug-in on its own platform: built with MinGW-w64, its tests under Wine,
# and the same bytes as on Linux for the examples and 100 random documents.
scripts/windows.sh
