#!/usr/bin/env bash
# Runs a Windows program under Debian's 64-bit Wine, headless, in a prefix of
# the build's own (made on first use), with Wine's own chatter silenced.
set -euo pipefail
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/tarnexport-wine-$(id -u)}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY
exec "$wine" "$@"
