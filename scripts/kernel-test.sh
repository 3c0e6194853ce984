#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The kernel tier alone: installs on the real Linux MTD stack. Boots
# Debian's kernels under qemu (software emulation) with nandsim and mtdram,
# runs a static korvane on /dev/mtdN and reads the flash back (tests/kernel/):
# the x86-64 VM with the PC's korvane, and the 32-bit ARM VM with the armhf
# korvane (the board's own binary), both through the same scenarios; and
# the ARM VM booted by U-Boot from CFI NOR flash, slots A and B chosen by
# the shipped boot script (uboot/).
# Uses the default preset's build folder, and for the ARM VMs' programs the
# armhf preset's; the kernels and U-Boot are cached in .vm-cache/.
# Usage: scripts/kernel-test.sh [--x86|--arm|--uboot]   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
tiers=both
for arg in "$@"; do
  case "$arg" in
    --x86) tiers=x86 ;;
    --arm) tiers=arm ;;
    --uboot) tiers=uboot ;;
    *) echo "kernel-test.sh: unknown option $arg (--x86, --arm or --uboot)" >&2; exit 2 ;;
  esac
done
start=$SECONDS
case $tiers in
  x86) scripts/packages.sh test kernel; label=kernel-x86 ;;
  arm) scripts/packages.sh test kernel-arm; label=kernel-arm ;;
  uboot) scripts/packages.sh test kernel-arm kernel-uboot; label=kernel-uboot ;;
  both) scripts/packages.sh test kernel kernel-arm kernel-uboot; label=kernel ;;
esac
cmake --preset default >/dev/null
case $tiers in
  x86 | arm) cmake --build --preset default --target kernel_test ;;
  uboot) cmake --build --preset default --target uboot_test ;;
  both) cmake --build --preset default --target kernel_test uboot_test ;;
esac
if [ $tiers != x86 ]; then
  cmake --preset armhf >/dev/null
  cmake --build --preset armhf --target korvane-static mtd_probe
fi
status=0
ctest --preset default -L "$label" --no-tests=error || status=$?
echo "kernel tier ($tiers): $((SECONDS - start)) s"
exit $status
