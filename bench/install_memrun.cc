// SPDX-License-Identifier: MIT
// Runs korvane's execute walk on an image against an in-memory NAND, for the
// peak-memory check of the installation benchmarks.
//   korvane_install_memrun IMAGE PARTITION_MIB store|drop [preflight]
// "drop" accepts the programmed data without keeping it, so that the peak
// resident set is the installation engine's alone; "preflight" runs the
// preflight first, as korvane --preflight -e does.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/install_mem_nand.h"
#include "install/execute.h"
#include "install/preflight.h"

int main(int argc, char **argv) {
  const bool preflight = argc == 5 && std::strcmp(argv[4], "preflight") == 0;
  if ((argc != 4 && !preflight) ||
      (std::strcmp(argv[3], "store") != 0 && std::strcmp(argv[3], "drop") != 0)) {
    std::fprintf(stderr, "usage: %s IMAGE PARTITION_MIB store|drop [preflight]\n", argv[0]);
    return 2;
  }
  korvane::mem_nand dev;
  dev.size = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) << 20;
  dev.store = std::strcmp(argv[3], "store") == 0;
  if (korvane::mem_nand_install(&dev) != 0) return 2;
  // As "korvane -e IMAGE" (or "korvane --preflight -e IMAGE") installs.
  korvane::install_settings s;
  s.preflight = preflight;
  korvane::rom_walk w;
  int r = korvane::rom_walk_open(&w, argv[1], O_RDONLY);
  if (r >= 0 && preflight) r = korvane::preflight_check(&w, s);
  if (r >= 0) r = korvane::rom_execute_walk(&w, s);
  korvane::mem_nand_remove();
  return r < 0 ? 1 : 0;
}
