// SPDX-License-Identifier: MIT
// For the installation tests: images built with the image writer, header
// damage, and a model of what programming leaves on a NAND partition.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "rom/layout.h"

namespace korvane::install_test {

/// Bytes that repeat only every 251, so misplaced chunks show.
std::string pattern(size_t n, int seed = 0);

/// Compressible content: text, runs of 0xFF and patterned bytes.
std::string firmware_like(size_t n, int seed = 0);

struct blk_input {
  uint32_t type = ROM_BLK_TYPE_NAND_RAW;
  uint32_t id = 0;
  std::string name = "blk";
  uint32_t cypher = ROM_BLK_CT_NONE;
  std::string content;
  uint32_t flags = 0;
};

/// Where a block landed in the image, and its payload as stored.
struct blk_place {
  uint64_t offset;  // of the header
  uint32_t hsize, length, total;
  std::string stored;
};

/// Builds a rom image (or, with rom false, a file of blocks without a rom
/// header) at path; content files are written beside it. AES and DES blocks
/// are built as none and their cypher field set afterwards (the writer never
/// records them). Throws when building fails.
std::vector<blk_place> build_image(const std::string &path, const std::vector<blk_input> &inputs,
                                   bool rom = true);

/// Edits the header of the block at offset; with reseal its hcrc is computed
/// again over hsize bytes of the file.
void edit_header(const std::string &path, uint64_t offset,
                 const std::function<void(blk_hdr &)> &edit, bool reseal = true);

/// What a block means on flash: the decoded payload (the stored bytes for
/// none, cypher2, AES and DES; the content for the others).
std::string decoded(const blk_input &input, const blk_place &place);

/// bytes padded with pad to a multiple of align.
std::string padded(std::string bytes, uint32_t align, uint8_t pad);

struct nand_geom {
  uint32_t size, erasesize, writesize, oobsize;
  std::vector<uint32_t> bad;                           // erase-block numbers
  std::vector<std::pair<uint32_t, uint32_t>> oobfree;  // (offset, length)
};

/// The data and OOB images of a freshly erased NAND partition after bytes
/// were programmed from offset 0, page after page on the good blocks: raw
/// (a short last page padded with 0xFF) or as page records whose free OOB
/// bytes are placed (every other OOB byte stays 0xFF).
void nand_expect(const nand_geom &g, const std::string &bytes, bool with_oob, std::string *data,
                 std::string *oob);

/// oob (oobsize bytes a page) with the given ranges of every page set to
/// 0xFF: what is left to compare once the device's own ECC bytes are set aside.
std::string without_ranges(std::string oob, uint32_t oobsize,
                           const std::vector<std::pair<uint32_t, uint32_t>> &ranges);

/// The device-changing lines (erase, write, oobwrite) of an event log for
/// one partition ("mtd0"), or for all when mtd is empty.
std::vector<std::string> device_changes(const std::string &events, const std::string &mtd = "");

/// Whether actual is the expected output, where "%m" in expected stands for
/// any system error text.
bool matches(const std::string &expected, const std::string &actual);

}  // namespace korvane::install_test
