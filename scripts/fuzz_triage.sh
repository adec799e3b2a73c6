#!/usr/bin/env bash
# For each artifact of a fuzz run: the kind of fault and where it happened,
# "ours:" when the innermost frame with a source file is our code, otherwise
# the library it happened in. What needs fixing on our side says "ours:".
#   scripts/fuzz_triage.sh TARGET [ARTIFACT...]   (default: the target's artifacts of scripts/fuzz.sh)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
target=$1; shift
files=("$@")
[ ${#files[@]} -gt 0 ] || files=(build/fuzz/artifacts/"$target"/*)
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 LSAN_OPTIONS=suppressions=$(pwd)/fuzz/lsan.supp
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  report=$(timeout "${TRIAGE_SECONDS:-60}" build/fuzz/bin/"$target" "$f" 2>&1)
  kind=$(grep -oE "ERROR: [A-Za-z]+: [A-Za-z-]+|runtime error: [^/]*|ERROR: libFuzzer: [a-z -]+" <<<"$report" | head -1)
  # Frames of the report, sanitizer runtime left out; the first is where it happened.
  # (An abort's own frames in the C library are left out too: the caller is where it happened.)
  top=$(grep -E "^ +#[0-9]+ " <<<"$report" | grep -vE "compiler-rt|/sanitizer_common/|asan_|ubsan_|__asan|__sanitizer|fuzzer::|libclang_rt|__interceptor|operator new|operator delete|malloc|free|calloc|realloc|pthread_kill|raise|abort|__assert_fail|libc\.so\.6\+" | head -1)
  if grep -qE "our [A-Za-z]+ reader and Assimp's differ" <<<"$report"; then
    kind="readers differ"
    where="ours: $(grep -oE "our [A-Za-z]+ reader and Assimp's differ: .*" <<<"$report" | head -1)"
  elif grep -qE "$root/(scene|import|document|meshalgo|plugin|model|writer|skin|light|context|thm|format|tools|host|fuzz)/" <<<"$top"; then
    where="ours: $(sed 's/.* in //' <<<"$top")"
  elif [ -n "$top" ]; then
    where=$(grep -oE "\(/[^)+]*" <<<"$top" | sed 's/^(//; s#.*/##' | head -1)
    where=${where:-$(sed 's/.* in //' <<<"$top")}
  else
    where=-
  fi
  printf '%s\t%s\t%s\n' "$(basename "$f")" "${kind:-no fault on replay}" "$where"
done
