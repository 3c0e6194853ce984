// SPDX-License-Identifier: MIT
// Reading a partition back through the device object, and the requests
// that go with a check of what landed: the driver's ECC counters and
// marking a worn erase block bad. Every call goes through plat() and prints
// nothing; the caller says what failed in its own words.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "mtd/mtd.h"

namespace korvane {

/// The driver's ECC counters of a partition (ECCGETSTATS).
struct mtd_ecc_counts {
  uint32_t corrected = 0;  // bitflips the ECC corrected
  uint32_t failed = 0;     // ECC steps it could not correct
};

/// Reads len bytes at offset through the MTD read path (lseek and read, so
/// the driver's ECC applies). @return 0, or -1 with errno set (EIO when the
/// device ends first).
int mtd_read_at(const mtd_device &dev, uint32_t offset, uint8_t *buf, uint32_t len);

/// Reads len OOB bytes of the page at page_offset (MEMREADOOB).
/// @return 0, or -1 with errno set.
int mtd_read_oob(const mtd_device &dev, uint32_t page_offset, uint8_t *buf, uint32_t len);

/// Asks the ECC counters (ECCGETSTATS). @return 0, or -1 with errno set.
int mtd_ecc_count(const mtd_device &dev, mtd_ecc_counts *counts);

/// Marks the erase block at offset bad (MEMSETBADBLOCK).
/// @return 0, or -1 with errno set.
int mtd_mark_bad(const mtd_device &dev, uint32_t offset);

/// The free OOB ranges (offset, length) the NAND writer places a page
/// record's OOB bytes into, as it reads them from MEMGETOOBSEL: up to the
/// first empty range, a range cut at the end of the OOB area, one past it
/// left out. @return 0, or -1 with errno set.
int mtd_oob_free(const mtd_device &dev, std::vector<std::pair<uint32_t, uint32_t>> *ranges);

}  // namespace korvane
