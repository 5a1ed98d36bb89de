# korvanel-clear built for arm64 on the PL011 of QEMU's virt machine:
# /dev/ttyAMA0 joined to korvanel-sim --address 1 --fault 9:silent. A run
# with --verify --settle holds the port long enough to be read from outside.
. /bin/check.sh
PORT=/dev/ttyAMA0
stty -F $PORT 2400 cs7 parenb
found=$(serial_flags $PORT)
echo "found: $found"
clear="korvanel-clear --port $PORT --address 1 --no-echo --verify --settle 3 --period 200"
start $clear --rs485
seen rs485-during rs485=0x3 delay_before=0 delay_after=0
finish rs485-clear 0 "verified: register 0x004A = 0"
as_found rs485-as-found
start $clear --rs485=rts-low --rs485-delay 1,2
seen rts-low-during rs485=0x5 delay_before=1 delay_after=2
finish rts-low-clear 0 "verified: register 0x004A = 0"
as_found rts-low-as-found

# A port found in RS-485 mode gets its own flags and delays back.
serial_flags rs485 $PORT 0x3 5 5
found=$(serial_flags $PORT)
run mode-on-plain-clear 0 "verified: register 0x004A = 0" $clear
as_found mode-on-plain-as-found
start $clear --rs485=rts-low --rs485-delay 1,2
seen over-mode-on-during rs485=0x5 delay_before=1 delay_after=2
finish over-mode-on-clear 0 "verified: register 0x004A = 0"
as_found over-mode-on-as-found

serial_flags rs485 $PORT 0 0 0
found=$(serial_flags $PORT)
start korvanel-clear --port $PORT --address 9 --no-echo --period 1000 --rs485
seen sigterm-running rs485_on=1 speed=9600
kill -TERM $bg
finish sigterm 143 ""
as_found sigterm-as-found
