#!/bin/sh
# SPDX-License-Identifier: MIT
# The update images of the korvane plan (uboot_test.cc), made with
# korvane-mkrom: block 1 a kernel, block 2 an initramfs as a U-Boot ramdisk
# image.
#
#   make-images.sh prepare MKROM WORK KERNEL PAYLOAD
#     keys in WORK/keys; WORK/bad.rom, signed, whose initramfs has no working
#     init (the kernel panics, the board resets); in PAYLOAD/images the
#     board's public key, and unsigned.rom, foreign.rom (signed with
#     another key) and other-board.rom (signed with the board's key, built
#     for another device), small: they are refused before anything is
#     written
#   make-images.sh hook MKROM WORK ROOT KERNEL SPARE   (vm.sh --hook)
#     WORK/good.rom, signed, of slot A's own KERNEL and initramfs ROOT,
#     which exist only once vm.sh made them; then SPARE, a tar of good.rom
#     and bad.rom that vm.sh puts into the spare partition (the two are too
#     large for the initramfs)
set -eu
mode=$1 mkrom=$2 work=$3
shift 3

# image KERNEL ROOT OUT KEY [DEVICE] (KEY "-": unsigned); DEVICE is the
# board's of korvane-ab.ini unless given
image() {
  "$mkrom" create "$3" --dev-name "${5:-korvane-vm}" --dev-id 0x4b56 --oem korvane \
    --version ab-test -f crc
  "$mkrom" add "$3" "$1" -t nor -p none --id 1 --name kernel -f crc
  "$mkrom" add "$3" "$2" -t nor -p none --id 2 --name root -f crc
  [ "$4" = - ] || "$mkrom" sign "$3" "$4"
}

case $mode in
  prepare)
    kernel=$1 payload=$2
    mkdir -p "$work/keys" "$work/bad-root" "$payload/images"
    "$mkrom" keygen "$work/keys/board.key" "$payload/images/board.pub"
    "$mkrom" keygen "$work/keys/foreign.key" "$work/keys/foreign.pub"
    printf 'not a program\n' >"$work/bad-root/init"
    (cd "$work/bad-root" && echo init | cpio -o -H newc --quiet) | gzip -9n >"$work/bad-root.gz"
    mkimage -A arm -O linux -T ramdisk -C none -n bad -d "$work/bad-root.gz" \
      "$work/bad-root.img" >/dev/null
    image "$kernel" "$work/bad-root.img" "$work/bad.rom" "$work/keys/board.key"
    head -c 4096 /dev/urandom >"$work/small"
    image "$work/small" "$work/small" "$payload/images/unsigned.rom" -
    image "$work/small" "$work/small" "$payload/images/foreign.rom" "$work/keys/foreign.key"
    image "$work/small" "$work/small" "$payload/images/other-board.rom" "$work/keys/board.key" \
      other-board ;;
  hook)
    root=$1 kernel=$2 spare=$3
    image "$kernel" "$root" "$work/good.rom" "$work/keys/board.key"
    tar -c -f "$spare" -C "$work" good.rom bad.rom ;;
  *) echo "make-images.sh: prepare or hook" >&2; exit 1 ;;
esac
