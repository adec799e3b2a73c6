#!/usr/bin/env bash
# The pictures of docs/blender.md: an export from Blender drawn by thmview, and the
# add-on's export dialog (Blender's window under Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v xvfb-run >/dev/null || { echo "xvfb-run not found: apt-get install xvfb xauth" >&2; exit 2; }
bin=build/release/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PATH="$PWD/$bin:$PATH" blender -b --factory-startup --python scripts/blender-pictures.py -- \
  export "$work/arm_and_crate.thm" >/dev/null
"$bin/thmview" --png docs/images/blender-export.png --size 640x480 --frame 12 "$work/arm_and_crate.thm"
echo docs/images/blender-export.png
timeout 120 xvfb-run -a -s "-screen 0 1280x800x24" blender --factory-startup "$work/arm_and_crate.blend" \
  --python scripts/blender-pictures.py -- dialog "$work/dialog.png" >/dev/null 2>&1
cp "$work/dialog.png" docs/images/blender-export-dialog.png
echo docs/images/blender-export-dialog.png
