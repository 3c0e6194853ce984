// SPDX-License-Identifier: MIT
// Runs korvane's execute walk on an image against an in-memory NAND, for the
// peak-memory check of the installation benchmarks.
//   korvane_install_memrun IMAGE PARTITION_MIB store|drop
// "drop" accepts the programmed data without keeping it, so that the peak
// resident set is the installation engine's alone.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/install_mem_nand.h"
#include "install/execute.h"

int main(int argc, char **argv) {
  if (argc != 4 || (std::strcmp(argv[3], "store") != 0 && std::strcmp(argv[3], "drop") != 0)) {
    std::fprintf(stderr, "usage: %s IMAGE PARTITION_MIB store|drop\n", argv[0]);
    return 2;
  }
  korvane::mem_nand dev;
  dev.size = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) << 20;
  dev.store = std::strcmp(argv[3], "store") == 0;
  if (korvane::mem_nand_install(&dev) != 0) return 2;
  // As "korvane -e IMAGE" installs.
  int r = korvane::rom_execute(argv[1], korvane::install_settings{});
  korvane::mem_nand_remove();
  return r < 0 ? 1 : 0;
}
