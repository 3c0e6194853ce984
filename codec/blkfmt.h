// SPDX-License-Identifier: MIT
// The run-length block format of cypher2: a 48-byte header and segments of
// literal bytes or runs. Every multi-byte field is little-endian.
// Segment: length (2 bytes, unpacked bytes it stands for), kind, 0xFF, then
// the one byte of a run or the length bytes of a literal.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

inline constexpr uint32_t BLKFMT_MAGIC = 0x8D1A925C;
inline constexpr uint32_t BLKFMT_HDR_SIZE = 48;
inline constexpr uint32_t BLKFMT_VERSION = 1;
inline constexpr uint32_t BLKFMT_SEG_HDR_SIZE = 4;
inline constexpr int BLKFMT_SEG_LITERAL = 1;
inline constexpr int BLKFMT_SEG_RUN = 2;
inline constexpr int BLKFMT_MIN_RUN = 6;      // smaller minimum runs are raised to this
inline constexpr int BLKFMT_MAX_SEG = 65535;  // larger maximum segments are cut to this

/// A 32-bit field stored little-endian, at any alignment.
struct le32 {
  uint8_t b[4];

  constexpr uint32_t get() const {
    return b[0] | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  }
  constexpr void set(uint32_t v) {
    for (int i = 0; i < 4; i++) b[i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

struct blkfmt_hdr {
  le32 magic;      // BLKFMT_MAGIC
  le32 version;    // BLKFMT_VERSION
  le32 hsize;      // BLKFMT_HDR_SIZE
  le32 reserved;   // 0
  le32 user1;      // the builder stores the CRC-32 of the unpacked content
  le32 user2;      // the builder stores 0
  le32 unpacked;   // input length in bytes
  le32 packed;     // header plus all segments, in bytes
  le32 segments;   // number of segments
  le32 min_run;    // minimum run length used (at least 6)
  le32 max_seg;    // maximum segment length used (at most 65535)
  le32 seg_hsize;  // BLKFMT_SEG_HDR_SIZE
};
static_assert(sizeof(blkfmt_hdr) == BLKFMT_HDR_SIZE);

/// Packs input into output. *size: capacity in, bytes produced out.
/// @return 0, RES_FAULT or RES_INVAL.
int blkfmt_encode(const uint8_t *in, int len, uint8_t *out, int *size, int min_run, int max_seg,
                  uint32_t user1, uint32_t user2);

struct blkfmt_segment {
  int length;  // unpacked bytes
  int kind;    // BLKFMT_SEG_LITERAL or BLKFMT_SEG_RUN
};

/// The segment that starts at `in`, within min(room, remaining) bytes
/// (remaining at least 1): a run when it fills that window or reaches
/// min_run, else a literal up to the first run of min_run equal bytes.
blkfmt_segment blkfmt_next_segment(const uint8_t *in, int remaining, int min_run, int room);

/// Packs len bytes of in_fd (len 0 or less: the whole file) and writes them
/// to out_fd with one write. Both are positioned at 0 first.
/// @return 0, RES_FAULT or RES_INVAL.
int blkfmt_encode_fd(int in_fd, int len, int out_fd, int min_run, int max_seg, uint32_t user1,
                     uint32_t user2);

/// Either out argument may be null. @return 0, or RES_FAULT without the magic.
int blkfmt_get_sizes(const void *hdr, uint32_t *unpacked, uint32_t *packed);
int blkfmt_get_user(const void *hdr, uint32_t *user1, uint32_t *user2);

/// Streaming decoder context, allocated by the caller: this record followed
/// directly by the input buffer, blkfmt_dec_size(room) bytes in all.
struct blkfmt_dec {
  blkfmt_hdr hdr;     // copy of the stream's header; magic 0 until fed
  uint32_t buffered;  // packed bytes held and not yet decoded
  uint32_t fill;      // where the next fed bytes go (equal to buffered)
  uint32_t output;    // decoded bytes waiting in the caller's output buffer
  uint32_t room;      // size of the input buffer after this record
};

/// Input room for any feed of n bytes: n plus one segment left over.
inline constexpr size_t BLKFMT_DEC_ROOM_EXTRA = BLKFMT_SEG_HDR_SIZE + BLKFMT_MAX_SEG;
inline constexpr size_t blkfmt_dec_size(size_t room) { return sizeof(blkfmt_dec) + room; }
inline uint8_t *blkfmt_dec_input(blkfmt_dec *ctx) { return reinterpret_cast<uint8_t *>(ctx + 1); }

/// size: bytes of the whole context (record and input buffer). @return 0, or RES_FAULT.
int blkfmt_dec_init(blkfmt_dec *ctx, size_t size);
/// The first feed must start with the 48-byte header. Bytes that would not
/// fit the input buffer are refused whole. @return 0, or RES_FAULT.
int blkfmt_dec_feed(blkfmt_dec *ctx, const uint8_t *bytes, int n);
/// Decodes one segment to out + output; *count gets the decoded bytes
/// waiting in out. The output buffer must hold them plus one segment.
/// @return 0, or RES_FAULT when more input is needed or the stream is bad.
int blkfmt_dec_step(blkfmt_dec *ctx, uint8_t *out, int *count);
/// Drops the first n decoded bytes of out (the caller has used them).
/// @return the bytes taken, or RES_FAULT.
int blkfmt_dec_take(blkfmt_dec *ctx, uint8_t *out, int n);

}  // namespace korvane
