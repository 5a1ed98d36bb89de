# The Wine settings of every Wine script, in one place. Sourced by
# wine-run.sh, screenshot.sh and scripts/stages/20-windows.sh;
# run_wine_tests.py sources it through bash and takes the same values.
#
# WINEPREFIX: a prefix already set is kept (the test runs make a fresh one
# each); otherwise one private prefix per user under /tmp, made once by
# wine_prefix_ready and reused, as wineboot of a fresh prefix takes a while.

export WINEDEBUG=-all
# No .NET or HTML engine: wineboot would offer to download them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEPREFIX="${WINEPREFIX:-/tmp/korvanel-wine-$(id -u)}"
export WINE64=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver64

# Makes $WINEPREFIX if it has not been made yet, and then waits until its
# server has gone, so that the next start reads the finished prefix.
wine_prefix_ready() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  mkdir -p "$WINEPREFIX"
  timeout 300 "$WINE64" wineboot -i >/dev/null 2>&1 || return 1
  timeout 60 "$WINESERVER" -w 2>/dev/null || true
}

# With no window manager on an Xvfb display, Wine draws captions and
# frames itself.
wine_draws_its_frames() {
  local key='HKCU\Software\Wine\X11 Driver'
  timeout 60 "$WINE64" reg add "$key" /v Managed /d N /f >/dev/null 2>&1 &&
    timeout 60 "$WINE64" reg add "$key" /v Decorated /d N /f >/dev/null 2>&1
}
