#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need, if any is missing.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev libfmt-dev libassimp-dev assimp-testmodels
          libmeshoptimizer-dev python3-jsonschema clang-format libsimdjson-dev gltfpack libseccomp-dev clang libxxhash-dev chromium
          libcurl4-openssl-dev nettle-dev nginx python3-mypy)

missing=()
# npm comes with the machine's Node.js; Debian's package only where there is none.
command -v npm >/dev/null || missing+=(npm)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The npm packages, as their lockfiles pin them: the viewer's, and the glTF validator the tests run.
viewer_packages() {
  local dir
  for dir in "$(dirname "$0")/../viewer" "$(dirname "$0")/../tests/gltf"; do
    if [ ! -f "$dir/node_modules/.package-lock.json" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ]; then
      (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    fi
  done
}
# The plug-in's Windows build and its tests under Wine (scripts/windows.sh), and Blender for the
# add-on's tests: without their recommends (fonts, sound, GStreamer), which a headless run never uses.
windows_packages=(g++-mingw-w64-x86-64 wine64 googletest blender python3-numpy)
windows_missing=()
for p in "${windows_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || windows_missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ] && [ ${#windows_missing[@]} -eq 0 ]; then
  viewer_packages
  exit 0
fi

echo "Installing: ${missing[*]} ${windows_missing[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
[ ${#missing[@]} -eq 0 ] || $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
[ ${#windows_missing[@]} -eq 0 ] || $sudo apt-get install -y -qq --no-install-recommends "${windows_missing[@]}" >/dev/null
viewer_packages
