#!/usr/bin/env bash
# Makes docs/korvanel-windows.png: the real Korvanel.exe of the x86_64
# build under wine64 on Xvfb, as it opens, cut to the window.
# Not a test; run it by hand after the dialog's look changes.
#
# usage: tests/wine/screenshot.sh [X64_BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
win="${1:-$root/build/windows-x64}"
work="$(mktemp -d /tmp/korvanel-shot.XXXXXX)"
export WINEPREFIX="$work/prefix"
. "$root/tests/wine/wine-env.sh"
pids=()
cleanup() {
  timeout 20 "$WINESERVER" -k 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"
wine_prefix_ready
wine_draws_its_frames
cp "$win/ui/win32/Korvanel.exe" "$work/Korvanel.exe"
"$WINE64" "$work/Korvanel.exe" >/dev/null 2>&1 </dev/null &
pids+=($!)
window=""
for _ in $(seq 100); do
  window="$(xdotool search --name '^Korvanel V1\.0$' 2>/dev/null | head -n 1)" && [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "screenshot: dialog not found" >&2; exit 1; }
sleep 1
mkdir -p "$root/docs"
import -window "$window" "$root/docs/korvanel-windows.png"
echo "wrote docs/korvanel-windows.png"
