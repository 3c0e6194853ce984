// SPDX-License-Identifier: MIT
// A NAND partition in memory for the installation benchmarks: /dev/mtd0 as
// a platform table that answers the MTD ioctls, programs page writes into a
// memory image (new = old AND data, as flash does), reads it back and hands every other
// path and descriptor to the real calls. Without a store it accepts and
// drops the data, so that a run measures the installation engine alone.
#pragma once

#include <cstdint>
#include <vector>

namespace korvane {

struct mem_nand {
  uint32_t size = 0;
  uint32_t erasesize = 128u << 10;
  uint32_t writesize = 2048;
  uint32_t oobsize = 64;
  bool store = true;          // keep what is programmed
  std::vector<uint8_t> data;  // size bytes when storing
  std::vector<uint8_t> oob;   // oobsize bytes per page when storing
};

/// Serves /dev/mtd0 from dev until mem_nand_remove(). @return 0, or -1.
int mem_nand_install(mem_nand *dev);
void mem_nand_remove();

}  // namespace korvane
