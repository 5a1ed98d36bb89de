#!/usr/bin/env bash
# The main job on a fresh machine: installs only a compiler, CMake and Ninja,
# builds korvanel-clear and korvanel-sim (no dialog, no tests), starts a
# virtual inverter on a pseudo-terminal and clears it with korvanel-clear,
# printing the trace of every frame and the result.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --demo
cmake --preset tools >/dev/null
cmake --build --preset tools

bin=build/tools
sim_out=$(mktemp)
sim_log=$(mktemp)
"$bin/sim/korvanel-sim" >"$sim_out" 2>"$sim_log" &
sim_pid=$!
cleanup() {
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -f "$sim_out" "$sim_log"
}
trap cleanup EXIT

# The simulator's first line is its port.
port=""
for _ in $(seq 50); do
  port=$(head -n 1 "$sim_out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "demo: korvanel-sim did not start" >&2; cat "$sim_log" >&2; exit 1; }

echo "Virtual inverter on $port"
echo "\$ korvanel-clear --trace --port $port"
status=0
"$bin/cli/korvanel-clear" --trace --port "$port" 2>&1 || status=$?
echo
echo "The inverter's log:"
kill -TERM "$sim_pid"
wait "$sim_pid" || true
cat "$sim_log"
exit $status
