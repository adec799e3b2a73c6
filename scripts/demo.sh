#!/usr/bin/env bash
# The main job: build, export the bundled demo scene, and show what was written.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"

mkdir -p out
build/release/bin/thmexport examples/demo.scene.json -o out/demo.thm
# The demo's textures beside it, where the viewer and engines look for them.
cp examples/maps/*.tga out/
echo
build/release/bin/thmdump out/demo.thm
build/release/bin/thmdump --check out/demo.thm
# A picture of it, when a browser is there (scripts/deps.sh installs Chromium).
if build/release/bin/thmview --png out/demo.png out/demo.thm 2>/dev/null; then
  echo "out/demo.png: a picture of out/demo.thm; build/release/bin/thmview out/demo.thm opens it in the browser"
fi
