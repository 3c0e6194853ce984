// SPDX-License-Identifier: MIT
// The block walk: every reader of an image (info and extraction, the
// install, the rescan of the builder) steps from header to header through
// this one loop and does its own work per block.
//
//   rom_walk w;
//   if (rom_walk_open(&w, path, O_RDONLY) < 0) return RES_FAULT;
//   ... w.kind, w.rom ...
//   int r = rom_walk_blocks(&w, steps, rules);
//   ... w.end says why and where the walk ended; w.fd is still open ...
#pragma once

#include <cstddef>
#include <cstdint>

#include "rom/io.h"
#include "rom/layout.h"
#include "rom/load.h"

namespace korvane {

/// A block header as the walk reads it: 128 bytes, then up to 16 bytes more
/// that an hsize from 129 to 144 covers. Those are the next bytes of the
/// file (the payload starts after them), zero where the file ends, so the
/// header CRC is always taken over exactly hsize bytes of a defined buffer.
struct alignas(4) blk_hdr_buf {
  blk_hdr hdr;
  uint8_t extra[ROM_BLK_HSIZE_MAX - ROM_HDR_SIZE];
};
static_assert(sizeof(blk_hdr_buf) == ROM_BLK_HSIZE_MAX);
static_assert(offsetof(blk_hdr_buf, extra) == ROM_HDR_SIZE);

/// Offsets in an image are 32-bit: a walk never goes past this.
inline constexpr uint64_t ROM_WALK_LIMIT = 0xFFFFFFFFull;

/// Why a walk ended.
enum class rom_walk_stop {
  end_of_file,  // the last block ended exactly at the end of the file
  trailing,     // fewer than 128 bytes follow the last block (the walk's normal end)
  past_end,     // the last block's total reaches past the end of the file, its payload does not
  cut_short,    // the last block's header or payload reaches past the end of the file
  hsize_limit,  // a header size above the limit (the walk still succeeds)
  bad_magic,    // with rules.need_magic: a header without the block magic
  total_small,  // a total below one header, zero included: the walk would stall
  total_wraps,  // a total that carries the walk past 4 GiB
  seek_failed,  // the seek to a header failed
  read_failed,  // a header could not be read
  step_failed,  // a step ended the walk with its negative result
};

/// Where and why a walk ended.
struct rom_walk_end {
  rom_walk_stop why = rom_walk_stop::end_of_file;
  int result = 0;  // what rom_walk_blocks returned
  int blocks = 0;  // blocks walked over whole (handed to the step and stepped past)
  // The header that ended the walk, or where the walk stood after the last block.
  uint64_t offset = 0;
  uint32_t value = 0;  // hsize_limit: the hsize; bad_magic: the magic; total_*: the total
  int error = 0;       // seek_failed, read_failed: the errno of the failed call
};

/// One block as the walk hands it to a step.
struct rom_walk_blk {
  int fd;            // the image, for reading the payload (any position may be left)
  int index;         // from 0, every block visited
  uint64_t offset;   // of the header in the file
  blk_hdr_buf buf;   // the header as stored (hcrc included), see blk_hdr_buf
  uint32_t hsize;    // the payload starts hsize bytes after the header
  uint32_t hcrc;     // the stored header CRC
  bool hcrc_ok;      // crc32 over hsize bytes, hcrc zero, matches it (false past 144 bytes)
  int verified;      // payload check: -1 not made, 0 good, negative bad (rom_verify_blk's result)
  uint64_t payload;  // offset + hsize
  uint32_t length;   // payload bytes as stored
  uint32_t total;    // distance to the next header
  bool cut_short;    // the header or the payload reaches past the end of the file
};

/// What a walk's user does on the way. Every hook may be null.
struct rom_walk_steps {
  void *ctx = nullptr;
  /// A header was reached: called before the walk says or checks anything
  /// about it. hdr is its first 128 bytes, or nullptr when they could not be
  /// read (the walk then reports why and ends).
  void (*at)(void *ctx, int index, uint64_t offset, const blk_hdr *hdr) = nullptr;
  /// A block whose header passed the walk's checks.
  /// @return 0 to go on, or a negative result that ends the walk with it.
  int (*block)(void *ctx, const rom_walk_blk &b) = nullptr;
};

/// How a walk checks its blocks.
struct rom_walk_rules {
  /// The limit a header size is held to: ROM_BLK_HSIZE_MAX (the readers),
  /// or the size of the file (the builder's rescan).
  bool hsize_to_file = false;
  /// A header without the block magic ends the walk (the rescan).
  bool need_magic = false;
  /// A flag word whose verify kind, when the block's flags carry one as
  /// well, has each payload checked with rom_verify_blk before the step.
  uint32_t verify = 0;
  /// Print nothing, the payload checks included: the end record and the
  /// blocks' `verified` alone say what happened.
  bool quiet = false;
};

/// An open image and where its walk stands. The descriptor stays open until
/// the object goes, for a second pass over the same file.
struct rom_walk {
  unique_fd fd{-1, rom_close};  // the image; closed only when greater than 0
  const char *path = nullptr;
  uint64_t size = 0;   // of the file when opened: the walk reads no header that ends past it
  int kind = -1;       // ROM_CHECK_ROM or ROM_CHECK_BLK
  rom_hdr rom{};       // the rom header as read (zero for a block file)
  uint64_t first = 0;  // offset of the first block header
  rom_walk_end end;    // after rom_walk_blocks
};

/// Opens path with rom_open, seeks to its start and reads the rom header of
/// a rom image. Every failure prints its message (rom_open's, or "failed to
/// seek file", "failed to read rom or block file" with the path).
/// @return ROM_CHECK_ROM, ROM_CHECK_BLK, or RES_FAULT (nothing is left open).
int rom_walk_open(rom_walk *w, const char *path, int open_flags);

/// Sets w up to walk fd, an image that its user has opened and looked at in
/// its own words (korvane-mkrom's readers and its append): w takes the
/// descriptor over, nothing is read or printed. The walk starts at first
/// and reads headers while a whole one fits below size: the file's size, or
/// less to walk only the part before it. A second pass may set w->first and
/// w->size anew.
void rom_walk_attach(rom_walk *w, int fd, const char *path, uint64_t size, int kind,
                     const rom_hdr &rom, uint64_t first);

/// Walks the blocks from w->first while a whole 128-byte header fits in the
/// file. Per header: the 128 bytes read; the `at` hook; the magic (with
/// need_magic) and the header size checked; the bytes up to hsize (at most
/// 144) read; the header CRC and, when asked, the payload checked; the
/// `block` hook; the next header `total` bytes on. Unless quiet, every end
/// but the normal ones prints its message (see rom_walk_report).
/// @return 0 when the walk reached the end of the file or a header larger
///         than the limit, RES_FAULT when a header could not be read or a
///         total cannot move the walk, or the negative result of a step.
int rom_walk_blocks(rom_walk *w, const rom_walk_steps &steps, const rom_walk_rules &rules);

/// Prints the walk's own message for an end: "failed to seek block" and
/// "failed to read block" (with the path and the end's errno), "suck
/// ,invalid blk header size" (hsize_limit), "invalid block magic found"
/// (bad_magic), "invalid blk total" (total_small, total_wraps). The ends at
/// the end of the file and step_failed have none.
void rom_walk_report(const rom_walk_end &end, const char *path);

}  // namespace korvane
