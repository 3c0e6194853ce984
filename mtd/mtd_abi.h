// SPDX-License-Identifier: MIT
// The kernel's MTD interface as the build machine's headers give it, so the
// request numbers and records match the machine the program runs on. On the
// 32-bit ARM board they are the numbers below; on a 64-bit host MEMWRITEOOB
// differs because its record holds a pointer. MEMGETOOBSEL encodes the size
// of nand_oobinfo, which these headers give with 32 ECC positions.
#pragma once

// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#if defined(__arm__) && !defined(__aarch64__)
static_assert(MEMGETINFO == 0x80204d01);
static_assert(MEMERASE == 0x40084d02);
static_assert(MEMWRITEOOB == 0xc00c4d03);
static_assert(MEMGETBADBLOCK == 0x40084d0b);
#endif
static_assert(sizeof(mtd_info_user) == 32 && sizeof(erase_info_user) == 8);
static_assert(MTD_NANDFLASH == 4 && MTD_NANDECC_AUTOPLACE == 2);
