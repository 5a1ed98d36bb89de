#!/usr/bin/env bash
# Real UART drivers: korvanel-clear inside QEMU guests, on the kernel's own
# serial drivers, against korvanel-sim on host pseudo-terminals (one
# simulator a UART, so each guest boots once): amd64 on the 8250
# (/dev/ttyS1, /dev/ttyS2), arm64 on the PL011 (/dev/ttyAMA0) with
# korvanel-clear from the linux-arm64 preset; then the arm64 package made of
# that build, checked with lintian. Debian's kernels are fetched with
# apt-get download into build/real-uart/cache and unpacked there, never
# installed; a second run reuses them. Each guest case prints PASS or FAIL
# with its name; the stage fails if any case failed or a guest did not end.
# The guests' consoles and the simulators' logs are left in
# build/real-uart/logs.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
stage_start=$(date +%s)

fail() { echo "15-real-uart: $*" >&2; exit 1; }
since() { echo "$(($(date +%s) - $1)) s"; }

# A tool missing: skipped on a developer's machine, a failure under CI=true.
missing=()
for tool in qemu-system-x86_64 qemu-system-aarch64 aarch64-linux-gnu-g++ aarch64-linux-gnu-gcc \
            gcc busybox dpkg-deb apt-get lintian; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -x /bin/busybox ] || missing+=(/bin/busybox)
if [ ${#missing[@]} -gt 0 ]; then
  [ "${CI:-}" = true ] && fail "needs ${missing[*]} (scripts/install-deps.sh installs them)"
  echo "15-real-uart: SKIP, needs ${missing[*]}"
  exit 0
fi

work=$(mktemp -d /tmp/korvanel-uart.XXXXXX)
pids=()
build_pid=""
cleanup() {
  # The arm64 build runs in a session of its own: its compilers go with it.
  [ -z "$build_pid" ] || kill -TERM -- "-$build_pid" 2>/dev/null || true
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # The consoles and the simulators' logs stay for a look after the stage.
  mkdir -p "$root/build/real-uart/logs"
  cp "$work"/*.console "$work"/*.log "$root/build/real-uart/logs/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# --- Builds: host programs, the helper; arm64 programs meanwhile --------
cmake --preset linux >/dev/null
cmake --build --preset linux --target korvanel-clear korvanel-sim
cmake --preset linux-arm64 >/dev/null
# The arm64 build goes on while the kernels are fetched and the amd64 guest
# runs.
setsid cmake --build --preset linux-arm64 --target korvanel-clear korvanel-sim korvanel_docs \
  >"$work/arm64-build.log" 2>&1 &
build_pid=$!
pids+=($build_pid)
cache=$root/build/real-uart/cache
mkdir -p "$cache"
gcc -O2 -Wall -Wextra -Werror -static -o "$cache/serial_flags-amd64" tests/uart/serial_flags.c
aarch64-linux-gnu-gcc -O2 -Wall -Wextra -Werror -static -o "$cache/serial_flags-arm64" tests/uart/serial_flags.c
sim=$root/build/linux/sim/korvanel-sim
echo "amd64 build: $(since "$stage_start")"

# --- Kernels and the arm64 busybox, fetched once ------------------------
# Package lists of their own for each arch, so the machine's apt setup and
# dpkg database stay as they are, and a kernel is named from lists fresh
# enough for the archive to still hold it.
# apt_of ARCH: $apt, the apt options for ARCH's lists.
apt_of() {
  apt=(-o APT::Architecture="$1" -o APT::Architectures="$1" -o Dir::State::status=/dev/null
       -o Dir::State::Lists="$cache/$1/lists" -o Dir::Cache="$cache/$1/apt" -o Acquire::Languages=none)
}
# kernel ARCH: the kernel package linux-image-ARCH depends on, fetched and
# unpacked under $cache/ARCH/root (after the lists are brought up to date
# when it or they are not there yet).
kernel() {
  mkdir -p "$cache/$1/lists/partial" "$cache/$1/apt/archives/partial"
  apt_of "$1"
  { ls "$cache/$1/lists/"*Packages* && ls "$cache/$1/linux-image-"*.deb; } >/dev/null 2>&1 ||
    apt-get "${apt[@]}" update >/dev/null
  local name
  name=$(apt-cache "${apt[@]}" depends "linux-image-$1" | sed -n "s/^ *Depends: \(linux-image-.*-$1\)$/\1/p")
  [ -n "$name" ] || fail "linux-image-$1 names no kernel package"
  unpack "$1" "$name"
  echo "$name"
}
# unpack ARCH PACKAGE: PACKAGE's files under $cache/ARCH/root.
unpack() {
  local debs=("$cache/$1/${2}_"*.deb)
  if [ ! -f "${debs[0]}" ]; then
    apt_of "$1"
    (cd "$cache/$1" && apt-get "${apt[@]}" download "$2") >&2
    debs=("$cache/$1/${2}_"*.deb)
  fi
  [ -e "$cache/$1/root/.$2" ] || dpkg-deb -x "${debs[0]}" "$cache/$1/root"
  touch "$cache/$1/root/.$2"
}
fetch_start=$(date +%s)
amd64_kernel=$(kernel amd64)
arm64_kernel=$(kernel arm64)
unpack arm64 busybox-static
echo "kernels: $amd64_kernel, $arm64_kernel (fetched or reused in $(since "$fetch_start"))"

# --- Initramfs images ---------------------------------------------------
# image ARCH BUSYBOX CLEAR PRELUDE: a busybox initramfs whose init runs
# PRELUDE (the console's set-up), then the arch's cases, then powers off.
image() {
  local arch=$1 busybox=$2 clear=$3 prelude=$4 dir=$work/root-$1
  mkdir -p "$dir"/{bin,dev,proc,sys,tmp,lib/modules}
  cp "$busybox" "$dir/bin/busybox"
  cp "$clear" "$cache/serial_flags-$arch" "$dir/bin/"
  mv "$dir/bin/serial_flags-$arch" "$dir/bin/serial_flags"
  cp tests/uart/check.sh "$dir/bin/check.sh"
  cp "tests/uart/guest-$arch.sh" "$dir/bin/cases.sh"
  cat >"$dir/init" <<INIT
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=/lib
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
$prelude
echo "GUEST BEGIN \$(uname -r) \$(uname -m)"
sh /bin/cases.sh
echo "GUEST END"
poweroff -f
INIT
  chmod 755 "$dir/init"
  (cd "$dir" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/$arch.cpio.gz"
}
# The dynamically linked korvanel-clear takes its libraries along.
libs_for() { # DIR LIB...
  local dir=$1
  shift
  for lib in "$@"; do cp -L "$lib" "$dir/lib/"; done
}
# arm64_needed FILE: the arm64 libraries FILE needs, and theirs in turn.
arm64_needed() {
  local lib
  for lib in $(aarch64-linux-gnu-readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    echo "/usr/aarch64-linux-gnu/lib/$lib"
    arm64_needed "/usr/aarch64-linux-gnu/lib/$lib"
  done
}

mkdir -p "$work/root-amd64/lib64" "$work/root-amd64/lib"
libs_for "$work/root-amd64" $(ldd build/linux/cli/korvanel-clear | awk '$3 ~ /^\// {print $3}')
cp -L /lib64/ld-linux-x86-64.so.2 "$work/root-amd64/lib64/"
image amd64 /bin/busybox build/linux/cli/korvanel-clear ""

# --- Simulators and guests ----------------------------------------------
# start_sim NAME OPTIONS...: korvanel-sim on a pseudo-terminal; its path in
# $pty, its log in $work/NAME.log.
start_sim() {
  local name=$1
  shift
  "$sim" "$@" >"$work/$name.out" 2>"$work/$name.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/$name.out" ] && break; sleep 0.05; done
  pty=$(head -n1 "$work/$name.out")
  [ -c "$pty" ] || fail "korvanel-sim $* printed no port"
}
# Address 9 never answers: a run on it lasts the whole retry schedule.
start_sim line --address 1-3,7 --fault 9:silent
line_pty=$pty
start_sim fast --address 1 --baud 19200
fast_pty=$pty

amd64_start=$(date +%s)
timeout 150 qemu-system-x86_64 -M pc -m 256 -nographic -no-reboot -monitor none -nic none \
  -kernel "$cache/amd64/root/boot/vmlinuz-${amd64_kernel#linux-image-}" -initrd "$work/amd64.cpio.gz" \
  -append "console=ttyS0 quiet panic=-1" \
  -serial stdio -serial "$line_pty" -serial "$fast_pty" </dev/null >"$work/amd64.console" 2>&1 &
amd64_pid=$!
pids+=($amd64_pid)

wait "$build_pid" || { tail -n 30 "$work/arm64-build.log"; fail "the arm64 build failed"; }
build_pid=""
echo "arm64 build: $(since "$stage_start")"
arm64_modules=$(find "$cache/arm64/root/lib/modules" -name virtio_mmio.ko -o -name virtio_console.ko)
[ "$(echo "$arm64_modules" | wc -l)" = 2 ] || fail "virtio_mmio.ko and virtio_console.ko not in $arm64_kernel"
mkdir -p "$work/root-arm64/lib/modules"
cp $arm64_modules "$work/root-arm64/lib/modules/"
libs_for "$work/root-arm64" $(arm64_needed build/linux-arm64/cli/korvanel-clear | sort -u) \
  /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1
# The PL011 is the machine's only UART, so the console is a virtio console.
image arm64 "$cache/arm64/root/bin/busybox" build/linux-arm64/cli/korvanel-clear '
insmod /lib/modules/virtio_mmio.ko
insmod /lib/modules/virtio_console.ko
for i in $(seq 100); do [ -e /dev/hvc0 ] && break; sleep 0.05; done
exec >/dev/hvc0 2>&1'

start_sim gateway --address 1 --fault 9:silent
arm64_start=$(date +%s)
timeout 150 qemu-system-aarch64 -M virt -cpu cortex-a57 -m 256 -nographic -no-reboot -monitor none -nic none \
  -kernel "$cache/arm64/root/boot/vmlinuz-${arm64_kernel#linux-image-}" -initrd "$work/arm64.cpio.gz" \
  -append "console=hvc0 quiet panic=-1" \
  -chardev stdio,id=c0 -device virtio-serial-device -device virtconsole,chardev=c0 \
  -serial "$pty" </dev/null >"$work/arm64.console" 2>&1 &
arm64_pid=$!
pids+=($arm64_pid)
# A guest's time: from its start to its console's last line.
for arch in amd64 arm64; do
  pid_var=${arch}_pid start_var=${arch}_start
  wait "${!pid_var}" || echo "$arch guest: qemu ended with $?"
  echo "$arch guest: $(($(stat -c %Y "$work/$arch.console") - ${!start_var})) s"
done

# --- Results ------------------------------------------------------------
source tests/uart/host-checks.sh

# --- The arm64 package --------------------------------------------------
(cd build/linux-arm64 && cpack -G DEB >/dev/null)
version=$(build/linux/cli/korvanel-clear --version | cut -d' ' -f2)
source tests/uart/package-checks.sh "build/linux-arm64/korvanel-tools_${version}_arm64.deb"
echo "15-real-uart: $(since "$stage_start") in all"
[ "$failed" = 0 ] || fail "$failed case(s) failed"
