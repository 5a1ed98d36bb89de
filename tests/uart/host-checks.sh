# Sourced by scripts/stages/15-real-uart.sh once both guests have ended:
# what each guest printed, and what korvanel-sim on the 8250's line heard.
failed=0
for arch in amd64 arm64; do
  tr -d '\r' <"$work/$arch.console" | sed 's/^.*GUEST BEGIN/GUEST BEGIN/' >"$work/$arch.txt"
  grep -a -E '^(found|GUEST|PASS|FAIL)' "$work/$arch.txt" | sed "s/^/$arch /"
  if ! grep -q '^GUEST END' "$work/$arch.txt"; then
    echo "FAIL $arch guest-ended: its console's last lines:"
    tail -n 15 "$work/$arch.txt"
    failed=$((failed + 1))
  fi
  failed=$((failed + $(grep -c '^FAIL' "$work/$arch.txt" || true)))
done
# The refused --rs485 run was for address 42 (0x2A): no frame of it on the line.
if grep -q ' RX  2A ' "$work/line.log"; then
  echo "FAIL amd64 rs485-nothing-heard: $(grep ' RX  2A ' "$work/line.log" | head -n 1)"
  failed=$((failed + 1))
else
  echo "PASS amd64 rs485-nothing-heard: korvanel-sim on ttyS1 heard $(grep -c ' RX ' "$work/line.log") frames, none for address 42"
fi
