// SPDX-License-Identifier: MIT
// The flash device layer: geometry, erase with bad-block skipping, and the
// NAND and NOR writers. Every system call goes through plat().
#pragma once

#include <cstdint>

namespace korvane {

inline constexpr int MTD_CLASS_NAND = 1;  // MTD type MTD_NANDFLASH
inline constexpr int MTD_CLASS_NOR = 2;   // every other MTD type
inline constexpr int ERASE_CLEANMARKER = 3;
inline constexpr int WRITE_RAW = 5;       // plain page data
inline constexpr int WRITE_WITH_OOB = 6;  // page records: page data then OOB bytes

struct mtd_geometry {
  int cls;             // MTD_CLASS_NAND, MTD_CLASS_NOR, or -1 when the query failed
  uint32_t size;       // partition size in bytes
  uint32_t erasesize;  // erase block in bytes
  uint32_t writesize;  // page (minimal write unit) in bytes
  uint32_t oobsize;    // OOB bytes per page (0 on NOR)
};

/// @return the device class, or -1 (outputs 0) when MEMGETINFO fails.
int mtd_get_geometry(int fd, uint32_t *size, uint32_t *erasesize, uint32_t *writesize,
                     uint32_t *oobsize);

/// Erases [start, end) erase block by erase block, skipping bad blocks.
/// mode ERASE_CLEANMARKER writes cleanmarkers. @return 0 or -1.
int mtd_erase(int fd, uint32_t start, uint32_t end, int mode, int verbose);

/// The common signature of the writers. Data goes to outfd when it is
/// greater than 0 (the fake MTD file); ioctls and seeks always go to fd.
using mtd_writer = int (*)(int fd, const uint8_t *buf, int len, uint32_t *offset, int mode,
                           int verbose, int outfd);

/// The (page, OOB) geometries the NAND writer serves: 512 + 16, 256 + 8 and
/// 2048 + 64; it refuses every other.
bool nand_geometry_accepted(uint32_t writesize, uint32_t oobsize);

/// @return 0 or -1.
int nand_write_buffer(int fd, const uint8_t *buf, int len, uint32_t *offset, int mode, int verbose,
                      int outfd);
/// @return 0, RES_INVAL, RES_IO or RES_FAULT.
int nor_write_buffer(int fd, const uint8_t *buf, int len, uint32_t *offset, int mode, int verbose,
                     int outfd);

}  // namespace korvane
