#!/usr/bin/env bash
# Runs one Windows program of the x86_64 build under wine64: CTest's
# emulator for the cross build, and the Wine tests' way to start a program.
#
# The Wine settings, the prefix among them, come from wine-env.sh. Output
# has its carriage returns removed so CTest's test discovery and the tests'
# text comparisons see plain lines. The exit code is the program's.
set -uo pipefail
. "$(dirname "$0")/wine-env.sh"
wine_prefix_ready

# Through a file, not a pipe: Wine's helper processes inherit the output
# and would hold a pipe open after the program has ended.
out="$(mktemp)"
"$WINE64" "$@" >"$out" 2>&1 </dev/null
status=$?
# A test program always prints something; failing with no word at all is
# Wine failing to start it (seen once in about two hundred starts of the
# unit tests here). That start is said and made once more; a program that
# really fails fails again, with its output.
if [ "$status" -ne 0 ] && [ ! -s "$out" ]; then
  echo "wine-run: $1 ended with status $status before printing anything; starting it again" >&2
  "$WINE64" "$@" >"$out" 2>&1 </dev/null
  status=$?
fi
tr -d '\r' <"$out"
rm -f "$out"
exit "$status"
