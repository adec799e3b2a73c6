#!/usr/bin/env bash
# Builds and runs the whole test suite; then the scene loaders' tests again
# under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
jobs="$(nproc)"

cmake --preset release >/dev/null
cmake --build --preset release -j"$jobs"
ctest --preset release -j"$jobs"

# Hostile inputs go through the document loader and the importer: run them sanitized.
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs" --target test_scene test_import
ctest --preset asan -j"$jobs" -L '^test_(scene|import)$'
