#!/usr/bin/env bash
# Windows: cross-builds the i686 (32-bit, primary) and x86_64 targets with
# MinGW-w64, runs the x86_64 unit tests under wine64, then the Wine tests
# (Win32 serial port, korvanel-clear.exe, the real dialog on Xvfb) against
# korvanel-sim and pymodbus from the native build of stage 10.
set -euo pipefail
cd "$(dirname "$0")/../.."

for preset in windows-x86 windows-x64; do
  timeout 900 cmake --preset "$preset" >/dev/null
  timeout 1800 cmake --build --preset "$preset"
done
ls -l build/windows-x86/ui/win32/Korvanel.exe build/windows-x64/ui/win32/Korvanel.exe

# The unit tests under wine64, in a prefix of their own made up front (a
# fresh prefix takes longer than CTest's discovery time-out), with a
# persistent server so each test starts in a fraction of a second.
export WINEPREFIX
WINEPREFIX="$(mktemp -d /tmp/korvanel-ctest-wine.XXXXXX)"
. tests/wine/wine-env.sh
cleanup() {
  timeout 30 "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
timeout 300 tests/wine/wine-run.sh cmd /c exit
# The server of that first start lingers a few seconds; a persistent one
# can only start once it has gone.
timeout 60 "$WINESERVER" -w
"$WINESERVER" -p
timeout 120 tests/wine/wine-run.sh cmd /c exit
status=0
timeout 900 ctest --preset windows-x64 || status=1
cleanup
trap - EXIT
unset WINEPREFIX

timeout 1200 /usr/bin/python3 tests/wine/run_wine_tests.py build/windows-x64 build/linux || status=1
exit $status
