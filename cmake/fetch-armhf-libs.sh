#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Libraries for the armhf build without installing any armhf package:
# downloads Debian's armhf -dev packages named (apt-get download) and unpacks
# them into one folder, .armhf-cache/sysroot (static libraries in
# usr/lib/arm-linux-gnueabihf, headers in usr/include), which
# cmake/toolchain-armhf.cmake adds to the places CMake finds libraries in.
# An installed -dev:armhf package would bring the armhf C library onto the
# PC, beside the cross toolchain's own. A package already unpacked is left
# as it is (usr/share/korvane-armhf/NAME holds its version); several builds
# may run this at once.
# Usage: fetch-armhf-libs.sh PACKAGE...   (scripts/packages.sh armhf runs it)
set -euo pipefail
cache=$(cd "$(dirname "$0")/.." && pwd)/.armhf-cache
root=$cache/sysroot
stamps=$root/usr/share/korvane-armhf
[ $# -gt 0 ] || { echo "usage: fetch-armhf-libs.sh PACKAGE..." >&2; exit 2; }

todo() {
  local p
  for p in "$@"; do [ -s "$stamps/$p" ] || echo "$p"; done
}
[ -n "$(todo "$@")" ] || exit 0
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
mapfile -t want < <(todo "$@")
[ ${#want[@]} -gt 0 ] || exit 0

if ! apt-cache show "${want[0]}:armhf" >/dev/null 2>&1; then
  # Package lists for armhf: the architecture must be known to apt.
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  apt-get update -qq
fi
tmp=$(mktemp -d)
chmod 755 "$tmp"  # apt-get download hands the folder to its own user
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && apt-get download -qq "${want[@]/%/:armhf}" 2>&1 |
  grep -v '^W: Download is performed unsandboxed' >&2) || true
mkdir -p "$stamps"
for p in "${want[@]}"; do
  deb=$(ls "$tmp/${p}"_*_armhf.deb 2>/dev/null | head -n1)
  [ -n "$deb" ] || { echo "fetch-armhf-libs: apt-get download $p:armhf failed" >&2; exit 1; }
  dpkg-deb -x "$deb" "$root"
  version=$(dpkg-deb -f "$deb" Version)
  echo "$version" >"$stamps/$p"
  echo "fetch-armhf-libs: $p $version in $root" >&2
done
