#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots Debian's kernel under qemu-system-x86_64 (software emulation) with a
# tiny initramfs, runs the scenario scripts on the kernel's simulated flash
# (nandsim, mtdram) and brings their results back.
#
# Usage: vm.sh --kernel DIR --korvane BIN --payload DIR --out DIR [--timeout S]
#   --kernel   a folder made by fetch-kernel.sh (vmlinuz, modules/)
#   --korvane  the statically linked korvane
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

here=$(cd "$(dirname "$0")" && pwd)
kernel= korvane= payload= out= limit=180
while [ $# -gt 0 ]; do
  case "$1" in
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
need() { command -v "$1" >/dev/null 2>&1 || die "$1 not found (scripts/packages.sh kernel installs it)"; }
need qemu-system-x86_64
need cpio
[ -x /bin/busybox ] || die "/bin/busybox not found (scripts/packages.sh kernel installs busybox-static)"
image=$kernel/vmlinux  # the uncompressed kernel boots some 10 s faster
[ -f "$image" ] || image=$kernel/vmlinuz
[ -f "$image" ] || die "no vmlinuz in $kernel (run fetch-kernel.sh)"
[ -x "$korvane" ] || die "no korvane at $korvane"
# A dynamically linked korvane would die in the VM with a confusing error.
if LC_ALL=C readelf -d "$korvane" 2>/dev/null | grep -q NEEDED; then
  die "$korvane is dynamically linked; the VM needs a static one"
fi

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
root="$out/root"
mkdir -p "$root"/{bin,sbin,lib/modules,dev,proc,sys,tmp,t,out}

# busybox, as /bin/sh and every applet (installed as links by init).
cp /bin/busybox "$root/bin/busybox"
ln -s busybox "$root/bin/sh"

# mtd-utils are linked dynamically: bring each with the libraries ldd names.
for tool in flash_erase nanddump nandwrite mtdinfo mtd_debug; do
  src=$(command -v "$tool" || true)
  [ -n "$src" ] || src=/usr/sbin/$tool
  [ -x "$src" ] || die "$tool not found (scripts/packages.sh kernel installs mtd-utils)"
  cp -L "$src" "$root/sbin/$tool"
  for lib in $(ldd "$src" | sed -n 's/.*=> \(\/[^ ]*\).*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
    mkdir -p "$root$(dirname "$lib")"
    [ -e "$root$lib" ] || cp -L "$lib" "$root$lib"
  done
done

# The modules, in the order init loads them.
for m in drivers/mtd/mtd.ko lib/bch.ko drivers/mtd/nand/nandcore.ko \
         drivers/mtd/nand/raw/nand.ko drivers/mtd/nand/raw/nandsim.ko \
         drivers/mtd/devices/mtdram.ko; do
  [ -f "$kernel/modules/$m" ] || die "module $m missing from $kernel"
  cp "$kernel/modules/$m" "$root/lib/modules/"
done

cp "$korvane" "$root/bin/korvane"
cp "$here/init" "$root/init"
chmod 755 "$root/init"
cp -R "$payload/." "$root/t/"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$out/initramfs.cpio"
rm -rf "$root"

# ttyS0: kernel console; ttyS1: what the scenarios print; ttyS2: a tar of
# the results, sent raw. The VM ends itself through isa-debug-exit: qemu's
# status is then (v << 1) | 1 for the value v that init writes.
set +e
timeout --kill-after=10 "$limit" qemu-system-x86_64 \
  -nodefaults -display none -no-reboot -m 384 -smp 1 \
  -kernel "$image" -initrd "$out/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 loglevel=4 8250.nr_uarts=4" \
  -serial "file:$out/console.log" -serial "file:$out/log.txt" \
  -serial "file:$out/results.tar" \
  -device isa-debug-exit,iobase=0xf4,iosize=4 </dev/null >"$out/qemu.txt" 2>&1
status=$?
set -e
rm -f "$out/initramfs.cpio"
touch "$out/log.txt" "$out/console.log"

started=0
grep -q '^korvane-vm: init started' "$out/log.txt" && started=1
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  if [ $started = 1 ]; then
    last=$(sed -n 's/^korvane-vm: scenario \([^ ]*\) start.*/\1/p' "$out/log.txt" | tail -n1)
    echo "vm: hung: no end after ${limit} s${last:+ (in scenario $last)}; see $out/log.txt" >&2
  else
    echo "vm: hung: no end after ${limit} s and init never started; see $out/console.log" >&2
  fi
  exit 3
fi
if [ $started = 0 ]; then
  if [ -s "$out/qemu.txt" ]; then
    echo "vm: cannot boot: qemu status $status: $(head -n 3 "$out/qemu.txt" | tr '\n' ' ')" >&2
  else
    echo "vm: cannot boot: init never started (qemu status $status); see $out/console.log" >&2
  fi
  exit 2
fi
case $status in
  33) ;;  # init wrote 16: every scenario ran
  35)
    why=$(sed -n 's/^korvane-vm: error: //p' "$out/log.txt" | head -n1)
    echo "vm: failed: init reported an error: ${why:-unknown}; see $out/log.txt" >&2
    exit 4 ;;
  0)
    echo "vm: failed: the VM ended without a verdict (kernel panic or init died); see $out/console.log" >&2
    exit 4 ;;
  *)
    echo "vm: failed: unexpected qemu status $status; see $out/console.log" >&2
    exit 4 ;;
esac

# The results must come back whole: init printed their size and checksum.
want=$(sed -n 's/^korvane-vm: results \([0-9]*\) \([0-9a-f]*\)$/\1 \2/p' "$out/log.txt" | tail -n1)
got="$(stat -c %s "$out/results.tar") $(md5sum <"$out/results.tar" | cut -d' ' -f1)"
if [ "$want" != "$got" ]; then
  echo "vm: failed: the results came back damaged (sent: ${want:-nothing}, received: $got)" >&2
  exit 4
fi
mkdir -p "$out/results"
tar -x -f "$out/results.tar" -C "$out/results"
rm -f "$out/results.tar"
exit 0
