#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages into build/packages/:
#   korvane-tools_VERSION_ARCH.deb  korvane, korvane-mkrom and korvane-sim for
#                                   this PC, with the manual pages and bash completion
#   korvane_VERSION_armhf.deb       the statically linked korvane for the board
# Each comes from a build of its own without tests or benchmarks
# (build/package-pc, build/package-armhf), compiled with the flags Debian
# builds its packages with (dpkg-buildflags) and packed by CPack
# (packaging/CMakeLists.txt). VERSION is the one in the top CMakeLists.txt.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
scripts/packages.sh build armhf package

version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
latest=$(dpkg-parsechangelog -l packaging/changelog -SVersion)
if [ "$latest" != "$version" ]; then
  echo "package.sh: packaging/changelog ends at $latest, the project is at $version:" \
    "add a changelog entry first" >&2
  exit 1
fi
# Dates in the packages (the manual pages') are the release's.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l packaging/changelog -STimestamp)
export SOURCE_DATE_EPOCH

out=build/packages
rm -rf "$out"
mkdir -p "$out"

# Every hardening feature, immediate binding included.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all

# build DIR HOST-ARCH CMAKE-OPTION...: configures, builds and packs one package.
build() {
  local dir=$1 arch=$2
  shift 2
  local flags=(dpkg-architecture -a"$arch" -c dpkg-buildflags --get)
  local cppflags cflags cxxflags ldflags
  cppflags=$("${flags[@]}" CPPFLAGS 2>/dev/null)
  cflags=$("${flags[@]}" CFLAGS 2>/dev/null)
  cxxflags=$("${flags[@]}" CXXFLAGS 2>/dev/null)
  ldflags=$("${flags[@]}" LDFLAGS 2>/dev/null)
  rm -rf "$dir"
  CFLAGS="$cppflags $cflags" CXXFLAGS="$cppflags $cxxflags" LDFLAGS="$ldflags" \
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
    -DKORVANE_BENCH=OFF "$@" >"$dir.log"
  cmake --build "$dir" >>"$dir.log"
  cpack --config "$dir/CPackConfig.cmake" -B "$dir/cpack" >>"$dir.log"
  cp "$dir"/cpack/*.deb "$out/"
}

pc_arch=$(dpkg --print-architecture)
mkdir -p build
build build/package-pc "$pc_arch" -DKORVANE_STATIC=OFF
build build/package-armhf armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake

for deb in "$out/korvane-tools_${version}_${pc_arch}.deb" "$out/korvane_${version}_armhf.deb"; do
  [ -f "$deb" ] || { echo "package.sh: $deb was not made" >&2; exit 1; }
  echo "$deb: $(stat -c %s "$deb") bytes"
done
echo "packages: $((SECONDS - start)) s"
