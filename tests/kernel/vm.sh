#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots Debian's kernel under qemu (software emulation) with a tiny
# initramfs, runs the scenario scripts on the kernel's simulated flash
# (nandsim, mtdram) and brings their results back. Two machines, one set of
# scenarios:
#
#   x86  qemu-system-x86_64 with Debian's amd64 kernel and the PC's own
#        busybox and mtd-utils. Serial ports: ttyS0 the kernel's console,
#        ttyS1 what the scenarios print, ttyS2 a tar of the results; the VM
#        ends itself through isa-debug-exit with its status.
#   arm  qemu-system-arm (virt board, Cortex-A15) with Debian's armmp kernel
#        and the armhf busybox and mtd-utils that fetch-kernel.sh unpacked
#        beside it (the tools get the C library of the cross toolchain).
#        ttyAMA0 is the kernel's console, a virtio console what the
#        scenarios print, and a virtio disk takes the status (its first
#        sector) and the tar of the results (from 1 MiB on); the VM then
#        powers off, as ARM has no isa-debug-exit.
#
# Usage: vm.sh [--arch x86|arm] --kernel DIR --korvane BIN --payload DIR --out DIR [--timeout S]
#   --arch     the machine (default x86)
#   --kernel   a folder made by fetch-kernel.sh (vmlinuz, modules/)
#   --korvane  the statically linked korvane, built for that machine
#   --payload  copied to /t in the VM: scenarios/*.sh, images, anything else
#   --out      receives console.log (kernel console), log.txt (what the
#              scenarios print), and results/ (files the scenarios left in
#              $OUT, one folder per scenario)
#
# Exit status: 0 when every scenario ran (their verdicts are in the results),
# 2 when the VM could not boot, 3 when it hung, 4 when it failed (init
# reported an error, the kernel died, or the results did not come back
# whole), 1 for a usage or host-side error. The reason is printed on the
# last line of standard error, prefixed "vm: ".
set -euo pipefail
trap 'echo "vm: host-side error in vm.sh, line $LINENO" >&2' ERR

here=$(cd "$(dirname "$0")" && pwd)
arch=x86 kernel= korvane= payload= out= limit=180
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --kernel) kernel=$2; shift 2 ;;
    --korvane) korvane=$2; shift 2 ;;
    --payload) payload=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    *) echo "vm: unknown argument $1" >&2; exit 1 ;;
  esac
done
for v in kernel korvane payload out; do
  [ -n "${!v}" ] || { echo "vm: --$v is required" >&2; exit 1; }
done
die() { echo "vm: $*" >&2; exit 1; }
need() { command -v "$1" >/dev/null 2>&1 || die "$1 not found (scripts/packages.sh $2 installs it)"; }
case $arch in
  x86)
    need qemu-system-x86_64 kernel
    need cpio kernel
    [ -x /bin/busybox ] || die "/bin/busybox not found (scripts/packages.sh kernel installs busybox-static)"
    busybox=/bin/busybox
    image=$kernel/vmlinux  # the uncompressed kernel boots some 10 s faster
    [ -f "$image" ] || image=$kernel/vmlinuz
    machine='X86-64' ;;
  arm)
    need qemu-system-arm kernel-arm
    need cpio kernel-arm
    sysroot=/usr/arm-linux-gnueabihf
    [ -f "$sysroot/lib/libc.so.6" ] ||
      die "no C library in $sysroot (scripts/packages.sh kernel-arm installs the cross toolchain)"
    busybox=$kernel/busybox
    [ -x "$busybox" ] || die "no armhf busybox in $kernel (run fetch-kernel.sh --arch armhf)"
    image=$kernel/vmlinuz
    machine='ARM' ;;
  *) die "unknown machine $arch (x86 or arm)" ;;
esac
[ -f "$image" ] || die "no vmlinuz in $kernel (run fetch-kernel.sh)"
[ -x "$korvane" ] || die "no korvane at $korvane"
# A dynamically linked korvane, or one for the other machine, would die in
# the VM with a confusing error.
if LC_ALL=C readelf -d "$korvane" 2>/dev/null | grep -q NEEDED; then
  die "$korvane is dynamically linked; the VM needs a static one"
fi
if ! LC_ALL=C readelf -h "$korvane" 2>/dev/null | grep -Eq "^ *Machine: .*\b$machine\$"; then
  die "$korvane is not a program for the $arch machine"
fi

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
root="$out/root"
mkdir -p "$root"/{bin,sbin,lib/modules,dev,proc,sys,tmp,t,out,etc}
printf 'MACHINE=%s\nVM_TIMEOUT=%s\n' "$arch" "$limit" >"$root/etc/machine"

# busybox, as /bin/sh and every applet (installed as links by init).
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"

# The flash tools of mtd-utils are linked dynamically: bring each with the
# libraries it needs (on arm, from the cross toolchain's sysroot).
for tool in flash_erase nanddump nandwrite mtdinfo mtd_debug; do
  if [ "$arch" = x86 ]; then
    src=$(command -v "$tool" || true)
    [ -n "$src" ] || src=/usr/sbin/$tool
    [ -x "$src" ] || die "$tool not found (scripts/packages.sh kernel installs mtd-utils)"
    cp -L "$src" "$root/sbin/$tool"
    for lib in $(ldd "$src" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
      mkdir -p "$root$(dirname "$lib")"
      [ -e "$root$lib" ] || cp -L "$lib" "$root$lib"
    done
  else
    src=$kernel/sbin/$tool
    [ -x "$src" ] || die "no armhf $tool in $kernel (run fetch-kernel.sh --arch armhf)"
    cp "$src" "$root/sbin/$tool"
    interp=$(LC_ALL=C readelf -l "$src" | sed -n 's/.*interpreter: \(.*\)\]$/\1/p')
    for lib in $(LC_ALL=C readelf -d "$src" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p') "${interp##*/}"; do
      [ -f "$sysroot/lib/$lib" ] || die "$tool needs $lib, which $sysroot/lib lacks"
      [ -e "$root/lib/$lib" ] || cp -L "$sysroot/lib/$lib" "$root/lib/$lib"
    done
  fi
done

# The modules, each after the ones its depends= field names; what the
# kernel has built in (modules.builtin, when the package lists it) is
# skipped. init loads early.txt (the machine's own devices, before the log
# is up) and then flash.txt, in order.
modules=()
is_builtin() {
  [ -f "$kernel/modules.builtin" ] &&
    sed 's|.*/||; s|\.ko.*||; s|-|_|g' "$kernel/modules.builtin" | grep -qx "${1//-/_}"
}
module_file() {
  find "$kernel/modules" \( -name "$1.ko" -o -name "${1//_/-}.ko" \) -print | head -n1
}
add_module() {
  local name=$1 file deps dep m
  for m in "${modules[@]}"; do [ "$m" != "$name" ] || return 0; done
  if is_builtin "$name"; then return 0; fi
  file=$(module_file "$name")
  [ -n "$file" ] || die "module $name missing from $kernel"
  deps=$(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | head -n1)
  for dep in ${deps//,/ }; do add_module "$dep"; done
  modules+=("$name")
  cp "$file" "$root/lib/modules/$name.ko"
}
load_list() {
  local list=$1 name
  shift
  : >"$root/lib/modules/$list"
  for name in "$@"; do add_module "$name"; done
  for name in "${modules[@]}"; do
    grep -qx "$name" "$root/lib/modules/"*.txt || echo "$name" >>"$root/lib/modules/$list"
  done
}
if [ "$arch" = arm ]; then
  load_list early.txt virtio_mmio virtio_console virtio_blk
else
  load_list early.txt
fi
load_list flash.txt nandsim mtdram

cp "$korvane" "$root/bin/korvane"
cp "$here/init" "$root/init"
chmod 755 "$root/init"
cp -R "$payload/." "$root/t/"

# Every file root's, as on a board: korvane --pubkey refuses an image that
# belongs to another user than root or the one running it.
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) >"$out/initramfs.cpio"
rm -rf "$root"

status=0
if [ "$arch" = x86 ]; then
  # isa-debug-exit: qemu's status is then (v << 1) | 1 for the value v that
  # init writes.
  timeout --kill-after=10 "$limit" qemu-system-x86_64 \
    -nodefaults -display none -no-reboot -m 384 -smp 1 \
    -kernel "$image" -initrd "$out/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 loglevel=4 8250.nr_uarts=4" \
    -serial "file:$out/console.log" -serial "file:$out/log.txt" \
    -serial "file:$out/results.tar" \
    -device isa-debug-exit,iobase=0xf4,iosize=4 </dev/null >"$out/qemu.txt" 2>&1 || status=$?
else
  # The results disk is sparse: it takes room only for what init writes.
  truncate -s 256M "$out/results.img"
  timeout --kill-after=10 "$limit" qemu-system-arm \
    -M virt,highmem=off -cpu cortex-a15 -m 512 -smp 1 \
    -nodefaults -display none -no-reboot \
    -kernel "$image" -initrd "$out/initramfs.cpio" \
    -append "console=ttyAMA0 panic=-1 loglevel=4" \
    -serial "file:$out/console.log" \
    -device virtio-serial-device -chardev "file,id=log,path=$out/log.txt" \
    -device virtconsole,chardev=log \
    -drive "file=$out/results.img,format=raw,if=none,id=results" \
    -device virtio-blk-device,drive=results </dev/null >"$out/qemu.txt" 2>&1 || status=$?
fi
rm -f "$out/initramfs.cpio"
touch "$out/log.txt" "$out/console.log"

# What init said it ended with: 16 when every scenario ran, 17 when it
# reported an error, nothing when the VM ended otherwise.
verdict=
if [ "$arch" = x86 ]; then
  case $status in
    33) verdict=16 ;;
    35) verdict=17 ;;
  esac
elif [ $status -eq 0 ]; then
  verdict=$(head -c 512 "$out/results.img" | tr -d '\0' |
    sed -n 's/^korvane-vm status \([0-9]*\)$/\1/p')
fi

started=0
grep -q '^korvane-vm: init started' "$out/log.txt" && started=1
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  rm -f "$out/results.img"
  if [ $started = 1 ]; then
    last=$(sed -n 's/^korvane-vm: scenario \([^ ]*\) start.*/\1/p' "$out/log.txt" | tail -n1)
    echo "vm: hung: no end after ${limit} s${last:+ (in scenario $last)}; see $out/log.txt" >&2
  else
    echo "vm: hung: no end after ${limit} s and init never started; see $out/console.log" >&2
  fi
  exit 3
fi
if [ $started = 0 ]; then
  rm -f "$out/results.img"
  if [ -s "$out/qemu.txt" ]; then
    echo "vm: cannot boot: qemu status $status: $(head -n 3 "$out/qemu.txt" | tr '\n' ' ')" >&2
  else
    echo "vm: cannot boot: init never started (qemu status $status); see $out/console.log" >&2
  fi
  exit 2
fi
case "$status/$verdict" in
  */16) ;;  # every scenario ran
  */17)
    rm -f "$out/results.img"
    why=$(sed -n 's/^korvane-vm: error: //p' "$out/log.txt" | head -n1)
    echo "vm: failed: init reported an error: ${why:-unknown}; see $out/log.txt" >&2
    exit 4 ;;
  0/*)
    rm -f "$out/results.img"
    echo "vm: failed: the VM ended without a verdict (kernel panic or init died); see $out/console.log" >&2
    exit 4 ;;
  *)
    rm -f "$out/results.img"
    echo "vm: failed: unexpected qemu status $status; see $out/console.log" >&2
    exit 4 ;;
esac

# The results must come back whole: init printed their size and checksum.
want=$(sed -n 's/^korvane-vm: results \([0-9]*\) \([0-9a-f]*\)$/\1 \2/p' "$out/log.txt" | tail -n1)
if [ "$arch" = arm ]; then
  size=${want%% *}
  dd if="$out/results.img" of="$out/results.tar" bs=1M skip=1 count="${size:-0}" \
    iflag=count_bytes status=none
  rm -f "$out/results.img"
fi
got="$(stat -c %s "$out/results.tar") $(md5sum <"$out/results.tar" | cut -d' ' -f1)"
if [ "$want" != "$got" ]; then
  echo "vm: failed: the results came back damaged (sent: ${want:-nothing}, received: $got)" >&2
  exit 4
fi
mkdir -p "$out/results"
tar -x -f "$out/results.tar" -C "$out/results"
rm -f "$out/results.tar"
exit 0
