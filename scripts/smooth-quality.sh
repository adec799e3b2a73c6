#!/usr/bin/env bash
# Measures the smoothing groups the importer builds against the source's normals,
# over every model of assimp-testmodels that carries normals (and of minetest-data's
# models where that package is installed): per model, the share
# of corners whose exported normal (by the plug-in's rule) lies within 1 degree of
# the best the rule can give and of the source's, the joins, the floor and the
# joins left hard by the words. Then the totals (docs/import.md quotes them).
# Usage: scripts/smooth-quality.sh [MODEL...]   (default: every test model)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
[ -d build/release ] || cmake --preset release >/dev/null
cmake --build --preset release --target smooth_measure >/dev/null
if [ $# -eq 0 ]; then
  {
    find /usr/share/assimp/models -type f -not -path '*/invalid/*' -print0 | sort -z
    if [ -d /usr/share/games/minetest ]; then
      find /usr/share/games/minetest \( -iname '*.b3d' -o -iname '*.obj' -o -iname '*.x' \) -print0 | sort -z
    fi
  } | xargs -0 build/release/bin/smooth_measure 2>/dev/null
else
  build/release/bin/smooth_measure "$@"
fi
