#!/usr/bin/env bash
# The Blender add-on io_scene_thm (blender/io_scene_thm):
#   scripts/blender-addon.sh install     link it into the user's Blender add-on folder
#   scripts/blender-addon.sh uninstall   remove that link
#   scripts/blender-addon.sh path        print that folder
# After install, `blender -b --addons io_scene_thm` enables it, and File > Export lists it.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v blender >/dev/null || { echo "blender not found: scripts/deps.sh installs Debian's blender" >&2; exit 2; }
addons="$(blender -b --factory-startup --python-expr \
  "import bpy; print('ADDONS=' + bpy.utils.user_resource('SCRIPTS', path='addons', create=True))" 2>/dev/null |
  sed -n 's/^ADDONS=//p')"
[ -n "$addons" ] || { echo "cannot find Blender's add-on folder" >&2; exit 2; }
case "${1:-install}" in
  install)
    mkdir -p "$addons"
    ln -sfn "$PWD/blender/io_scene_thm" "$addons/io_scene_thm"
    echo "linked $addons/io_scene_thm -> $PWD/blender/io_scene_thm"
    ;;
  uninstall) rm -f "$addons/io_scene_thm"; echo "removed $addons/io_scene_thm" ;;
  path) echo "$addons" ;;
  *) echo "usage: scripts/blender-addon.sh install|uninstall|path" >&2; exit 2 ;;
esac
