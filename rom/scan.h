// SPDX-License-Identifier: MIT
// A quiet walk over an image that collects every block header as korvane's
// walk finds it (by the file's size, from the rom header's hsize, or from 0
// in a block file), for tools that list, extract or check blocks. Nothing
// is printed; what is odd is recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rom/io.h"
#include "rom/layout.h"

namespace korvane {

struct scan_block {
  uint32_t index;
  uint64_t offset;  // of the header
  blk_hdr hdr;      // the first 128 bytes, as stored
  bool hcrc_ok;     // over hsize bytes (up to 144), hcrc taken as zero
  bool complete;    // its length payload bytes lie inside the file

  uint32_t hsize() const { return hdr.hsize.get(); }
  uint32_t length() const { return hdr.length.get(); }
  uint64_t payload() const { return offset + hdr.hsize.get(); }
};

/// Why the walk ended.
enum scan_end : int {
  SCAN_END_FILE,         // fewer than 128 bytes were left
  SCAN_END_HEADER_SIZE,  // a header size above 144 (korvane stops there)
  SCAN_END_TOTAL,        // a total below one header
  SCAN_END_4GIB,         // a total that carries the walk past 4 GiB
};

struct image_scan {
  int kind = -1;  // ROM_CHECK_ROM or ROM_CHECK_BLK
  uint64_t size = 0;
  rom_hdr rom{};  // kind ROM_CHECK_ROM: the rom header as stored
  bool rom_hcrc_ok = false;
  std::vector<scan_block> blocks;
  scan_end end = SCAN_END_FILE;
  uint64_t end_offset = 0;  // where the walk ended
};

/// Opens path read-only into *fd and walks it. A file with neither magic, or
/// a rom header larger than 128 bytes, is refused.
/// @return 0, or -1 with *error set.
int image_scan_open(const char *path, unique_fd *fd, image_scan *scan, std::string *error);

/// Checks a block's payload against its verify kind. @return 1 when it
/// matches, 0 when not, -1 when the block carries no check (or the file
/// ends first: 0).
int scan_verify_payload(int fd, const scan_block &b);

/// "crc", "checksum" or "none": the check a flag word names.
const char *verify_kind_name(uint32_t flags);

}  // namespace korvane
