# Sourced by scripts/stages/15-real-uart.sh with the arm64 .deb: its control
# fields, its files, Depends against what the programs need, lintian.
deb=$1
package() { # NAME STATUS DETAIL
  [ "$2" = 0 ] && echo "PASS package-$1: $3" || { echo "FAIL package-$1: $3"; failed=$((failed + 1)); }
}
control=$(dpkg-deb -f "$deb" Package Architecture Depends | tr '\n' ' ')
[[ "$control" == "Package: korvanel-tools Architecture: arm64 "* ]]
package control $? "$control"
dpkg-deb -x "$deb" "$work/deb"
files=$(cd "$work/deb" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/korvanel-clear ./usr/bin/korvanel-sim ./usr/share/doc/korvanel-tools/README.md ./usr/share/doc/korvanel-tools/changelog.gz ./usr/share/doc/korvanel-tools/copyright ./usr/share/man/man1/korvanel-clear.1.gz ./usr/share/man/man1/korvanel-sim.1.gz " ]
package files $? "$files"
for program in korvanel-clear korvanel-sim; do
  bin=$work/deb/usr/bin/$program
  needed=$(aarch64-linux-gnu-readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  glibc=$(aarch64-linux-gnu-objdump -T "$bin" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1)
  # Each library's package in Depends (libgcc_s.so.1: libgcc-s1), glibc's at
  # the newest symbol version taken; and no symbol table left.
  ok=0
  for lib in $needed; do
    name=$(echo "$lib" | sed "s/\.so\.\([0-9]*\)$/\1/; s/_/-/; s/^libc6$/libc6 (>= ${glibc#GLIBC_})/")
    [[ "$control" == *"$name"* ]] || ok=1
  done
  ! aarch64-linux-gnu-readelf -S "$bin" | grep -q '\.symtab' || ok=1
  package "$program" $ok "NEEDED $needed(newest $glibc), stripped, $(file -b "$bin" | cut -d, -f2)"
done
lintian_out=$(lintian --fail-on error "$deb" 2>&1)
package lintian $? "$(echo "$lintian_out" | grep -c '^E:') errors, $(echo "$lintian_out" | grep -c '^W:') warnings"
