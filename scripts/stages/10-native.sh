#!/usr/bin/env bash
# Native Linux build: engine, serial port, command line, simulator, dialog;
# unit, integration and GUI tests through CTest.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset linux
cmake --build --preset linux
ctest --preset linux

# The figures the hardening tests measured (CTest keeps test output only in
# its log when they pass).
grep -hoE "(soak:|stats:|loss after tick|longest tick handler).*" build/linux/Testing/Temporary/LastTest.log || true
