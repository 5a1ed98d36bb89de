# korvanel-clear on the 8250 of QEMU's pc machine: /dev/ttyS1 joined to
# korvanel-sim --address 1-3,7 --fault 9:silent, /dev/ttyS2 to
# korvanel-sim --address 1 --baud 19200.
. /bin/check.sh
PORT=/dev/ttyS1
# Settings no run chooses, so the ones found are seen to come back.
stty -F $PORT 2400 cs7 parenb parodd cstopb
found=$(serial_flags $PORT)
echo "found: $found"
sent() { sed -n 's/^1: .* tx:\([0-9]*\).*/\1/p' /proc/tty/driver/serial; }
before=$(sent)
run rs485-refused 2 "/dev/ttyS1 takes no RS-485 settings: its adapter switches direction itself, so run without --rs485" \
  korvanel-clear --port $PORT --address 42 --rs485
[ "$(sent)" = "$before" ] && verdict=PASS || verdict=FAIL
echo "$verdict rs485-no-byte: the UART's tx count $before before, $(sent) after"
as_found rs485-as-found
run clear 0 "!!--Clear OK--!!" korvanel-clear --port $PORT --address 1 --period 100
run clear-no-echo 0 "!!--Clear OK--!!" korvanel-clear --port $PORT --address 3 --no-echo --period 100
run verify 0 "verified: register 0x004A = 0" korvanel-clear --port $PORT --address 2 --verify --period 100
run scan 0 "7: 0x004A = 4660 (0x1234)" korvanel-clear --port $PORT --scan 1-8 --period 100
as_found clears-as-found

start korvanel-clear --port $PORT --address 9 --period 1000
seen low-latency-during low_latency=1 speed=9600
run second-refused 2 "held by PID" korvanel-clear --port $PORT --address 1 --period 100
finish silent-run 1 "!!--Operation Fail--!!"
as_found low-latency-as-found
start korvanel-clear --port $PORT --address 9 --period 1000
seen sigterm-running speed=9600
kill -TERM $bg
finish sigterm 143 ""
as_found sigterm-as-found

PORT=/dev/ttyS2
run baud-19200 0 "!!--Clear OK--!!" korvanel-clear --port $PORT --baud 19200 --address 1 --period 100
run baud-differs 1 "!!--Operation Fail--!!" korvanel-clear --port $PORT --address 1 --period 100
