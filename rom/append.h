// SPDX-License-Identifier: MIT
// Appending a built block to a rom image so that an interruption can never
// leave a damaged image: the image up to the end of its blocks, the new
// block and the updated rom header are written to a new version beside it
// (rom/staged.h) that replaces it in one step. An interrupted append (a
// kill, a full disk, a file-size limit, a power cut) leaves the image as it
// was; a completed one leaves the header counting every block.
//
// Before appending, the image must agree with its header: the blocks from
// the header's end must fill exactly the header's length and be as many as
// it counts. Bytes after that length are taken back only when they cannot
// hold a whole block (what an interrupted write of an older tool left);
// anything else is refused, never appended to.
#pragma once

#include <cstdint>
#include <string>

#include "rom/staged.h"

namespace korvane {

struct append_options {
  /// A flash block (nand-raw, nand-oob, nor) whose id an earlier flash block
  /// of the image already has is refused unless this is set: on the board
  /// the second would replace the first.
  bool allow_same_id = false;
  staged_progress progress;  // over the bytes of the new version
};

/// Results besides 0.
inline constexpr int APPEND_REFUSED = -1;  // the image or the block is refused, nothing written
inline constexpr int APPEND_FAILED = -2;   // writing failed; the image is as it was

/// Checks that a block of this type and id may be appended to the image at
/// path (type and id are not looked at when have_block is false).
/// @return 0, or APPEND_REFUSED with *error saying why, or APPEND_FAILED
///         when the image cannot be read.
int rom_append_check(const char *path, bool have_block, uint32_t type, uint32_t id,
                     const append_options &opts, std::string *error);

/// Appends the built block blk (header in file byte order, then the
/// payload; total bytes) to the rom image at path. *note, when not empty
/// afterwards, says what was taken back.
/// @return 0, APPEND_REFUSED or APPEND_FAILED with *error set.
int rom_append_built(const char *path, const uint8_t *blk, uint32_t total,
                     const append_options &opts, std::string *error, std::string *note);

}  // namespace korvane
