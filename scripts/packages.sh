#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The one list of Debian packages the project needs, installed only when
# missing. Usage: scripts/packages.sh [build|test|kernel|kernel-arm|armhf|format|package|fuzz|all]...
#   build       compiler, CMake, the LZMA SDK sources, the manual page generator,
#               nlohmann-json (header-only), libsodium (image signatures)
#   test        build + GoogleTest, peer coders used by the interop tests, benchmark
#   kernel      the x86-64 VM tier: qemu, busybox, mtd-utils
#   kernel-arm  the ARM VM tier: qemu for 32-bit ARM, the cross compiler (the
#               armhf korvane and the RAM flash module) and the user-mode
#               emulator; it adds Debian's armhf architecture to apt, from
#               which the tier downloads its kernel, busybox and mtd-utils
#   armhf       the cross compiler and the user-mode emulator, and libsodium for
#               armhf (Debian's libsodium-dev:armhf, which brings the armhf C
#               library along; the build keeps to the cross toolchain's own)
#   format      clang-format, for the house style (scripts/format.sh)
#   package     the Debian package tools and checks (scripts/package.sh, package-test.sh)
#   fuzz        build + clang with libFuzzer and the sanitizers' runtimes, the
#               symbolizer for their reports (scripts/fuzz.sh)
set -euo pipefail

pkgs_build=(g++ cmake ninja-build make lzma-dev scdoc nlohmann-json3-dev libsodium-dev)
pkgs_test=(googletest libgtest-dev libgmock-dev libbenchmark-dev lzma-alone xz-utils zlib1g-dev util-linux)
pkgs_kernel=(qemu-system-x86 busybox-static mtd-utils cpio)
pkgs_kernel_arm=(qemu-system-arm g++-arm-linux-gnueabihf qemu-user make xz-utils cpio
  libsodium-dev:armhf)
pkgs_armhf=(g++-arm-linux-gnueabihf qemu-user libsodium-dev:armhf)
pkgs_format=(clang-format)
pkgs_package=(dpkg-dev file lintian man-db bash-completion)
pkgs_fuzz=(clang libclang-rt-dev llvm)

want=() arches=()
[ $# -gt 0 ] || set -- build
for group in "$@"; do
  case "$group" in
    build) want+=("${pkgs_build[@]}") ;;
    test) want+=("${pkgs_build[@]}" "${pkgs_test[@]}") ;;
    kernel) want+=("${pkgs_kernel[@]}") ;;
    kernel-arm) want+=("${pkgs_kernel_arm[@]}") arches+=(armhf) ;;
    armhf) want+=("${pkgs_armhf[@]}") arches+=(armhf) ;;
    format) want+=("${pkgs_format[@]}") ;;
    package) want+=("${pkgs_package[@]}") ;;
    fuzz) want+=("${pkgs_build[@]}" "${pkgs_fuzz[@]}") ;;
    all)
      want+=("${pkgs_build[@]}" "${pkgs_test[@]}" "${pkgs_kernel[@]}" "${pkgs_kernel_arm[@]}"
        "${pkgs_armhf[@]}" "${pkgs_format[@]}" "${pkgs_package[@]}" "${pkgs_fuzz[@]}")
      arches+=(armhf) ;;
    *) echo "packages.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

# A foreign architecture: apt needs its package lists, for the packages the
# kernel tier downloads and unpacks and for the armhf libsodium it installs.
update=0
for arch in "${arches[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "adding the $arch architecture to apt" >&2
    dpkg --add-architecture "$arch"
    update=1
  fi
done

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -gt 0 ] || [ $update = 1 ] || exit 0

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing: ${missing[*]}" >&2
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
