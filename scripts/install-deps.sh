#!/usr/bin/env bash
# Installs everything the builds, the tests and the demo need on Debian 12.
# Safe to run again: packages already present are not fetched twice.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev
  qt6-base-dev
  socat mbpoll python3 python3-pymodbus python3-serial python3-serial-asyncio
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64
  xvfb x11-utils xdotool imagemagick fonts-dejavu-core
  clang libclang-rt-14-dev
  procps
)

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
