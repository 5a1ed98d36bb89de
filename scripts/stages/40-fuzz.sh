#!/usr/bin/env bash
# Bounded libFuzzer runs (FUZZ_SECONDS each, 60 by default) over a copy of
# the corpus kept in fuzz/corpus; every kept input is replayed first, so a
# regression shows at once. New inputs stay in the copy: refresh the kept
# corpus by hand with -merge=1 when a run found something worth keeping.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  mkdir -p "$work/$name"
  cp fuzz/corpus/"$name"/* "$work/$name"/
  echo "--- $name: replaying $(ls fuzz/corpus/"$name" | wc -l) kept inputs, then fuzzing ${seconds}s ---"
  "$target" -runs=0 fuzz/corpus/"$name" 2>&1 | tail -n 1
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" "$work/$name" \
    >"$work/$name.log" 2>&1 || { tail -n 40 "$work/$name.log"; exit 1; }
  grep -E "^stat::(number_of_executed_units|new_units_added|peak_rss_mb)" "$work/$name.log"
done
