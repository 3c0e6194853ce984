// SPDX-License-Identifier: MIT
// Writing images: creating a rom image, building a block in memory from a
// file (encoding, padding, sealing its header), appending a block to an
// image, and rescanning an image to bring its header up to date.
// Every operation prints its own failure message; callers pass results on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "rom/layout.h"

namespace korvane {

/// What a block is made of, in host byte order: the fields of a blk_hdr that
/// the builder reads. Text fields follow the header's rules (NUL-padded, no
/// NUL when full).
struct blk_desc {
  uint32_t flags = 0;                           // flag word; its verify kind picks the check
  uint32_t type = ROM_BLK_TYPE_NONE;            // block type
  uint32_t id = 0;                              // block id (the N of /dev/mtdN for flash types)
  char name[sizeof(blk_hdr::name)] = {};        // 16 bytes
  char version[sizeof(blk_hdr::version)] = {};  // 24 bytes
  uint32_t cypher = ROM_BLK_CT_NONE;            // reset to none by the builder for AES and DES
  uint32_t data = ROM_BLK_DATA_RAW;             // data kind (informational)
};

struct blk_buffer_free {
  void operator()(uint8_t *p) const { std::free(p); }
};

/// A built block: the 128-byte header in file byte order, then the payload
/// and its zero padding; `total` bytes of it are meaningful. The payload
/// starts 4-byte aligned.
using blk_buffer = std::unique_ptr<uint8_t[], blk_buffer_free>;

/// Creates (or truncates) path as a rom image holding only its header. A
/// new file gets the permission bits mode, less the umask; an existing one
/// keeps its own. @return 0 or RES_FAULT.
int rom_create(const char *path, uint32_t dev_id, const char *dev_name, const char *oem_name,
               const char *version, uint32_t flags, mode_t mode = 0777);

/// The payload area the builder gives an input file of size bytes: 25 %
/// headroom for encoders that expand the data, rounded up to the block
/// alignment. An encoding that needs more fails.
uint64_t rom_payload_capacity(uint64_t size);

/// Builds a block from the bytes of path from offset to its end, encoded by
/// desc->cypher, and prints its summary. desc->cypher becomes none for AES and
/// DES. When blk and total are both given the block is handed out,
/// otherwise it is released.
/// @return 0, RES_FAULT, or RES_NOMEM when the buffer cannot be allocated.
int rom_build_blk(const char *path, uint64_t offset, blk_desc *desc, blk_buffer *blk,
                  uint32_t *total);

/// Releases a built block (empty or not). @return 0
int rom_free_blk(blk_buffer &blk);

/// Builds a block and appends it to the rom image at rom_path with the
/// header brought up to date, through rom_append_built (rom/append.h): on
/// any failure or interruption the image is left as it was, and an image
/// whose header disagrees with its blocks is refused.
/// @return 0 or RES_FAULT.
int rom_append_blk(const char *rom_path, const char *path, uint64_t offset, blk_desc *desc);

/// Walks the blocks of a rom image and rewrites the header's length, blocks
/// and hcrc. A walk that cannot go on (bad magic, a total below the header
/// size, an image past 4 GiB) fails without touching the header.
/// @return 0 or RES_FAULT.
int rom_rescan(const char *path);

}  // namespace korvane
