// SPDX-License-Identifier: MIT
// Block programming: one flash block of an image into its MTD partition.
// The partition is erased, the payload decoded by its cypher type and
// streamed in erase-block-sized chunks into the NAND or NOR writer; the last
// chunk is padded to the chosen alignment. Simulate (-m) sends the data to a
// fake MTD file, discard (-z) decodes and chunks without touching the device.
#pragma once

#include <cstdint>

#include "codec/zentarc.h"
#include "install/install_settings.h"
#include "mtd/mtd.h"
#include "rom/layout.h"
#include "rom/region.h"

namespace korvane {

/// Piece size of feed_region.
inline constexpr uint32_t FEED_PIECE = 65536;
/// Room behind a chunk in the chunk buffer: one read piece lands there
/// whole, so that a payload is read straight into the buffer.
inline constexpr uint32_t FLASH_SINK_SLACK = FEED_PIECE + 64;

struct flash_sink;

/// A step between the sink and the writer: when set, every chunk goes to
/// deliver in place of the sink's writer (the added install options record,
/// compare or move chunks there). @return 0, or a negative value when the
/// chunk failed.
struct flash_hook {
  int (*deliver)(void *ctx, flash_sink *s, const uint8_t *buf, uint32_t len) = nullptr;
  void *ctx = nullptr;
};

/// Collects decoded bytes for one block and hands them on chunk by chunk.
struct flash_sink {
  int src_fd;         // the image
  int src_length;     // payload length in the image
  mtd_target target;  // the device, the fake file, the data mode and the offset the writer advances
  uint32_t chunk;     // bytes per writer call
  uint8_t *buffer;    // owned by the caller
  uint32_t room;      // bytes of buffer: more than chunk (chunk + FLASH_SINK_SLACK as allocated)
  uint32_t fill;      // bytes waiting in buffer, fewer than chunk between deliveries
  uint32_t total;     // bytes handed on in whole chunks (counted when discarding too)
  mtd_writer writer;
  int verbose;
  int discard;  // chunk and count, but never call the writer
  int failed;   // a chunk write failed: every later delivery is refused
  flash_hook hook;
};

/// Chunk size and final-chunk alignment of a block.
struct flash_layout {
  uint32_t chunk;
  uint32_t align;
};

/// The chunk is one erase block (for OOB blocks on NAND, one erase block of
/// page records); the alignment is the chunk with block_align, else one page
/// (one page record for OOB blocks on NAND).
flash_layout blk_flash_layout(int cls, uint32_t blk_type, uint32_t erasesize, uint32_t writesize,
                              uint32_t oobsize, int block_align);

/// fill rounded up to a multiple of align (align > 0).
uint32_t blk_pad_length(uint32_t fill, uint32_t align);

/// What an install does with a block of a type, before the -o selection.
enum class blk_action {
  leave,    // none, tool, file, script, exe: read and counted, never written
  program,  // nand-raw, nand-oob, nor: programmed into /dev/mtd<id>
  refuse,   // bin, and types beyond the known ones: the block fails
};
blk_action blk_type_action(uint32_t type);

/// @return 1 when the settings select no ids or list id, else 0.
int blk_selected(const install_settings &s, int id);

/// blk_program_mtd's result for a block that was programmed and then read
/// back otherwise (--read-back): the flash holds wrong bytes.
inline constexpr int BLK_READ_BACK_FAILED = -74;

/// The MTD number the block with this id is programmed into: its id, or
/// where the settings' partition map sends it.
int blk_partition(const install_settings &s, int id);

/// Programs one block. blk is the header in file byte order; offset and
/// length locate the payload in fd. Blocks of types none, tool, file, script
/// and exe, and blocks not selected, are left alone.
/// @return 0 when nothing was to be done, the decoded byte count, or a
///         negative value (the reason has been printed): BLK_READ_BACK_FAILED
///         when the read-back failed, another one for any other failure.
int blk_program_mtd(const blk_hdr *blk, int fd, uint64_t offset, uint32_t length,
                    const install_settings &s);

/// Decodes the payload into the open partition dev (or into out_fd when it
/// is greater than 0) with the writer of its device class, in the chunks of
/// lay; the settings give verbose, discard and the pad byte. A hook, when
/// given, takes every chunk in place of the writer.
/// @return the decoded byte count, RES_NOMEM, RES_INVAL (unknown cypher) or
///         RES_FAULT.
int decode_to_flash(const blk_hdr *blk, int fd, uint64_t offset, uint32_t length,
                    const mtd_device &dev, const flash_layout &lay, int out_fd,
                    const install_settings &s, flash_hook hook = {});

/// The decode and the final padded chunk of decode_to_flash, into a sink the
/// caller has set up (chunk a multiple of align).
/// @return the decoded byte count, or a negative value.
int flash_decode(flash_sink *sink, uint32_t cypher, int fd, uint64_t offset, uint32_t length,
                 uint32_t align, uint8_t pad);

/// zentarc_sink over a flash_sink. @return length, or RES_FAULT once a chunk
/// write has failed (nothing after the failed chunk is written).
int flash_sink_put(void *sink, const uint8_t *data, int length);

/// Where a flash_sink takes room for a read piece: behind its fill, when the
/// buffer holds a whole piece behind any fill below one chunk (as
/// decode_to_flash allocates it). @return the place, or nullptr.
uint8_t *flash_sink_room(void *sink, uint32_t n);

/// The flash sink as a region_sink: pieces are read straight into its buffer
/// when it has the room, else copied in by flash_sink_put.
region_sink flash_region_sink(flash_sink *sink);

/// Reads length bytes of fd from offset in pieces of FEED_PIECE bytes
/// (read_region), runs each through transform (when given) and hands it to
/// the sink.
/// @return length, RES_NOMEM, or RES_FAULT when a seek or read fails, the
///         file ends first, or the sink refuses a piece.
int feed_region(int fd, uint64_t offset, uint32_t length, copy_transform transform,
                const region_sink &sink);

}  // namespace korvane
