#!/usr/bin/env bash
# Runs one Windows program of the x86_64 build under wine64: CTest's
# emulator for the cross build, and the Wine tests' way to start a program.
#
# WINEPREFIX: the prefix to use; when unset, one private prefix per user under
# /tmp is made once and reused (wineboot of a fresh prefix takes a while).
# Output has its carriage returns removed so CTest's test discovery and the
# tests' text comparisons see plain lines. The exit code is the program's.
set -uo pipefail

export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEPREFIX="${WINEPREFIX:-/tmp/korvanel-wine-$(id -u)}"
WINE64=/usr/lib/wine/wine64

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 300 "$WINE64" wineboot -i >/dev/null 2>&1
  timeout 60 /usr/lib/wine/wineserver64 -w 2>/dev/null || true
fi

# Through a file, not a pipe: Wine's helper processes inherit the output
# and would hold a pipe open after the program has ended.
out="$(mktemp)"
"$WINE64" "$@" >"$out" 2>&1 </dev/null
status=$?
tr -d '\r' <"$out"
rm -f "$out"
exit "$status"
