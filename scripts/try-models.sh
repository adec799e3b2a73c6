#!/usr/bin/env bash
# Exports every model of Debian's assimp-testmodels with thmexport and checks
# each output with thmdump --check, as a new user trying the tool would.
# Usage: scripts/try-models.sh [BUILD_BIN_DIR]   (default build/release/bin)
set -uo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release/bin}
models=/usr/share/assimp/models
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

ok=0 unreadable=0 failed=0
while IFS= read -r -d '' f; do
  case "$f" in "$models"/invalid/*) continue ;; esac
  err=$("$bin/thmexport" --quiet "$f" -o "$out/m.thm" 2>&1 >/dev/null)
  code=$?
  if [ $code -eq 2 ]; then
    unreadable=$((unreadable + 1))            # the importer (Assimp) cannot read it
  elif [ $code -ne 0 ]; then
    failed=$((failed + 1)); echo "FAILED export: $f: $err"
  elif ! check=$("$bin/thmdump" --check "$out/m.thm" 2>&1); then
    failed=$((failed + 1)); echo "FAILED check: $f: $check"
  else
    ok=$((ok + 1))
  fi
  rm -f "$out/m.thm"
done < <(find "$models" -type f -print0 | sort -z)

echo "exported and checked: $ok; not readable by the importer: $unreadable; failed: $failed"
[ $failed -eq 0 ]
