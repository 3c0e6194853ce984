#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the boot loader of the U-Boot VM: U-Boot for qemu's 32-bit ARM
# virt board, from Debian's own source package (apt-get source u-boot, with
# Debian's patches), its qemu_arm_defconfig merged with uboot/qemu_arm.config
# (two environment copies, boot counting) and patched with
# uboot/cfi-buffer-write.patch (an emulator fault, see there).
#
# The build is cached in CACHE_DIR/uboot/KEY/u-boot.bin, KEY made of the
# source version and the fragment's and the patch's digests; the source
# package (.dsc and tarballs) stays in CACHE_DIR/uboot/src, as Debian's
# archive keeps only the current versions: with no source entry in apt, or
# none for u-boot, the newest version kept there is built. Prints the
# folder of u-boot.bin on standard output; everything else goes to
# standard error. SOURCE_DATE_EPOCH is the package's changelog date, so a
# build is reproducible.
#
# Usage: build-uboot.sh CACHE_DIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache=${1:?usage: build-uboot.sh CACHE_DIR}
die() { echo "build-uboot: $*" >&2; exit 1; }
fragment=$here/uboot/qemu_arm.config
patch=$here/uboot/cfi-buffer-write.patch
cross=arm-linux-gnueabihf-
mkdir -p "$cache/uboot/src"
cache=$(cd "$cache" && pwd)
src=$cache/uboot/src

# The version to build: apt's newest source, else the newest kept.
version=$(apt-cache showsrc u-boot 2>/dev/null | sed -n 's/^Version: //p' |
  sort -V | tail -n1 || true)
if [ -z "$version" ]; then
  version=$(ls "$src" 2>/dev/null | sed -n 's/^u-boot_\(.*\)\.dsc$/\1/p' | sort -V | tail -n1)
  [ -n "$version" ] || die "apt knows no source of u-boot and $src keeps none
(scripts/packages.sh kernel-uboot adds the source entry)"
  echo "build-uboot: apt knows no source of u-boot; building $version, kept in the cache" >&2
fi
key=$(printf '%s\n' "$version" | cat - "$fragment" "$patch" | sha256sum | cut -c1-16)
dest=$cache/uboot/$key
if [ -f "$dest/.complete" ]; then
  echo "$dest"
  exit 0
fi

exec 9>"$cache/uboot/.lock"
flock 9
if [ -f "$dest/.complete" ]; then
  echo "$dest"
  exit 0
fi
command -v "${cross}gcc" >/dev/null ||
  die "${cross}gcc not found (scripts/packages.sh kernel-arm installs the cross compiler)"
for tool in bison flex swig dpkg-source; do
  command -v "$tool" >/dev/null || die "$tool not found (scripts/packages.sh kernel-uboot installs it)"
done

dsc=$src/u-boot_$version.dsc
if [ ! -f "$dsc" ]; then
  echo "build-uboot: fetching the source of u-boot $version" >&2
  (cd "$src" && apt-get source --download-only "u-boot=$version" 2>&1 |
    grep -v '^W: Download is performed unsandboxed' >&2) || true
  [ -f "$dsc" ] || die "apt-get source u-boot=$version failed"
fi

work=$cache/uboot/build
rm -rf "$work" "$dest"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
dpkg-source --no-check -x "$dsc" "$work/u-boot" >"$work/unpack.log" 2>&1 ||
  { cat "$work/unpack.log" >&2; die "dpkg-source could not unpack $dsc"; }
cd "$work/u-boot"
patch -p1 --no-backup-if-mismatch <"$patch" >&2 || die "$(basename "$patch") does not apply to $version"
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -STimestamp)
export SOURCE_DATE_EPOCH
echo "build-uboot: building u-boot $version for qemu_arm" >&2
log=$work/build.log
make_uboot() { make CROSS_COMPILE="$cross" -j"$(nproc)" "$@" >>"$log" 2>&1; }
if ! make_uboot qemu_arm_defconfig ||
  ! scripts/kconfig/merge_config.sh -m .config "$fragment" >>"$log" 2>&1 ||
  ! make_uboot olddefconfig || ! make_uboot u-boot.bin; then
  tail -n 30 "$log" >&2
  die "the build failed"
fi
# merge_config.sh warns, and goes on, when Kconfig drops a value.
while IFS= read -r line; do
  case $line in CONFIG_*) grep -qx "$line" .config || die "the build's .config lacks $line" ;; esac
done <"$fragment"
mkdir -p "$dest.tmp"
cp u-boot.bin "$dest.tmp/u-boot.bin"
cp .config "$dest.tmp/config"
echo "$version" >"$dest.tmp/version"
rm -rf "$dest"
mv "$dest.tmp" "$dest"
touch "$dest/.complete"
# Earlier builds (another version, fragment or patch) are of no more use.
for old in "$cache"/uboot/*/.complete; do
  [ "$old" = "$dest/.complete" ] || rm -rf "$(dirname "$old")"
done
echo "build-uboot: built u-boot $version ($key)" >&2
echo "$dest"
