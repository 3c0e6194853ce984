// SPDX-License-Identifier: MIT
// An image as the tools that list, extract or check its blocks see it
// (korvane-mkrom): opened and looked at without a word, then walked quietly
// by the block walk (rom/walk.h) with the readers' rules, every block it
// reaches kept. A rom header whose CRC does not match is taken and said to
// be bad; what is odd is recorded, never printed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rom/staged.h"
#include "rom/walk.h"

namespace korvane {

struct image_scan {
  /// The open image (walk.fd), its kind, rom header and size, and where and
  /// why the walk ended (walk.end).
  rom_walk walk;
  bool rom_hcrc_ok = false;          // a rom image: its header CRC matches
  std::vector<rom_walk_blk> blocks;  // every block the walk handed on, in order
};

/// Opens path read-only and walks it. verify: each payload whose flags name
/// a check is verified (the blocks' `verified`). progress, when given, hears
/// after each block how far into the file the walk has come. A file with
/// neither magic, or a rom header larger than 128 bytes, is refused.
/// @return 0, or -1 with *error set.
int image_scan_open(const char *path, image_scan *scan, bool verify,
                    const staged_progress *progress, std::string *error);

/// Whether the walk reached the end of the file, rather than stopping at a
/// header it cannot walk past.
bool scan_reached_end(const image_scan &scan);

/// Why the walk ended, as the tools say it: "end of file", "header size",
/// "total below a header" or "beyond 4 GiB".
const char *scan_end_name(const image_scan &scan);

/// Whether a block's payload matches its check: 1, 0, or -1 when its flags
/// name no check (nor CRC nor checksum) or it was not verified.
int scan_payload_ok(const rom_walk_blk &b);

/// "crc", "checksum" or "none": the check a flag word names.
const char *verify_kind_name(uint32_t flags);

}  // namespace korvane
