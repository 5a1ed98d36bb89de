#!/usr/bin/env bash
# The Windows setup programs from CPack's NSIS generator: what makensis packs
# into each; then the 64-bit one under wine64 in a fresh prefix (the 32-bit
# stub cannot run here): silent install and uninstall, with the machine's
# Path at lengths around the installer's string limit.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "26-installer: $*" >&2; exit 1; }
work=$(mktemp -d /tmp/korvanel-installer.XXXXXX)
# The prefix's server first: it holds files of the prefix open.
trap 'WINEPREFIX="$work/wine" timeout 60 /usr/lib/wine/wineserver64 -k 2>/dev/null || true; rm -rf "$work"' EXIT

cmake --preset linux >/dev/null
timeout 1800 cmake --build --preset linux --target korvanel-clear korvanel-sim
version=$(build/linux/cli/korvanel-clear --version | cut -d' ' -f2)

for build in "windows-x86 win32 x86-unicode" "windows-x64 win64 amd64-unicode"; do
  read -r preset flavour target <<<"$build"
  timeout 900 cmake --preset "$preset" >/dev/null
  timeout 1800 cmake --build --preset "$preset" --target Korvanel korvanel-clear
  (cd "build/$preset" && timeout 600 cpack -G NSIS >/dev/null)
  ls -l "build/$preset/Korvanel-$version-$flavour-setup.exe"
  # CPack's script once more, warnings as errors, for makensis's log of the
  # stub and of each file packed ('File: "NAME" 1101 bytes').
  makensis -V4 -WX "build/$preset/_CPack_Packages/$flavour/NSIS/project.nsi" >"$work/log" || fail "makensis: $(grep -im3 'warning\|error' "$work/log")"
  grep -q "^Target: $target$" "$work/log" || fail "$flavour: not built for $target"
  packed=$(sed -n 's/^File: "\([^"]*\)" [0-9]* bytes$/\1/p' "$work/log" | sort | xargs)
  echo "$flavour setup packs: $packed"
  [ "$packed" = "Korvanel.exe LICENSE.txt README.txt korvanel-clear.exe" ] || fail "$flavour packs other files"
done

export WINEPREFIX="$work/wine"
. tests/wine/wine-env.sh
wine_prefix_ready || fail "wineboot of a fresh prefix failed"
win() { timeout 300 tests/wine/wine-run.sh "$@"; }
# One value as `reg query` prints it ("    NAME    REG_SZ    VALUE"); "" the key's default.
reg_value() {
  local name=(/ve) && [ -n "$2" ] && name=(/v "$2")
  win reg query "$1" "${name[@]}" | sed -n 's/^ *[^ ]* *REG_[A-Z_]*    //p'
}
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvanel'
app_paths_key='HKLM\Software\Microsoft\Windows\CurrentVersion\App Paths\korvanel-clear.exe'
# No blank: Wine quotes an argument with one, and NSIS takes /D= only unquoted.
folder='C:\korvanel-setup-test'
installed="$WINEPREFIX/drive_c/korvanel-setup-test"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Korvanel.lnk"
wine_path=$(reg_value "$env_key" Path)
limit=1023 # characters an NSIS string holds with NSIS_MAX_STRLEN=1024
# The longest Path the folder is added to: the new one stays under the limit.
fits=$((limit - 1 - ${#folder} - 1))

# Path before the install (wine: the prefix's own; a number: that many
# characters), and whether the folder is added to it.
while read -r row before added; do
  case "$before" in
    wine) before=$wine_path ;;
    holds) before="$wine_path;$folder" ;;
    *) printf -v filler '%*s' $((before - ${#wine_path} - 4)) '' && before="$wine_path;C:\\${filler// /p}" ;;
  esac
  win reg add "$env_key" /v Path /t REG_EXPAND_SZ /d "$before" /f >/dev/null
  win "build/windows-x64/Korvanel-$version-win64-setup.exe" /S "/D=$folder" >/dev/null || fail "$row: setup failed"
  after=$(reg_value "$env_key" Path)
  echo "$row: Path of ${#before} characters, ${#after} after install"
  [ "$after" = "$before${added:+;$folder}" ] || fail "$row: Path after install is '$after'"

  if [ "$row" = short ]; then
    [ "$(ls "$installed" | xargs)" = "Korvanel.exe LICENSE.txt README.txt Uninstall.exe korvanel-clear.exe" ] || fail "installed: $(ls "$installed")"
    tr -d '\0' <"$shortcut" >"$work/lnk" && grep -q 'korvanel-setup-test\\Korvanel.exe' "$work/lnk" || fail "no shortcut to the dialog"
    echo "installed in $folder: $(ls "$installed" | xargs); Start Menu: Programs\\Korvanel.lnk -> $folder\\Korvanel.exe"
    for value in "DisplayName=Korvanel" "DisplayVersion=$version" "Publisher=Korvanel developers" \
                 "UninstallString=\"$folder\\Uninstall.exe\"" "QuietUninstallString=\"$folder\\Uninstall.exe\" /S" \
                 "InstallLocation=$folder" "PathEntry=$folder"; do
      [ "$(reg_value "$uninstall_key" "${value%%=*}")" = "${value#*=}" ] || fail "uninstall key: not $value"
    done
    [ "$(reg_value "$app_paths_key" '')" = "$folder\\korvanel-clear.exe" ] || fail "App Paths"
    # Wine's cmd fails to start a program now and then (ShellExecuteEx: Internal error): a second try.
    for _ in 1 2; do out=$(win cmd /c korvanel-clear --version) && break; echo "cmd /c korvanel-clear: $out" >&2; done
    [ "$out" = "korvanel-clear $version" ] || fail "cmd /c korvanel-clear: '$out'"
    echo "cmd /c korvanel-clear --version: $out"
    # Bounded, so that a failing check leaves no simulator behind.
    timeout 120 build/linux/sim/korvanel-sim --quiet --listen tcp://127.0.0.1:0 </dev/null >"$work/sim.out" 2>/dev/null &
    for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
    url=$(head -1 "$work/sim.out")
    out=$(win "$installed/korvanel-clear.exe" --port "$url" --period 200 --verify) || true
    kill -TERM $! && wait $! || true
    echo "installed korvanel-clear.exe --port $url: ${out//$'\n'/ / }"
    [ "$out" = $'!!--Clear OK--!!\nverified: register 0x004A = 0' ] || fail "installed korvanel-clear printed '$out'"
  fi

  # The uninstaller runs on from a copy of itself: wait for the folder to go.
  win "$installed/Uninstall.exe" /S >/dev/null || fail "$row: uninstall failed"
  for _ in $(seq 100); do [ -e "$installed" ] || break; sleep 0.2; done
  [ ! -e "$installed" ] && [ ! -e "$shortcut" ] || fail "$row: files left after uninstall"
  for key in "$uninstall_key" "$app_paths_key"; do ! win reg query "$key" >/dev/null 2>&1 || fail "$row: $key left"; done
  after=$(reg_value "$env_key" Path)
  [ "$after" = "$before" ] || fail "$row: Path after uninstall is '$after'"
  echo "$row: uninstalled, Path back to ${#after} characters"
done <<ROWS
short wine yes
fits-whole $fits yes
one-over $((fits + 1))
at-the-limit $limit
longer 1500
holds-folder holds
ROWS
