# What both guest scripts share: each case prints one line, PASS or FAIL,
# its name, and what it saw. $PORT is the port the cases are on, $found the
# helper's reading of it before the first run.

# judge NAME STATUS TEXT RC OUTPUT: PASS when RC is STATUS and OUTPUT says TEXT.
judge() {
  verdict=FAIL
  [ "$4" = "$2" ] && case "$5" in *"$3"*) verdict=PASS ;; esac
  echo "$verdict $1: exit $4: $(echo "$5" | tr '\n' '|')"
}
# run NAME STATUS TEXT COMMAND...
run() {
  name=$1 status=$2 text=$3
  shift 3
  out=$("$@" 2>&1)
  judge "$name" "$status" "$text" $? "$out"
}
# start COMMAND...: in the background, as $bg; finish NAME STATUS TEXT judges it.
start() { "$@" >/tmp/bg.out 2>&1 & bg=$!; }
finish() { wait "$bg"; judge "$1" "$2" "$3" $? "$(cat /tmp/bg.out)"; }
# seen NAME FIELD=VALUE...: the helper, a second process, reads these on $PORT.
seen() {
  name=$1
  shift
  state=$(serial_flags wait "$PORT" 5000 "$@") && verdict=PASS || verdict=FAIL
  echo "$verdict $name: $state"
}
# With its RS-485 mode off the kernel reads back every other RS-485 field as
# 0, so such a port is as found whatever those fields were.
norm() { sed 's/rs485=0x[0-9a-f]* rs485_on=0 delay_before=[0-9]* delay_after=[0-9]*/rs485 off/'; }
as_found() {
  now=$(serial_flags "$PORT")
  [ "$(echo "$now" | norm)" = "$(echo "$found" | norm)" ] && verdict=PASS || verdict=FAIL
  echo "$verdict $1: $now"
}
