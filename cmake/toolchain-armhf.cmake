# SPDX-License-Identifier: MIT
# Cross build for the board's 32-bit ARM (armhf) with Debian's cross
# compiler (package g++-arm-linux-gnueabihf). Programs built here run on the
# PC under qemu-arm (package qemu-user) without binfmt: CTest starts every
# test through qemu-arm-run, which also lets the tests start the ARM
# programs they run.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KORVANE_ARM_TRIPLE arm-linux-gnueabihf)
set(KORVANE_ARM_SYSROOT /usr/${KORVANE_ARM_TRIPLE})

set(CMAKE_C_COMPILER ${KORVANE_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KORVANE_ARM_TRIPLE}-g++)

# 64-bit file offsets and inode numbers: without them readdir fails with
# EOVERFLOW on any file system whose directory offsets need 64 bits (as
# every folder does under qemu-arm on a 64-bit PC), and files stop at 2 GiB.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

set(CMAKE_FIND_ROOT_PATH ${KORVANE_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-arm -L ${KORVANE_ARM_SYSROOT}, by way of a launcher that points
# KORVANE_BIN_DIR at qemu-arm launchers of the programs built here.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/qemu-arm-run;-L;${KORVANE_ARM_SYSROOT}")

# Sources that the build compiles for the target itself; they do not depend
# on the architecture, so they are taken from the PC's distribution.
set(LzmaSdk_INCLUDE_DIR /usr/include/lzma CACHE PATH
    "Folder holding the LZMA SDK's C sources and headers")
set(KORVANE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, built for the target")
# Libraries for the target (zlib): Debian's armhf -dev packages, unpacked
# into .armhf-cache/sysroot by cmake/fetch-armhf-libs.sh (scripts/packages.sh
# armhf runs it), found there as in the cross toolchain's own folder.
get_filename_component(KORVANE_ARMHF_LIBS "${CMAKE_CURRENT_LIST_DIR}/../.armhf-cache/sysroot" ABSOLUTE)
list(APPEND CMAKE_FIND_ROOT_PATH ${KORVANE_ARMHF_LIBS})
