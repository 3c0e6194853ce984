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
#   arm with --uboot: the same machine booted by U-Boot from two flash banks
#        (qemu's pflash: CFI NOR, which Linux sees through the modules that
#        fetch-kernel.sh --nor built, partitioned by mtdparts=); see below.
#
# Usage: vm.sh [--arch x86|arm] --kernel DIR --korvane BIN --payload DIR --out DIR [--timeout S]
#        vm.sh --arch arm --uboot DIR --env FILE [--boots N] [--hook CMD] --kernel DIR ...
#   --arch     the machine (default x86)
#   --kernel   a folder made by fetch-kernel.sh (vmlinuz, modules/)
#   --korvane  the statically linked korvane, built for that machine
#   --payload  copied to /t in the VM: scenarios/*.sh, images, anything else
#   --out      receives console.log (kernel console), log.txt (what the
#              scenarios print), and results/ (files the scenarios left in
#              $OUT, one folder per scenario)
#
# With --uboot, bank 0 holds DIR/u-boot.bin (build-uboot.sh) and bank 1 the
# environment (uboot/korvane.env, then FILE, the board's variables: both
# copies, made with mkenvimage) and slot A, the kernel and the initramfs as
# a U-Boot ramdisk image; see UBOOT_LAYOUT below. The banks persist in
# --out as flash0.img and flash1.img. Before the first boot, CMD (--hook)
# may make what the spare partition holds: it runs as CMD ROOT KERNEL SPARE
# with slot A's initramfs image and kernel, and SPARE, a file it may write.
# The VM is booted again after every
# boot whose scenarios left a file "reboot" in their folder, and after a
# boot that ended without results (a slot that did not come up), up to N
# boots (default 8). Boot K's files go to --out/boot-K/ (console.log with
# U-Boot's output, log.txt, results/), and --out/boots.txt gets a line
# "K results", "K reboot" or "K no-results REASON" for it; init sees K as
# $BOOT. The exit status is that of the last boot, whose results are also
# in --out/results.
#
# Exit status: 0 when every scenario ran (their verdicts are in the results),
# 2 when the VM could not boot, 3 when it hung, 4 when it failed (init
# reported an error, the kernel died, or the results did not come back
# whole), 1 for a usage or host-side error. The reason is printed on the
# last line of standard error, prefixed "vm: ".
set -euo pipefail
trap 'echo "vm: host-side error in vm.sh, line $LINENO" >&2' ERR

here=$(cd "$(dirname "$0")" && pwd)
arch=x86 kernel= korvane= payload= out= limit=180 uboot= envfile= boots=8 hook=
while [ $# -gt 0 ]; do
  case "$1" in
    --uboot) uboot=$2; shift 2 ;;
    --env) envfile=$2; shift 2 ;;
    --boots) boots=$2; shift 2 ;;
    --hook) hook=$2; shift 2 ;;
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
if [ -n "$uboot" ]; then
  [ "$arch" = arm ] || die "--uboot boots the arm machine"
  [ -f "$uboot/u-boot.bin" ] || die "no u-boot.bin in $uboot (run build-uboot.sh)"
  [ -f "$envfile" ] || die "--env FILE is required with --uboot"
  [ -f "$kernel/nor/.complete" ] || die "no nor/ in $kernel (run fetch-kernel.sh --arch armhf --nor)"
  need mkimage kernel-uboot
  need mkenvimage kernel-uboot
fi
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
mkdir -p "$root"/{bin,sbin,lib/modules,dev,proc,sys,tmp,t,out,etc,var/lock}
printf 'MACHINE=%s\nVM_TIMEOUT=%s\n' "$arch" "$limit" >"$root/etc/machine"

# busybox, as /bin/sh and every applet (installed as links by init).
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"

# The flash tools of mtd-utils are linked dynamically: bring each with the
# libraries it needs (on arm, from the cross toolchain's sysroot, or for the
# U-Boot VM's tools from nor/lib).
# The libraries an armhf program FILE needs, and theirs, and NAMES.
arm_libs() {
  local file=$1 lib from
  shift
  for lib in $(LC_ALL=C readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p') "$@"; do
    [ ! -e "$root/lib/$lib" ] || continue
    from=$sysroot/lib/$lib
    [ -f "$from" ] || from=$kernel/nor/lib/$lib
    [ -f "$from" ] || die "$(basename "$file") needs $lib, which $sysroot/lib lacks"
    cp -L "$from" "$root/lib/$lib"
    arm_libs "$root/lib/$lib"
  done
}
tools=(flash_erase nanddump nandwrite mtdinfo mtd_debug)
[ -z "$uboot" ] || tools+=(flashcp fw_printenv)
for tool in "${tools[@]}"; do
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
    [ -x "$src" ] || src=$kernel/nor/sbin/$tool
    [ -x "$src" ] || die "no armhf $tool in $kernel (run fetch-kernel.sh --arch armhf)"
    cp "$src" "$root/sbin/$tool"
    interp=$(LC_ALL=C readelf -l "$src" | sed -n 's/.*interpreter: \(.*\)\]$/\1/p')
    arm_libs "$src" "${interp##*/}"
  fi
done
[ -z "$uboot" ] || ln -s fw_printenv "$root/sbin/fw_setenv"

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
  local dirs=("$kernel/modules")
  [ -z "$uboot" ] || dirs+=("$kernel/nor/modules")
  find "${dirs[@]}" \( -name "$1.ko" -o -name "${1//_/-}.ko" \) -print | head -n1
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
if [ -n "$uboot" ]; then
  # The command set's driver before the probe that looks it up by name, the
  # partition parser before the flash driver that asks for it.
  load_list flash.txt cfi_cmdset_0001 cfi_probe cmdlinepart physmap_of
else
  load_list flash.txt nandsim mtdram
fi

cp "$korvane" "$root/bin/korvane"
cp "$here/init" "$root/init"
chmod 755 "$root/init"
cp -R "$payload/." "$root/t/"

# Every file root's, as on a board: korvane --pubkey refuses an image that
# belongs to another user than root or the one running it.
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) >"$out/initramfs.cpio"
rm -rf "$root"

# Runs the VM once, its files in folder $1 (console.log, log.txt, results/);
# returns as the whole script does (0 when every scenario ran, 2, 3, 4),
# the reason on standard error.
boot() {
  local dir=$1 status=0 verdict= started=0 last why want size got
  mkdir -p "$dir"
  if [ "$arch" = x86 ]; then
    # isa-debug-exit: qemu's status is then (v << 1) | 1 for the value v that
    # init writes.
    timeout --kill-after=10 "$limit" qemu-system-x86_64 \
      -nodefaults -display none -no-reboot -m 384 -smp 1 \
      -kernel "$image" -initrd "$out/initramfs.cpio" \
      -append "console=ttyS0 panic=-1 loglevel=4 8250.nr_uarts=4" \
      -serial "file:$dir/console.log" -serial "file:$dir/log.txt" \
      -serial "file:$dir/results.tar" \
      -device isa-debug-exit,iobase=0xf4,iosize=4 </dev/null >"$dir/qemu.txt" 2>&1 || status=$?
  else
    # The results disk is sparse: it takes room only for what init writes.
    # Its second sector tells init which boot this is.
    rm -f "$dir/results.img"
    truncate -s 256M "$dir/results.img"
    if [ -n "$uboot" ]; then
      printf 'korvane-vm boot %d\n' "$boot_number" |
        dd of="$dir/results.img" bs=512 seek=1 conv=notrunc,sync status=none
      local firmware=(-drive "if=pflash,format=raw,file=$out/flash0.img"
        -drive "if=pflash,format=raw,file=$out/flash1.img")
    else
      local firmware=(-kernel "$image" -initrd "$out/initramfs.cpio"
        -append "console=ttyAMA0 panic=-1 loglevel=4")
    fi
    timeout --kill-after=10 "$limit" qemu-system-arm \
      -M virt,highmem=off -cpu cortex-a15 -m 512 -smp 1 \
      -nodefaults -display none -no-reboot "${firmware[@]}" \
      -serial "file:$dir/console.log" \
      -device virtio-serial-device -chardev "file,id=log,path=$dir/log.txt" \
      -device virtconsole,chardev=log \
      -drive "file=$dir/results.img,format=raw,if=none,id=results" \
      -device virtio-blk-device,drive=results </dev/null >"$dir/qemu.txt" 2>&1 || status=$?
  fi
  touch "$dir/log.txt" "$dir/console.log"

  # What init said it ended with: 16 when every scenario ran, 17 when it
  # reported an error, nothing when the VM ended otherwise.
  if [ "$arch" = x86 ]; then
    case $status in
      33) verdict=16 ;;
      35) verdict=17 ;;
    esac
  elif [ $status -eq 0 ]; then
    verdict=$(head -c 512 "$dir/results.img" | tr -d '\0' |
      sed -n 's/^korvane-vm status \([0-9]*\)$/\1/p')
  fi

  grep -q '^korvane-vm: init started' "$dir/log.txt" && started=1
  if [ $status -eq 124 ] || [ $status -eq 137 ]; then
    rm -f "$dir/results.img"
    if [ $started = 1 ]; then
      last=$(sed -n 's/^korvane-vm: scenario \([^ ]*\) start.*/\1/p' "$dir/log.txt" | tail -n1)
      echo "vm: hung: no end after ${limit} s${last:+ (in scenario $last)}; see $dir/log.txt" >&2
    else
      echo "vm: hung: no end after ${limit} s and init never started; see $dir/console.log" >&2
    fi
    return 3
  fi
  if [ $started = 0 ]; then
    rm -f "$dir/results.img"
    if [ -s "$dir/qemu.txt" ]; then
      echo "vm: cannot boot: qemu status $status: $(head -n 3 "$dir/qemu.txt" | tr '\n' ' ')" >&2
    else
      echo "vm: cannot boot: init never started (qemu status $status); see $dir/console.log" >&2
    fi
    return 2
  fi
  case "$status/$verdict" in
    */16) ;;  # every scenario ran
    */17)
      rm -f "$dir/results.img"
      why=$(sed -n 's/^korvane-vm: error: //p' "$dir/log.txt" | head -n1)
      echo "vm: failed: init reported an error: ${why:-unknown}; see $dir/log.txt" >&2
      return 4 ;;
    0/*)
      rm -f "$dir/results.img"
      echo "vm: failed: the VM ended without a verdict (kernel panic or init died); see $dir/console.log" >&2
      return 4 ;;
    *)
      rm -f "$dir/results.img"
      echo "vm: failed: unexpected qemu status $status; see $dir/console.log" >&2
      return 4 ;;
  esac

  # The results must come back whole: init printed their size and checksum.
  want=$(sed -n 's/^korvane-vm: results \([0-9]*\) \([0-9a-f]*\)$/\1 \2/p' "$dir/log.txt" | tail -n1)
  if [ "$arch" = arm ]; then
    size=${want%% *}
    dd if="$dir/results.img" of="$dir/results.tar" bs=1M skip=1 count="${size:-0}" \
      iflag=count_bytes status=none
    rm -f "$dir/results.img"
  fi
  got="$(stat -c %s "$dir/results.tar") $(md5sum <"$dir/results.tar" | cut -d' ' -f1)"
  if [ "$want" != "$got" ]; then
    echo "vm: failed: the results came back damaged (sent: ${want:-nothing}, received: $got)" >&2
    return 4
  fi
  mkdir -p "$dir/results"
  tar -x -f "$dir/results.tar" -C "$dir/results" ||
    { echo "vm: failed: cannot unpack the results" >&2; return 4; }
  rm -f "$dir/results.tar"
  return 0
}

if [ -z "$uboot" ]; then
  status=0
  boot "$out" || status=$?
  rm -f "$out/initramfs.cpio"
  exit $status
fi

# ---- the U-Boot VM ----------------------------------------------------------
# Bank 1 (64 MiB at 0x4000000, Linux's mtd1 onwards): the environment's two
# copies, each in an erase block of its own, then slots A and B, a kernel
# and an initramfs partition each. The U-Boot side's fw_env.config and the
# board's load commands (--env FILE) use the same offsets.
UBOOT_LAYOUT="env:0x0:0x40000 env2:0x40000:0x40000 kernelA:0x80000:0x600000
rootA:0x680000:0x1000000 kernelB:0x1680000:0x600000 rootB:0x1c80000:0x1000000
spare:0x2c80000:0x1380000"
layout() { # NAME -> "OFFSET SIZE"
  local p
  for p in $UBOOT_LAYOUT; do
    [ "${p%%:*}" != "$1" ] || { p=${p#*:}; echo "$((${p%%:*})) $((${p#*:}))"; return; }
  done
}
put() { # FILE NAME: FILE at partition NAME of bank 1
  local at size
  read -r at size <<<"$(layout "$2")"
  [ "$(stat -c %s "$1")" -le "$size" ] || die "$(basename "$1") does not fit partition $2"
  dd if="$1" of="$out/flash1.img" bs=64K seek="$at" oflag=seek_bytes conv=notrunc status=none
}
gzip -9n <"$out/initramfs.cpio" >"$out/initramfs.gz"
rm -f "$out/initramfs.cpio"
mkimage -A arm -O linux -T ramdisk -C none -n "korvane test VM" -d "$out/initramfs.gz" \
  "$out/rootA.img" >/dev/null
rm -f "$out/initramfs.gz"
# The environment: the A/B scheme, then the board's variables.
grep -hv -e '^#' -e '^[[:space:]]*$' "$here/../../uboot/korvane.env" "$envfile" >"$out/env.txt"
mkenvimage -r -s 0x2000 -o "$out/env.img" "$out/env.txt"
cp "$out/env.img" "$out/env2.img"
printf '\0' | dd of="$out/env2.img" bs=1 seek=4 conv=notrunc status=none  # obsolete copy
cp "$uboot/u-boot.bin" "$out/flash0.img"
truncate -s 64M "$out/flash0.img"
dd if=/dev/zero bs=1M count=64 status=none | tr '\0' '\377' >"$out/flash1.img"
put "$out/env.img" env
put "$out/env2.img" env2
put "$image" kernelA
put "$out/rootA.img" rootA
if [ -n "$hook" ]; then
  $hook "$out/rootA.img" "$image" "$out/spare.img" || die "the hook $hook failed"
  [ ! -f "$out/spare.img" ] || put "$out/spare.img" spare
fi
rm -f "$out/env.img" "$out/env2.img"

: >"$out/boots.txt"
status=0
for boot_number in $(seq 1 "$boots"); do
  dir=$out/boot-$boot_number
  status=0
  boot "$dir" 2>"$dir.err" || status=$?
  cat "$dir.err" >&2
  if [ $status = 0 ] && ls "$dir"/results/*/reboot >/dev/null 2>&1; then
    echo "$boot_number reboot" >>"$out/boots.txt"
  elif [ $status = 0 ]; then
    echo "$boot_number results" >>"$out/boots.txt"
    cp -R "$dir/results" "$out/results"
    rm -f "$dir.err"
    exit 0
  elif [ $status = 4 ] || [ $status = 2 ]; then
    # A slot that did not come up: the board would reset, and so does this.
    echo "$boot_number no-results $(sed -n 's/^vm: //p' "$dir.err" | tail -n1)" >>"$out/boots.txt"
  else
    echo "$boot_number no-results $(sed -n 's/^vm: //p' "$dir.err" | tail -n1)" >>"$out/boots.txt"
    rm -f "$dir.err"
    exit $status
  fi
  rm -f "$dir.err"
done
echo "vm: failed: still booting after $boots boots; see $out/boots.txt" >&2
exit 4
