#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The one list of Debian packages the project needs, installed only when
# missing. Usage: scripts/packages.sh [build|test|kernel|armhf|format|all]...
#   build   compiler, CMake, the LZMA SDK sources, zlib (its CRC-32)
#   test    build + GoogleTest, peer coders used by the interop tests, benchmark
#   kernel  the VM tier: qemu, busybox, mtd-utils
#   armhf   the cross compiler and the user-mode emulator; zlib for armhf is
#           unpacked, not installed, into .armhf-cache (cmake/fetch-armhf-zlib.sh)
#   format  clang-format, for the house style (scripts/format.sh)
#   bench   the peer decoder and the plotter of the benchmark report (scripts/bench.sh)
#   fuzzdiff  clang, libFuzzer and liblzma for the decoder's differential fuzz target
set -euo pipefail

pkgs_build=(g++ cmake ninja-build make lzma-dev zlib1g-dev)
pkgs_test=(googletest libgtest-dev libgmock-dev libbenchmark-dev lzma-alone xz-utils util-linux)
pkgs_kernel=(qemu-system-x86 busybox-static mtd-utils cpio)
pkgs_armhf=(g++-arm-linux-gnueabihf qemu-user)
pkgs_format=(clang-format)
pkgs_bench=(7zip gnuplot-nox)
pkgs_fuzzdiff=(clang libclang-rt-dev liblzma-dev)

want=()
[ $# -gt 0 ] || set -- build
for group in "$@"; do
  case "$group" in
    build) want+=("${pkgs_build[@]}") ;;
    test) want+=("${pkgs_build[@]}" "${pkgs_test[@]}") ;;
    kernel) want+=("${pkgs_kernel[@]}") ;;
    armhf) want+=("${pkgs_armhf[@]}") ;;
    format) want+=("${pkgs_format[@]}") ;;
    bench) want+=("${pkgs_bench[@]}") ;;
    fuzzdiff) want+=("${pkgs_fuzzdiff[@]}") ;;
    all) want+=("${pkgs_build[@]}" "${pkgs_test[@]}" "${pkgs_kernel[@]}" "${pkgs_armhf[@]}" "${pkgs_format[@]}"
                "${pkgs_bench[@]}" "${pkgs_fuzzdiff[@]}") ;;
    *) echo "packages.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
fetch_armhf_zlib() {
  case " $* " in *" armhf "* | *" all "*) "$(dirname "$0")/../cmake/fetch-armhf-zlib.sh" ;; esac
}
if [ ${#missing[@]} -eq 0 ]; then
  fetch_armhf_zlib "$@"
  exit 0
fi

echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fetch_armhf_zlib "$@"
