#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# zlib for the armhf build without installing any armhf package: downloads
# Debian's zlib1g-dev:armhf with apt-get download and unpacks it into
# .armhf-cache/zlib (its static library in usr/lib/arm-linux-gnueabihf, the
# headers in usr/include), where cmake/toolchain-armhf.cmake looks. An
# installed zlib1g-dev:armhf would bring the armhf libc6 along, and its
# loader mixed with the cross toolchain's breaks programs under qemu-arm.
# Does nothing when the cache already holds it. Usage: fetch-armhf-zlib.sh
set -euo pipefail
cache=$(cd "$(dirname "$0")/.." && pwd)/.armhf-cache
dest=$cache/zlib
[ -f "$dest/usr/lib/arm-linux-gnueabihf/libz.a" ] && exit 0
if ! apt-cache show zlib1g-dev:armhf >/dev/null 2>&1; then
  # Package lists for armhf: the architecture must be known to dpkg.
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  apt-get update -qq
fi
tmp=$(mktemp -d)
chmod 755 "$tmp"  # apt-get download hands the file to its own user
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && apt-get download -qq zlib1g-dev:armhf >/dev/null)
rm -rf "$dest.new"
mkdir -p "$dest.new"
dpkg-deb -x "$tmp"/zlib1g-dev_*_armhf.deb "$dest.new"
[ -f "$dest.new/usr/lib/arm-linux-gnueabihf/libz.a" ] || { echo "fetch-armhf-zlib: no libz.a in the package" >&2; exit 1; }
rm -rf "$dest"
mv "$dest.new" "$dest"
echo "fetch-armhf-zlib: $(dpkg-deb -f "$tmp"/zlib1g-dev_*_armhf.deb Version) in $dest" >&2
