#!/usr/bin/env bash
# The plug-in on Windows: built with MinGW-w64, run under Wine.
#
#   scripts/windows.sh                         build, run the Windows tests, compare bytes with Linux
#   scripts/windows.sh export IN.scene.json OUT.thm   export a document through the Windows plug-in
#   scripts/windows.sh compare [COUNT]         the byte comparison alone (COUNT random documents, default 100)
#
# The document is read on the Linux side (scenewire) and handed over in the
# wire format to thmwinhost.exe, which loads tarnexport.dle with LoadLibrary.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

linux_build() {
  if [ ! -f build/release/build.ninja ]; then cmake --preset release >/dev/null; fi
  cmake --build --preset release --target thmexport tarnexport scenewire >/dev/null
}
windows_build() {
  if [ ! -f build/windows/build.ninja ]; then cmake --preset windows -DTARN_WERROR=ON >/dev/null; fi
  cmake --build --preset windows
}
# Wine makes its prefix on first use; once, before tests run side by side.
wine_ready() { scripts/wine-run.sh cmd /c exit >/dev/null 2>&1 || true; }

export_one() {
  local tmp
  tmp="$(mktemp -d)"
  trap 'rm -rf "$tmp"' RETURN
  build/release/bin/scenewire "$1" "$tmp/scene.wire"
  scripts/wine-run.sh build/windows/bin/thmwinhost.exe "$tmp/scene.wire" "$2"
}

compare() {
  local count="${1:-100}" tmp
  tmp="$(mktemp -d)"
  trap 'rm -rf "$tmp"' RETURN
  python3 scripts/gen_scenes.py "$tmp/random" --count "$count" --seed 2026 >/dev/null
  mapfile -t docs < <( (find examples tests -name '*.scene.json' -not -path 'tests/document/bad/*'; \
                        find "$tmp/random" -name '*.json') | sort)
  local args=() i=0
  for doc in "${docs[@]}"; do
    build/release/bin/thmexport -q "$doc" -o "$tmp/linux-$i.thm"
    build/release/bin/scenewire "$doc" "$tmp/$i.wire"
    args+=("$tmp/$i.wire" "$tmp/windows-$i.thm")
    i=$((i + 1))
  done
  scripts/wine-run.sh build/windows/bin/thmwinhost.exe "${args[@]}"
  local differ=0
  for ((k = 0; k < i; k++)); do
    if ! cmp -s "$tmp/linux-$k.thm" "$tmp/windows-$k.thm"; then
      echo "differs: ${docs[$k]}" >&2
      differ=$((differ + 1))
    fi
  done
  echo "compared ${#docs[@]} documents exported on Linux and on Windows (under Wine): $differ differ"
  [ "$differ" -eq 0 ]
}

case "${1:-}" in
  export)
    [ $# -eq 3 ] || { echo "usage: scripts/windows.sh export IN.scene.json OUT.thm" >&2; exit 2; }
    linux_build
    windows_build >/dev/null
    export_one "$(realpath "$2")" "$(realpath -m "$3")"
    ;;
  compare)
    linux_build
    windows_build >/dev/null
    compare "${2:-100}"
    ;;
  "")
    windows_build
    wine_ready
    ctest --preset windows -j"$(nproc)"
    x86_64-w64-mingw32-objdump -p build/windows/bin/tarnexport.dle | grep -E 'DLL Name|^\s+\[ *[0-9]+\] [A-Za-z]'
    linux_build
    compare 100
    ;;
  *)
    echo "usage: scripts/windows.sh [export IN.scene.json OUT.thm | compare [COUNT]]" >&2
    exit 2
    ;;
esac
