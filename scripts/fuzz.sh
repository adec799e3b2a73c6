#!/usr/bin/env bash
# Runs a libFuzzer target (fuzz/README.md).
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   scripts/fuzz.sh --smoke SECONDS      every target for SECONDS on its corpus
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
targets=(fuzz_document fuzz_export fuzz_thm fuzz_wire fuzz_obj_reader fuzz_gltf_reader fuzz_import_text fuzz_import_binary fuzz_import_scene)
models=/usr/share/assimp/models

scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]}" wire_seeds thmexport tarnexport >/dev/null

# Seeds, made once per build folder: the repository's documents, and small
# models of each family, behind the byte that picks their format.
seeds=build/fuzz/seeds
family() {  # target extension... : the first byte is the extension's index in the target's list
  local target=$1; shift
  local dir=$seeds/$target i=0
  mkdir -p "$dir"
  for ext in "$@"; do
    find "$models" -type f -iname "*.$ext" -size -64k -print0 | sort -z | head -z -n 40 |
      while IFS= read -r -d '' f; do
        { printf "\\x$(printf %02x $i)"; cat "$f"; } >"$dir/$(basename "$f")"
      done
    i=$((i + 1))
  done
}
if [ ! -d "$seeds" ]; then
  mkdir -p "$seeds/fuzz_document" "$seeds/fuzz_thm"
  cp examples/*.json tests/document/bad/*.json "$seeds/fuzz_document/"
  python3 scripts/gen_scenes.py "$seeds/fuzz_document" --count 30 --seed 3
  for d in "$seeds"/fuzz_document/*.json; do
    build/release/bin/thmexport -q "$d" -o "$seeds/fuzz_thm/$(basename "$d" .json).thm" 2>/dev/null || true
  done 2>/dev/null || true
  cp -r "$seeds/fuzz_document" "$seeds/fuzz_export"
  family fuzz_import_text obj ply off stl smd ase nff
  family fuzz_import_binary 3ds b3d ms3d md2 md3 mdl stl ply
  family fuzz_import_scene glb gltf fbx dae x md5mesh ogex irrmesh
fi
if [ ! -d "$seeds/fuzz_obj_reader" ]; then
  mkdir -p "$seeds/fuzz_obj_reader"
  find "$models" -type f -iname '*.obj' -size -64k -exec cp {} "$seeds/fuzz_obj_reader/" \;
fi

if [ ! -d "$seeds/fuzz_gltf_reader" ]; then
  mkdir -p "$seeds/fuzz_gltf_reader"
  find "$models" -type f -iname '*.glb' -size -64k -exec cp {} "$seeds/fuzz_gltf_reader/" \;
  python3 scripts/reader_parity.py --pack "$seeds/fuzz_gltf_reader"
fi

# What an import child answers for real models, for the parent's side of its pipe.
if [ ! -d "$seeds/fuzz_wire" ]; then
  find "$models" -type f -size -48k ! -path '*/invalid/*' \( -iname '*.obj' -o -iname '*.gltf' -o -iname '*.glb' \
    -o -iname '*.dae' -o -iname '*.x' -o -iname '*.fbx' -o -iname '*.ply' -o -iname '*.3ds' -o -iname '*.b3d' \
    -o -iname '*.md5mesh' -o -iname '*.ase' -o -iname '*.smd' -o -iname '*.ms3d' \) -print0 | sort -z |
    xargs -0 build/fuzz/bin/wire_seeds "$seeds/fuzz_wire" >/dev/null 2>&1 || true
fi

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export LSAN_OPTIONS=suppressions=$root/fuzz/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run() {  # target seconds options...
  local target=$1 seconds=$2; shift 2
  local work=build/fuzz/corpus/$target kept=fuzz/corpus/$target dict=
  mkdir -p "$work" "$kept" "build/fuzz/artifacts/$target"
  case $target in
    fuzz_document|fuzz_export) dict=fuzz/dict/document.dict ;;
    fuzz_thm) dict=fuzz/dict/thm.dict ;;
    fuzz_obj_reader) dict=fuzz/dict/import_text.dict ;;
    *) dict=fuzz/dict/${target#fuzz_}.dict ;;
  esac
  local opts=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -dict="$dict" -artifact_prefix="build/fuzz/artifacts/$target/")
  case $target in
    # Assimp's loader reads every file of fuzz_gltf_reader too, and has faults of its own.
    fuzz_import_*|fuzz_gltf_reader) opts+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 -max_len=65536) ;;
    *) opts+=(-max_len=262144) ;;
  esac
  echo "== $target for $seconds s" >&2
  # A session of its own, killed whole if it outlives its time: libFuzzer's
  # timeout handler allocates, and a timeout that strikes inside the
  # sanitizer's allocator deadlocks the fuzzer (seen with Assimp's hangs).
  setsid build/fuzz/bin/"$target" "${opts[@]}" "$@" "$work" "$kept" "$seeds/$target" &
  local pid=$! rc=0
  (sleep $((seconds + 120)) && echo "$target: still running after $((seconds + 120)) s; stopped" >&2 &&
    kill -KILL -- -"$pid" 2>/dev/null) &
  local watchdog=$!
  wait "$pid" || rc=$?
  kill "$watchdog" 2>/dev/null || true
  kill -KILL -- -"$pid" 2>/dev/null || true
  return "$rc"
}

# The importer targets go on past Assimp's own faults and end non-zero when
# they met one: the run fails only for a fault whose innermost frame is ours.
smoke_importer() {  # target seconds
  local target=$1 seconds=$2 found=build/fuzz/artifacts/smoke/$1
  rm -rf "$found"
  mkdir -p "$found"
  run "$target" "$seconds" -print_final_stats=1 -artifact_prefix="$found/" || true
  local ours
  ours=$(TRIAGE_SECONDS=20 scripts/fuzz_triage.sh "$target" "$found"/* | grep -P "\tours: " || true)
  if [ -n "$ours" ]; then
    echo "$target: faults in our code:" >&2
    echo "$ours" >&2
    return 1
  fi
}

if [ "${1:-}" = "--smoke" ]; then
  for t in "${targets[@]}"; do
    case $t in
      fuzz_import_*|fuzz_gltf_reader) smoke_importer "$t" "${2:-30}" ;;
      *) run "$t" "${2:-30}" -print_final_stats=1 ;;
    esac
  done
else
  [ $# -ge 2 ] || { echo "usage: scripts/fuzz.sh TARGET SECONDS [options] | --smoke SECONDS" >&2; exit 2; }
  t=$1 s=$2; shift 2
  run "$t" "$s" "$@"
fi
