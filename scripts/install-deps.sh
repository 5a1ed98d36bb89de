#!/usr/bin/env bash
# Installs what the builds, the tests and the demo need on Debian 12.
#   scripts/install-deps.sh         everything: both dialogs, the Windows
#                                   cross builds, Wine, the peers, packaging
#   scripts/install-deps.sh --demo  only what building and running
#                                   korvanel-clear and korvanel-sim needs
# Safe to run again: packages already present are not fetched twice.
set -euo pipefail

# A C++17 compiler, CMake and Ninja, CLI11 (header-only), which parses the
# options of korvanel-clear and korvanel-sim, and nlohmann/json
# (header-only), which writes korvanel-clear's --json lines; nothing more.
# The full list holds these too.
demo_packages=(g++ cmake ninja-build libcli11-dev nlohmann-json3-dev)

full_packages=(
  "${demo_packages[@]}"
  build-essential pkg-config
  googletest libgtest-dev libgmock-dev
  qt6-base-dev
  socat mbpoll ser2net python3 python3-pymodbus python3-serial python3-serial-asyncio
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64
  xvfb x11-utils xdotool imagemagick fonts-dejavu-core
  clang libclang-rt-14-dev clang-format
  procps iproute2
  dpkg-dev file lintian man-db desktop-file-utils unzip
  tshark nsis
  qemu-system-x86 qemu-system-arm busybox-static g++-aarch64-linux-gnu
)

case "${1:-}" in
  --demo) packages=("${demo_packages[@]}") ;;
  "") packages=("${full_packages[@]}") ;;
  *) echo "usage: install-deps.sh [--demo]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root, or install sudo" >&2; exit 1; }
  sudo=sudo
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
