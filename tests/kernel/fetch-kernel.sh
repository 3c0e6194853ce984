#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches Debian's own kernel for a VM of the kernel tier into a cache folder
# and unpacks only what the VM boots with. Prints the kernel's folder in the
# cache on standard output; everything else goes to standard error.
#
#   amd64  the kernel linux-image-amd64 depends on: vmlinuz (and vmlinux,
#          the uncompressed kernel inside it, which boots much faster), the
#          MTD driver modules with lib/bch
#   armhf  the kernel linux-image-armmp:armhf depends on (or with
#          --flavour armmp-lpae, linux-image-armmp-lpae's): vmlinuz,
#          modules.builtin, the MTD and virtio modules, and beside them
#          busybox (busybox-static:armhf), the flash tools of
#          mtd-utils:armhf in sbin/, and modules/extra/mtdram.ko, the RAM
#          flash this kernel lacks, built by build-mtdram.sh
#   --nor  (armhf) also nor/ beside them, what the U-Boot VM adds: the CFI
#          NOR flash modules (build-mtdram.sh --cfi) in nor/modules, flashcp
#          of mtd-utils and fw_printenv of libubootenv-tool:armhf (with
#          fw_setenv, a link to it) in nor/sbin, and the libraries of the
#          latter in nor/lib
#
# Usage: fetch-kernel.sh [--arch amd64|armhf] [--flavour F] [--nor] CACHE_DIR
#   (default amd64; armhf kernels: armmp, the default, or armmp-lpae)
set -euo pipefail

usage="usage: fetch-kernel.sh [--arch amd64|armhf] [--flavour F] [--nor] CACHE_DIR"
here=$(cd "$(dirname "$0")" && pwd)
arch=amd64 flavour= nor=0
while [ $# -gt 1 ]; do
  case "$1" in
    --nor) nor=1; shift ;;
    --arch) arch=$2; shift 2 ;;
    --flavour) flavour=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 1 ;;
  esac
done
cache=${1:?$usage}
[ $nor = 0 ] || [ "$arch" = armhf ] || { echo "fetch-kernel: --nor is for armhf" >&2; exit 1; }
case $arch/$flavour in
  amd64/ | amd64/amd64) meta=linux-image-amd64 ;;
  armhf/ | armhf/armmp | armhf/armmp-lpae) meta=linux-image-${flavour:-armmp}:armhf ;;
  *) echo "fetch-kernel: no $arch kernel ${flavour:+of flavour $flavour }here" >&2; exit 1 ;;
esac
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

if [ "$arch" = armhf ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "fetch-kernel: apt has no armhf architecture (scripts/packages.sh kernel-arm adds it)" >&2
  exit 1
fi

# The version the metapackage points at, e.g. linux-image-6.1.0-57-amd64.
depends() {
  apt-cache depends "$meta" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1
}
pkg=$(depends)
if [ -z "$pkg" ]; then
  # Without package lists apt knows no version yet.
  echo "fetch-kernel: no package lists, running apt-get update" >&2
  apt-get update -qq >&2
  pkg=$(depends)
fi
[ -n "$pkg" ] || { echo "fetch-kernel: cannot tell which kernel $meta wants" >&2; exit 1; }
pkg=${pkg%:"$arch"}
kver=${pkg#linux-image-}
dest="$cache/$kver"

# Several builds may share the cache: one fetch at a time. A complete
# folder needs no lock (the other tier may be fetching its own meanwhile).
if [ ! -f "$dest/.complete" ] || { [ $nor = 1 ] && [ ! -f "$dest/nor/.complete" ]; }; then
  exec 9>"$cache/.lock"
  flock 9
fi

# apt-get download writes into the current folder; the _apt user may not
# reach the cache, which only costs a warning.
download() {
  (cd "$cache/dl" && apt-get download "$@" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2) || true
}
# The one .deb of a package in the download folder.
deb_of() {
  local deb
  deb=$(ls "$cache/dl/${1}"_*.deb 2>/dev/null | head -n1)
  [ -n "$deb" ] || { echo "fetch-kernel: apt-get download $1 failed" >&2; exit 1; }
  echo "$deb"
}

fetch_amd64() {
  download "$pkg"
  local deb
  deb=$(deb_of "$pkg")
  mkdir -p "$dest.tmp"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dest.tmp" --wildcards \
    "./boot/vmlinuz-$kver" \
    "./lib/modules/$kver/kernel/drivers/mtd/*" \
    "./lib/modules/$kver/kernel/lib/bch.ko*"
  mkdir -p "$dest"
  mv "$dest.tmp/boot/vmlinuz-$kver" "$dest/vmlinuz"
  mv "$dest.tmp/lib/modules/$kver/kernel" "$dest/modules"
  rm -rf "$dest.tmp"
  # Under software emulation the kernel takes some 10 s to decompress
  # itself; qemu boots the bare ELF image (PVH entry) at once. It is the xz
  # stream inside vmlinuz (xz complains about the bytes after the stream).
  at=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$dest/vmlinuz" | head -n1 | cut -d: -f1 || true)
  if [ -n "$at" ]; then
    tail -c +$((at + 1)) "$dest/vmlinuz" | xz -dcq >"$dest/vmlinux" 2>/dev/null || true
  fi
  if [ "$(head -c 4 "$dest/vmlinux" 2>/dev/null | od -An -tx1 | tr -d ' ')" != 7f454c46 ]; then
    echo "fetch-kernel: no ELF image inside vmlinuz; the VM boots vmlinuz (slower)" >&2
    rm -f "$dest/vmlinux"
  fi
}

fetch_armhf() {
  # The headers and the kernel's sources for the RAM flash module must be
  # of the image's very version.
  local version
  version=$(apt-cache show --no-all-versions "$pkg:armhf" | sed -n 's/^Version: //p' | head -n1)
  [ -n "$version" ] || { echo "fetch-kernel: apt knows no version of $pkg:armhf" >&2; exit 1; }
  download "$pkg:armhf=$version" busybox-static:armhf mtd-utils:armhf
  local image busybox mtd_utils
  image=$(deb_of "$pkg")
  busybox=$(deb_of busybox-static)
  mtd_utils=$(deb_of mtd-utils)

  local tmp="$dest.tmp" mods
  mkdir -p "$tmp/image" "$tmp/busybox" "$tmp/mtd-utils"
  dpkg-deb -x "$image" "$tmp/image"
  dpkg-deb -x "$busybox" "$tmp/busybox"
  dpkg-deb -x "$mtd_utils" "$tmp/mtd-utils"
  mods="$tmp/image/lib/modules/$kver"
  mkdir -p "$tmp/out/modules/drivers/char" "$tmp/out/modules/drivers/block" "$tmp/out/sbin"
  mv "$tmp/image/boot/vmlinuz-$kver" "$tmp/out/vmlinuz"
  mv "$mods/modules.builtin" "$tmp/out/modules.builtin"
  mv "$mods/kernel/drivers/mtd" "$mods/kernel/drivers/virtio" "$tmp/out/modules/drivers/"
  mv "$mods/kernel/drivers/char/virtio_console.ko" "$tmp/out/modules/drivers/char/"
  mv "$mods/kernel/drivers/block/virtio_blk.ko" "$tmp/out/modules/drivers/block/"
  mv "$tmp/busybox/bin/busybox" "$tmp/out/busybox"
  local tool
  for tool in flash_erase nanddump nandwrite mtdinfo mtd_debug; do
    mv "$tmp/mtd-utils/usr/sbin/$tool" "$tmp/out/sbin/"
  done
  rm -rf "$tmp/image" "$tmp/busybox" "$tmp/mtd-utils"

  mkdir -p "$tmp/out/modules/extra"
  "$here/build-mtdram.sh" --kernel "$kver" --version "$version" --scratch "$cache/dl" \
    --out "$tmp/out/modules/extra" >&2
  mv "$tmp/out" "$dest"
  rm -rf "$tmp"
}

# The U-Boot VM's part, kept apart: a kernel fetched before has none yet.
fetch_nor() {
  local version tmp="$dest/nor.tmp"
  version=$(apt-cache show --no-all-versions "$pkg:armhf" | sed -n 's/^Version: //p' | head -n1)
  [ -n "$version" ] || { echo "fetch-kernel: apt knows no version of $pkg:armhf" >&2; exit 1; }
  download mtd-utils:armhf libubootenv-tool:armhf libubootenv0.1:armhf zlib1g:armhf
  mkdir -p "$tmp/x" "$tmp/out/sbin" "$tmp/out/lib" "$tmp/out/modules"
  local p
  for p in mtd-utils libubootenv-tool libubootenv0.1 zlib1g; do
    dpkg-deb -x "$(deb_of "$p")" "$tmp/x"
  done
  mv "$tmp/x/usr/sbin/flashcp" "$tmp/out/sbin/"
  mv "$tmp/x/usr/bin/fw_printenv" "$tmp/out/sbin/"
  ln -s fw_printenv "$tmp/out/sbin/fw_setenv"
  cp -L "$tmp"/x/usr/lib/arm-linux-gnueabihf/libubootenv.so.0* "$tmp/out/lib/"
  cp -L "$tmp"/x/lib/arm-linux-gnueabihf/libz.so.1 "$tmp"/x/usr/lib/arm-linux-gnueabihf/libz.so.1 \
    "$tmp/out/lib/" 2>/dev/null || true
  [ -f "$tmp/out/lib/libz.so.1" ] || { echo "fetch-kernel: no libz.so.1 in zlib1g:armhf" >&2; exit 1; }
  rm -rf "$tmp/x"
  "$here/build-mtdram.sh" --cfi --kernel "$kver" --version "$version" --scratch "$cache/dl" \
    --out "$tmp/out/modules" >&2
  rm -rf "$dest/nor"
  mv "$tmp/out" "$dest/nor"
  rm -rf "$tmp"
  touch "$dest/nor/.complete"
}

if [ ! -f "$dest/.complete" ]; then
  echo "fetch-kernel: fetching $pkg ($arch)" >&2
  rm -rf "$dest" "$dest.tmp" "$cache/dl"
  mkdir -p "$cache/dl"
  "fetch_$arch"
  rm -rf "$cache/dl"
  touch "$dest/.complete"
fi
if [ $nor = 1 ] && [ ! -f "$dest/nor/.complete" ]; then
  echo "fetch-kernel: fetching the NOR flash drivers and tools for $kver" >&2
  rm -rf "$cache/dl" "$dest/nor.tmp"
  mkdir -p "$cache/dl"
  fetch_nor
  rm -rf "$cache/dl"
fi
echo "$dest"
