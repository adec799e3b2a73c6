#!/usr/bin/env bash
# libthm as an engine gets it: installed into a fresh prefix, the example
# consumer built from that prefix with CMake (shared and static) and with
# pkg-config, each run on an exported file; all three print the same.
# Usage: engine_reader_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1" src="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
file="$work/demo.thm"
"$build/bin/thmexport" --quiet "$src/examples/demo.scene.json" -o "$file"

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/thm/thm.h lib/libthm.so.1 lib/libthm.a lib/cmake/thm/thmConfig.cmake \
         lib/cmake/thm/thmConfigVersion.cmake lib/pkgconfig/thm.pc; do
  [[ -e "$prefix/$f" ]] || { echo "not installed: $f"; exit 1; }
done
# The shared library carries its major version in its name.
[[ "$(readelf -d "$prefix/lib/libthm.so.1" | grep SONAME)" == *"[libthm.so.1]"* ]] || { echo "SONAME"; exit 1; }

ex="$src/examples/engine-reader"
cmake -S "$ex" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
cmake -S "$ex" -B "$work/static" -DCMAKE_PREFIX_PATH="$prefix" -DENGINE_READER_STATIC=ON >/dev/null
cmake --build "$work/static" >/dev/null
cc -std=c99 -Wall -Wextra -Werror "$ex/main.c" \
   $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs thm) \
   -Wl,-rpath,"$prefix/lib" -o "$work/pc"
# The static one needs no libthm.so at run time.
if readelf -d "$work/static/engine-reader" | grep -q 'libthm'; then echo "static build links libthm.so"; exit 1; fi

"$work/cmake/engine-reader" "$file" >"$work/a"
"$work/static/engine-reader" "$file" >"$work/b"
"$work/pc" "$file" >"$work/c"
cmp "$work/a" "$work/b"
cmp "$work/a" "$work/c"
grep -q '^mesh "' "$work/a" || { echo "no mesh printed"; cat "$work/a"; exit 1; }
grep -q 'bone 0 "' "$work/a" || { echo "no bone printed"; cat "$work/a"; exit 1; }
grep -q 'light "' "$work/a" || { echo "no light printed"; cat "$work/a"; exit 1; }

# A malformed file: refused with its offset, exit 1.
head -c 100 "$file" >"$work/cut.thm"
if "$work/pc" "$work/cut.thm" 2>"$work/err"; then echo "accepted a cut file"; exit 1; else rc=$?; fi
[[ $rc == 1 ]] && grep -q 'offset ' "$work/err" || { echo "rc $rc"; cat "$work/err"; exit 1; }
cat "$work/a"
