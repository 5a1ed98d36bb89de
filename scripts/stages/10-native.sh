#!/usr/bin/env bash
# Native Linux build: engine, serial port, command line, simulator, dialog;
# unit, integration and GUI tests through CTest.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset linux
cmake --build --preset linux
# Each test runs once. The hardening tests print figures (timings,
# descriptors, memory) that CTest would keep to its log when they pass, so
# they run in a second pass that shows their output.
status=0
ctest --preset linux -LE figures || status=1
ctest --preset linux -L figures --verbose || status=1
exit $status
