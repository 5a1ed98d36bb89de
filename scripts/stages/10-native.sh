#!/usr/bin/env bash
# Native Linux build: engine, serial port, command line, simulator, dialog;
# unit, integration and GUI tests through CTest.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset linux
cmake --build --preset linux
ctest --preset linux
