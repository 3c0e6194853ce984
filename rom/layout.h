// SPDX-License-Identifier: MIT
// The on-disk image format: the 128-byte rom and block headers, their
// enumerations and the flag word. Headers live in memory in file byte order
// (every integer big-endian); fields are read and set through be32.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane {

inline constexpr uint32_t ROM_MAGIC = 0xAD24EC0B;
inline constexpr uint32_t BLK_MAGIC = 0xEB9F56C9;
inline constexpr uint32_t ROM_HDR_SIZE = 128;       // every header as written
inline constexpr uint32_t ROM_BLK_HSIZE_MAX = 144;  // walks stop at a larger block hsize
inline constexpr uint32_t ROM_BLK_ALIGN = 16;       // payloads are padded to this

// Block types.
inline constexpr uint32_t ROM_BLK_TYPE_NONE = 0;
inline constexpr uint32_t ROM_BLK_TYPE_BIN = 1;
inline constexpr uint32_t ROM_BLK_TYPE_TOOL = 2;
inline constexpr uint32_t ROM_BLK_TYPE_FILE = 3;
inline constexpr uint32_t ROM_BLK_TYPE_NAND_RAW = 4;
inline constexpr uint32_t ROM_BLK_TYPE_NAND_OOB = 5;
inline constexpr uint32_t ROM_BLK_TYPE_NOR = 6;
inline constexpr uint32_t ROM_BLK_TYPE_SCRIPT = 7;
inline constexpr uint32_t ROM_BLK_TYPE_EXE = 8;

/// The types an install programs into the MTD partition named by the id:
/// nand-raw, nand-oob and nor.
constexpr bool blk_type_is_flash(uint32_t type) {
  return type == ROM_BLK_TYPE_NAND_RAW || type == ROM_BLK_TYPE_NAND_OOB || type == ROM_BLK_TYPE_NOR;
}

// Cypher types: the encoding of a payload. The gap between 4 and 128 is part
// of the format.
inline constexpr uint32_t ROM_BLK_CT_NONE = 0;
inline constexpr uint32_t ROM_BLK_CT_CYPHER1 = 1;  // LZMA stream
inline constexpr uint32_t ROM_BLK_CT_CYPHER2 = 2;  // run-length block format
inline constexpr uint32_t ROM_BLK_CT_CYPHER3 = 3;  // scrambler, 32-byte key period
inline constexpr uint32_t ROM_BLK_CT_CYPHER4 = 4;  // scrambler, 64-byte key period
inline constexpr uint32_t ROM_BLK_CT_AES = 0x80;   // never encoded: stored as none
inline constexpr uint32_t ROM_BLK_CT_DES = 0x81;   // never encoded: stored as none

// Data kinds (informational).
inline constexpr uint32_t ROM_BLK_DATA_RAW = 0;
inline constexpr uint32_t ROM_BLK_DATA_FILE = 2;

// Flag word of both headers and of the command line.
inline constexpr uint32_t ROM_FLAG_FORCE = 0x1;
inline constexpr uint32_t ROM_FLAG_TOOL = 0x2;
inline constexpr uint32_t ROM_VERIFY_MASK = 0xFF00;  // the verify kind is a value, not bits
inline constexpr uint32_t ROM_VERIFY_CRC = 0x100;
inline constexpr uint32_t ROM_VERIFY_CHECKSUM = 0x200;

/// A 32-bit field stored big-endian.
struct be32 {
  uint32_t raw;  // file byte order

  static constexpr uint32_t swap(uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) return v;
    return __builtin_bswap32(v);
  }
  constexpr uint32_t get() const { return swap(raw); }
  constexpr void set(uint32_t v) { raw = swap(v); }
};
static_assert(sizeof(be32) == 4);

struct alignas(4) rom_hdr {
  be32 magic;   // ROM_MAGIC
  be32 hsize;   // header size; the first block starts here
  be32 hcrc;    // CRC-32 over hsize bytes with this field zero
  be32 format;  // 2 as written; shown, never checked
  be32 flags;   // flag word
  be32 length;  // bytes of blocks after the header
  be32 verify;  // 0xFFFFFFFF as written; never computed
  be32 blocks;  // number of blocks
  be32 dev_id;
  char dev_name[16];  // text fields: NUL-padded, no NUL when full
  char oem_name[16];
  char version[24];
  uint8_t reserved[36];
};
static_assert(sizeof(rom_hdr) == ROM_HDR_SIZE);
static_assert(offsetof(rom_hdr, magic) == 0);
static_assert(offsetof(rom_hdr, hsize) == 4);
static_assert(offsetof(rom_hdr, hcrc) == 8);
static_assert(offsetof(rom_hdr, format) == 12);
static_assert(offsetof(rom_hdr, flags) == 16);
static_assert(offsetof(rom_hdr, length) == 20);
static_assert(offsetof(rom_hdr, verify) == 24);
static_assert(offsetof(rom_hdr, blocks) == 28);
static_assert(offsetof(rom_hdr, dev_id) == 32);
static_assert(offsetof(rom_hdr, dev_name) == 36);
static_assert(offsetof(rom_hdr, oem_name) == 52);
static_assert(offsetof(rom_hdr, version) == 68);
static_assert(offsetof(rom_hdr, reserved) == 92);

struct alignas(4) blk_hdr {
  be32 magic;   // BLK_MAGIC
  be32 hsize;   // the payload starts hsize bytes after the header
  be32 hcrc;    // CRC-32 over hsize bytes with this field zero
  be32 format;  // 1 as written
  be32 flags;   // flag word; its verify kind says how verify was formed
  be32 length;  // payload bytes as stored, without padding
  be32 total;   // hsize + length rounded up to 16: distance to the next header
  be32 verify;  // CRC-32 or sum32 of the payload, 0xFFFFFFFF for no check
  be32 type;    // block type
  be32 id;      // block id; for flash types the N of /dev/mtdN
  char name[16];
  char version[24];
  be32 cypher;  // cypher type of the payload
  be32 data;    // data kind
  uint8_t reserved[40];
};
static_assert(sizeof(blk_hdr) == ROM_HDR_SIZE);
static_assert(offsetof(blk_hdr, magic) == 0);
static_assert(offsetof(blk_hdr, hsize) == 4);
static_assert(offsetof(blk_hdr, hcrc) == 8);
static_assert(offsetof(blk_hdr, format) == 12);
static_assert(offsetof(blk_hdr, flags) == 16);
static_assert(offsetof(blk_hdr, length) == 20);
static_assert(offsetof(blk_hdr, total) == 24);
static_assert(offsetof(blk_hdr, verify) == 28);
static_assert(offsetof(blk_hdr, type) == 32);
static_assert(offsetof(blk_hdr, id) == 36);
static_assert(offsetof(blk_hdr, name) == 40);
static_assert(offsetof(blk_hdr, version) == 56);
static_assert(offsetof(blk_hdr, cypher) == 80);
static_assert(offsetof(blk_hdr, data) == 84);
static_assert(offsetof(blk_hdr, reserved) == 88);

/// Offset of the hcrc field in both headers.
inline constexpr size_t HDR_HCRC_OFFSET = 8;

/// A text field up to its first NUL, never past its width.
std::string text_field(const char *field, size_t width);

/// Writes text into a field: copied up to the width, the rest zero-filled.
void set_text_field(char *field, size_t width, const char *text);

template <size_t N>
std::string text_field(const char (&field)[N]) {
  return text_field(field, N);
}
template <size_t N>
void set_text_field(char (&field)[N], const char *text) {
  set_text_field(field, N, text);
}

/// Rounds a payload length up to ROM_BLK_ALIGN.
constexpr uint32_t blk_padded(uint32_t length) {
  return (length + (ROM_BLK_ALIGN - 1)) & ~(ROM_BLK_ALIGN - 1);
}

}  // namespace korvane
