#!/usr/bin/env bash
# Renders every example and a few imported models to docs/images/ with
# thmview --png (headless Chromium): the pictures the docs show.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" >/dev/null
bin=build/release/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p docs/images
models=/usr/share/assimp/models

picture() {  # name input [thmview options...]
  local name=$1 input=$2
  shift 2
  "$bin/thmexport" -q "$input" -o "$work/$name.thm"
  # Textures beside the output, where the viewer looks for them.
  for dir in "$(dirname "$input")" "$(dirname "$input")/maps"; do
    find "$dir" -maxdepth 1 -iregex '.*\.\(png\|jpg\|jpeg\|tga\|dds\)' -exec cp {} "$work/" \; 2>/dev/null || true
  done
  "$bin/thmview" --png "docs/images/$name.png" --size 640x480 "$@" "$work/$name.thm"
  echo "docs/images/$name.png"
}

for doc in examples/*.scene.json; do
  name=$(basename "$doc" .scene.json)
  picture "$name" "$doc"
  picture "$name-frame12" "$doc" --frame 12
done
picture simple_skin "$models/glTF2/simple_skin/simple_skin.gltf"
picture huesitos "$models/FBX/huesitos.fbx" --camera front
picture BoxTextured "$models/glTF2/BoxTextured-glTF/BoxTextured.gltf"
picture ThreeCubesGreen "$models/ASE/ThreeCubesGreen.ASE"
picture lights "$models/Collada/lights.dae"

# The demo converted to glTF, drawn by three.js's own glTF loader (docs/engine.md).
"$bin/thmexport" -q examples/demo.scene.json -o "$work/demo.thm"
cp examples/maps/*.tga "$work/"
"$bin/thmdump" --gltf "$work/demo.glb" "$work/demo.thm"
"$bin/thmview" --png docs/images/demo-gltf.png --size 640x480 "$work/demo.glb"
echo "docs/images/demo-gltf.png"
# An animated character framed as it stands at frame 40.
picture BCN_Epileptic-frame40 "$models/X/BCN_Epileptic.X" --frame 40
