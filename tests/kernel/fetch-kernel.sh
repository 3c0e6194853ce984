#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches Debian's own amd64 kernel (the one linux-image-amd64 depends on)
# into a cache folder and unpacks only what the VM tier boots with: vmlinuz
# (and vmlinux, the uncompressed kernel inside it, which boots much faster)
# and the MTD driver modules with lib/bch. Prints the kernel's folder in
# the cache on standard output; everything else goes to standard error.
# Usage: fetch-kernel.sh CACHE_DIR
set -euo pipefail

cache=${1:?usage: fetch-kernel.sh CACHE_DIR}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

# The version the metapackage points at, e.g. linux-image-6.1.0-57-amd64.
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
  sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
if [ -z "$pkg" ]; then
  # Without package lists apt knows no version yet.
  echo "fetch-kernel: no package lists, running apt-get update" >&2
  apt-get update -qq >&2
  pkg=$(apt-cache depends linux-image-amd64 |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
fi
[ -n "$pkg" ] || { echo "fetch-kernel: cannot tell which kernel linux-image-amd64 wants" >&2; exit 1; }
kver=${pkg#linux-image-}
dest="$cache/$kver"

# Several builds may share the cache: one fetch at a time.
exec 9>"$cache/.lock"
flock 9

if [ ! -f "$dest/.complete" ]; then
  echo "fetch-kernel: fetching $pkg" >&2
  rm -rf "$dest" "$cache/dl"
  mkdir -p "$cache/dl"
  # apt-get download writes into the current folder; the _apt user may not
  # reach the cache, which only costs a warning.
  (cd "$cache/dl" && apt-get download "$pkg" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2) || true
  deb=$(ls "$cache"/dl/"$pkg"_*.deb 2>/dev/null | head -n1)
  [ -n "$deb" ] || { echo "fetch-kernel: apt-get download $pkg failed" >&2; exit 1; }
  mkdir -p "$dest.tmp"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$dest.tmp" --wildcards \
    "./boot/vmlinuz-$kver" \
    "./lib/modules/$kver/kernel/drivers/mtd/*" \
    "./lib/modules/$kver/kernel/lib/bch.ko*"
  rm -rf "$cache/dl"
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
  touch "$dest/.complete"
fi
echo "$dest"
