#!/usr/bin/env bash
# Builds and runs the whole test suite: a formatting check, the Release build
# with warnings as errors, then every test again under AddressSanitizer and UBSan.
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
