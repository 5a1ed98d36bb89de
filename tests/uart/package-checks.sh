# Sourced by scripts/stages/15-real-uart.sh with the arm64 .deb: its control
# fields, its files, Depends against what the programs need, lintian.
deb=$1
package() { # NAME OK DETAIL
  [ "$2" = 0 ] && echo "PASS package-$1: $3" || { echo "FAIL package-$1: $3"; failed=$((failed + 1)); }
}
control=$(dpkg-deb -f "$deb" Package Architecture Depends 2>&1)
[ "$(echo "$control" | head -n 2 | tr '\n' ' ')" = "Package: korvanel-tools Architecture: arm64 " ]
package control $? "$(echo "$control" | tr '\n' ' ')"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/korvanel-clear ./usr/bin/korvanel-sim ./usr/share/doc/korvanel-tools/README.md ./usr/share/doc/korvanel-tools/changelog.gz ./usr/share/doc/korvanel-tools/copyright ./usr/share/man/man1/korvanel-clear.1.gz ./usr/share/man/man1/korvanel-sim.1.gz " ]
package files $? "$files"
dpkg-deb -x "$deb" "$work/deb"
for program in korvanel-clear korvanel-sim; do
  bin=$work/deb/usr/bin/$program
  # Each library named NEEDED has its package in Depends, at or above the
  # newest glibc symbol version the program takes.
  needed=$(aarch64-linux-gnu-readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  glibc=$(aarch64-linux-gnu-objdump -T "$bin" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1)
  ok=0
  for lib in $needed; do
    case $lib in
      libc.so.6) [[ "$control" == *"libc6 (>= ${glibc#GLIBC_})"* ]] || ok=1 ;;
      libstdc++.so.6) [[ "$control" == *"libstdc++6 (>= "* ]] || ok=1 ;;
      libgcc_s.so.1) [[ "$control" == *"libgcc-s1 (>= "* ]] || ok=1 ;;
      *) ok=1 ;;
    esac
  done
  aarch64-linux-gnu-readelf -S "$bin" | grep -q '\.symtab' && ok=1
  package "$program" $ok "NEEDED $needed newest $glibc, stripped; $(file -b "$bin" | cut -d, -f1-2)"
done
lintian_out=$(lintian --fail-on error "$deb" 2>&1)
package lintian $? "$(echo "$lintian_out" | grep -c '^E:') errors, $(echo "$lintian_out" | grep -c '^W:') warnings"
