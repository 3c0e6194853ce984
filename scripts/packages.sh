#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The one list of Debian packages the project needs, installed only when
# missing. Usage: scripts/packages.sh [build|test|kernel|kernel-arm|kernel-uboot|armhf|format|package|fuzz|bench|docs|all]...
#   build       compiler, CMake, the LZMA SDK sources, zlib (its CRC-32), the
#               manual page generator, nlohmann-json (header-only), libsodium
#               (image signatures), libinih (the board's configuration) and
#               libubootenv (U-Boot's environment)
#   test        build + GoogleTest, peer coders used by the interop tests, benchmark,
#               the SVG renderer the flash map is checked with
#   kernel      the x86-64 VM tier: qemu, busybox, mtd-utils
#   kernel-arm  the ARM VM tier: qemu for 32-bit ARM, the cross compiler (the
#               armhf korvane and the RAM flash module) and the user-mode
#               emulator; it adds Debian's armhf architecture to apt, from
#               which the tier downloads its kernel, busybox and mtd-utils;
#               and the armhf libraries below
#   kernel-uboot  the U-Boot VM (with kernel-arm): what building U-Boot
#               from Debian's source package needs, and its mkimage and
#               mkenvimage; it adds a deb-src entry for Debian's main
#               archive to apt (/etc/apt/sources.list.d/korvane-src.sources),
#               from which the tier fetches U-Boot's source
#   armhf       the cross compiler and the user-mode emulator, and the armhf
#               libraries below
#   format      clang-format, for the house style (scripts/format.sh)
#   package     the Debian package tools and checks (scripts/package.sh, package-test.sh)
#   fuzz        build + clang with libFuzzer and the sanitizers' runtimes, the
#               symbolizer for their reports, liblzma for the decoder's
#               differential target (scripts/fuzz.sh)
#   bench       the peer decoder and the plotter of the benchmark report (scripts/bench.sh)
#   docs        the renderers of the documents' pictures: graphviz, the plotter,
#               and rsvg-convert, which checks every SVG (scripts/pictures.sh)
set -euo pipefail

pkgs_build=(g++ cmake ninja-build make lzma-dev zlib1g-dev scdoc nlohmann-json3-dev libsodium-dev
  libinih-dev libubootenv-dev)
pkgs_test=(googletest libgtest-dev libgmock-dev libbenchmark-dev lzma-alone xz-utils util-linux
  librsvg2-bin)
pkgs_kernel=(qemu-system-x86 busybox-static mtd-utils cpio)
pkgs_kernel_arm=(qemu-system-arm g++-arm-linux-gnueabihf qemu-user make xz-utils cpio)
pkgs_kernel_uboot=(gcc-arm-linux-gnueabihf make bison flex swig bc python3-dev
  python3-setuptools python3-pyelftools libssl-dev libgnutls28-dev uuid-dev device-tree-compiler
  dpkg-dev u-boot-tools)
pkgs_armhf=(g++-arm-linux-gnueabihf qemu-user)
pkgs_format=(clang-format)
pkgs_package=(dpkg-dev file lintian man-db bash-completion)
pkgs_fuzz=(clang libclang-rt-dev llvm liblzma-dev)
pkgs_bench=(7zip gnuplot-nox)
pkgs_docs=(graphviz gnuplot-nox librsvg2-bin)
# The libraries the armhf build links, as Debian's armhf -dev packages: never
# installed (each would bring the armhf C library onto the PC), but
# downloaded and unpacked into .armhf-cache/sysroot by
# cmake/fetch-armhf-libs.sh, where cmake/toolchain-armhf.cmake finds them.
libs_armhf=(zlib1g-dev libsodium-dev libinih-dev libubootenv-dev)

want=() arches=() armhf_libs=0 sources=0
[ $# -gt 0 ] || set -- build
for group in "$@"; do
  case "$group" in
    build) want+=("${pkgs_build[@]}") ;;
    test) want+=("${pkgs_build[@]}" "${pkgs_test[@]}") ;;
    kernel) want+=("${pkgs_kernel[@]}") ;;
    kernel-arm) want+=("${pkgs_kernel_arm[@]}") arches+=(armhf) armhf_libs=1 ;;
    kernel-uboot) want+=("${pkgs_kernel_uboot[@]}") sources=1 ;;
    armhf) want+=("${pkgs_armhf[@]}") arches+=(armhf) armhf_libs=1 ;;
    format) want+=("${pkgs_format[@]}") ;;
    package) want+=("${pkgs_package[@]}") ;;
    fuzz) want+=("${pkgs_build[@]}" "${pkgs_fuzz[@]}") ;;
    bench) want+=("${pkgs_bench[@]}") ;;
    docs) want+=("${pkgs_docs[@]}") ;;
    all)
      want+=("${pkgs_build[@]}" "${pkgs_test[@]}" "${pkgs_kernel[@]}" "${pkgs_kernel_arm[@]}"
        "${pkgs_kernel_uboot[@]}" "${pkgs_armhf[@]}" "${pkgs_format[@]}" "${pkgs_package[@]}"
        "${pkgs_fuzz[@]}" "${pkgs_bench[@]}" "${pkgs_docs[@]}")
      arches+=(armhf) armhf_libs=1 sources=1 ;;
    *) echo "packages.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

# A foreign architecture: apt needs its package lists, for the packages the
# kernel tier downloads and unpacks and for the armhf libraries it unpacks.
update=0
for arch in "${arches[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "adding the $arch architecture to apt" >&2
    dpkg --add-architecture "$arch"
    update=1
  fi
done

# Debian's source packages (apt-get source), for U-Boot: one entry of our
# own, written once.
src_list=/etc/apt/sources.list.d/korvane-src.sources
if [ $sources = 1 ] && [ ! -f "$src_list" ]; then
  echo "adding Debian's source packages to apt ($src_list)" >&2
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  cat >"$src_list" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  update=1
fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ $update = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}" >&2
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi
[ $armhf_libs = 0 ] || "$(dirname "$0")/../cmake/fetch-armhf-libs.sh" "${libs_armhf[@]}"
