#!/usr/bin/env bash
# Installs what is needed, builds every target and runs every test:
# each stage under scripts/stages/ in turn (native build and tests first).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

status=0
for stage in scripts/stages/*.sh; do
  echo "=== ${stage##*/} ==="
  if ! bash "$stage"; then
    echo "=== ${stage##*/} FAILED ==="
    status=1
  fi
done
exit $status
