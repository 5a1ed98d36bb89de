#!/usr/bin/env bash
# Packages: builds the Debian package, inspects it, runs lintian, installs
# it into this machine with apt-get, runs the installed programs against
# each other, checks the man pages and the desktop entry, removes it and
# checks nothing is left; then makes both Windows zips from the builds of
# stage 20, checks what they hold and runs the x64 korvanel-clear.exe out of
# its unpacked zip under wine64.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "25-packages: $*" >&2; exit 1; }
work=$(mktemp -d /tmp/korvanel-packages.XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# --- The Debian package --------------------------------------------------
cmake --preset linux >/dev/null
timeout 1800 cmake --build --preset linux --target package
# The version the build was made with, as its own program says it.
version=$(build/linux/cli/korvanel-clear --version | cut -d' ' -f2)
deb="build/linux/korvanel_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"
ls -l "$deb"

dpkg-deb -I "$deb" | tee "$work/control"
for field in "Package: korvanel" "Version: $version" "Architecture: amd64" \
             "Section: electronics" "Priority: optional" "Maintainer: Korvanel developers"; do
  grep -q "^ *$field" "$work/control" || fail "control lacks '$field'"
done
# Depends comes from the libraries the programs link (dpkg-shlibdeps).
depends=$(sed -n 's/^ *Depends: //p' "$work/control")
for lib in libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6; do
  [[ ", $depends" == *", $lib "* || ", $depends" == *", $lib,"* ]] || fail "Depends lacks $lib: $depends"
done

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort >"$work/files"
cat "$work/files"
cat >"$work/expected" <<LIST
/usr/bin/korvanel
/usr/bin/korvanel-clear
/usr/bin/korvanel-sim
/usr/share/applications/korvanel.desktop
/usr/share/doc/korvanel/changelog.gz
/usr/share/doc/korvanel/copyright
/usr/share/icons/hicolor/16x16/apps/korvanel.png
/usr/share/icons/hicolor/32x32/apps/korvanel.png
/usr/share/man/man1/korvanel-clear.1.gz
/usr/share/man/man1/korvanel-sim.1.gz
/usr/share/man/man1/korvanel.1.gz
LIST
diff -u "$work/expected" "$work/files" || fail "the package holds other files than the programs and their documents"

# lintian: errors fail the stage; warnings and notes are printed.
lintian --fail-on error --display-info "$deb" || fail "lintian reports errors"

if dpkg-query -W -f='${Status}' korvanel 2>/dev/null | grep -q "install ok installed"; then
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 purge -y korvanel >/dev/null
fi
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y "./$deb"

[ "$(/usr/bin/korvanel-clear --version)" = "korvanel-clear $version" ] || fail "installed korvanel-clear --version"
[ "$(/usr/bin/korvanel-sim --version)" = "korvanel-sim $version" ] || fail "installed korvanel-sim --version"
[ "$(/usr/bin/korvanel --version)" = "korvanel $version" ] || fail "installed korvanel --version"
# Stripped: no symbol table left in the installed programs.
for program in korvanel korvanel-clear korvanel-sim; do
  ! readelf -S "/usr/bin/$program" | grep -q '\.symtab' || fail "/usr/bin/$program is not stripped"
done

# The installed simulator and command line against each other.
/usr/bin/korvanel-sim --address 7 --link "$work/inverter" >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -L "$work/inverter" ] && break; sleep 0.1; done
out=$(/usr/bin/korvanel-clear --port "$work/inverter" --address 7 --period 100) || fail "installed korvanel-clear: $out"
[ "$out" = "!!--Clear OK--!!" ] || fail "installed korvanel-clear printed '$out'"
kill -TERM "$sim_pid"; wait "$sim_pid" || true; sim_pid=""
echo "installed korvanel-clear vs korvanel-sim: $out"

for page in korvanel korvanel-clear korvanel-sim; do
  [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man -w $page: $(man -w "$page" 2>&1)"
done
desktop-file-validate /usr/share/applications/korvanel.desktop || fail "desktop entry"

DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 remove --purge -y korvanel
! dpkg-query -W -f='${Status}' korvanel 2>/dev/null | grep -q "installed" || fail "korvanel still installed"
while read -r file; do
  [ ! -e "$file" ] || fail "$file is left after removal"
done <"$work/files"
for dir in /usr/share/doc/korvanel; do
  [ ! -e "$dir" ] || fail "$dir is left after removal"
done
echo "package removed, nothing left"

# --- The Windows zips ----------------------------------------------------
# Machine field of a PE header: 0x014c i386, 0x8664 x86-64.
pe_machine() {
  /usr/bin/python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); o=struct.unpack_from("<I",d,0x3c)[0]; assert d[o:o+4]==b"PE\0\0"; print(hex(struct.unpack_from("<H",d,o+4)[0]))' "$1"
}
for build in "windows-x86 win32 0x14c" "windows-x64 win64 0x8664"; do
  read -r preset flavour machine <<<"$build"
  timeout 900 cmake --preset "$preset" >/dev/null
  timeout 1800 cmake --build --preset "$preset" --target Korvanel korvanel-clear
  # cpack installs what is built; the package target would build the tests too.
  (cd "build/$preset" && cpack -G ZIP >/dev/null)
  zip="build/$preset/Korvanel-$version-$flavour.zip"
  [ -f "$zip" ] || fail "no $zip"
  ls -l "$zip"
  top="Korvanel-$version-$flavour"
  unzip -Z1 "$zip" | grep -v '/$' | sort >"$work/zip-files"
  printf '%s\n' "$top/Korvanel.exe" "$top/LICENSE.txt" "$top/README.txt" "$top/korvanel-clear.exe" \
    | sort >"$work/zip-expected"
  diff -u "$work/zip-expected" "$work/zip-files" || fail "$zip holds other files"
  rm -rf "$work/unzipped"
  unzip -q "$zip" -d "$work/unzipped"
  for text in README.txt LICENSE.txt; do
    lines=$(wc -l <"$work/unzipped/$top/$text")
    crlf=$(grep -c $'\r$' "$work/unzipped/$top/$text")
    [ "$lines" -gt 0 ] && [ "$lines" = "$crlf" ] || fail "$text: $crlf of $lines lines end in CRLF"
  done
  grep -q "Korvanel $version for Windows" "$work/unzipped/$top/README.txt" || fail "README.txt names no version"
  for exe in Korvanel.exe korvanel-clear.exe; do
    [ "$(pe_machine "$work/unzipped/$top/$exe")" = "$machine" ] || fail "$flavour $exe is not $machine"
  done
done

# The x64 command line out of its unpacked zip, in a Wine prefix of its own.
export WINEPREFIX="$work/wine" WINEDEBUG=-all
out=$(timeout 600 tests/wine/wine-run.sh "$work/unzipped/Korvanel-$version-win64/korvanel-clear.exe" --version)
timeout 60 /usr/lib/wine/wineserver64 -k 2>/dev/null || true
[ "$out" = "korvanel-clear $version" ] || fail "korvanel-clear.exe --version under wine64 printed '$out'"
echo "korvanel-clear.exe from the win64 zip under wine64: $out"
