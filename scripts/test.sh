#!/usr/bin/env bash
# Installs what is needed, builds every target and runs every test: each
# stage under scripts/stages/ in turn (native build and tests first).
#   scripts/test.sh          every stage
#   scripts/test.sh 10 25    only the stages whose names start 10- and 25-
set -euo pipefail
cd "$(dirname "$0")/.."

stages=()
if [ $# -eq 0 ]; then
  stages=(scripts/stages/*.sh)
else
  for number in "$@"; do
    match=(scripts/stages/"$number"-*.sh)
    [ -f "${match[0]}" ] || { echo "test.sh: no stage $number in scripts/stages/" >&2; exit 2; }
    stages+=("${match[@]}")
  done
fi

scripts/install-deps.sh

status=0
for stage in "${stages[@]}"; do
  echo "=== ${stage##*/} ==="
  if ! bash "$stage"; then
    echo "=== ${stage##*/} FAILED ==="
    status=1
  fi
done
exit $status
