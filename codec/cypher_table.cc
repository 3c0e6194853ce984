// SPDX-License-Identifier: MIT
#include "codec/cypher_table.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/blkfmt.h"
#include "codec/scramble.h"
#include "codec/zentarc_stream.h"
#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

// crc32() refuses unaligned buffers; an input region starts wherever the
// caller's offset puts it, so the first bytes go through an aligned word and
// the rest continues the running CRC from an aligned address.
uint32_t crc32_region(const uint8_t *p, uint32_t n) {
  if (n == 0) return 0;
  uint32_t head = (4 - (reinterpret_cast<uintptr_t>(p) & 3)) & 3;
  if (head > n) head = n;
  alignas(4) uint8_t word[4];
  std::memcpy(word, p, head);
  uint32_t c = crc32(0, word, head);
  return crc32(c, p + head, n - head);
}

int encode_stored(const cypher_type &, const cypher_input &in, uint8_t *out, uint32_t,
                  uint32_t *length) {
  if (in.count) std::memcpy(out, in.bytes, in.count);
  *length = in.count;
  return RES_OK;
}

int encode_in_place(const cypher_type &t, const cypher_input &in, uint8_t *out, uint32_t,
                    uint32_t *length) {
  if (in.count) std::memcpy(out, in.bytes, in.count);
  t.apply(out, static_cast<int>(in.count));
  *length = in.count;
  return RES_OK;
}

int encode_lzma(const cypher_type &, const cypher_input &in, uint8_t *out, uint32_t capacity,
                uint32_t *length) {
  buffer_sink_ctx ctx{in.fd, in.size, out, capacity, 0, 0};
  if (zentarc_encode_fd(in.fd, in.offset, static_cast<int>(in.count), buffer_sink, &ctx) != 0) {
    report("failed to encode by cypher!\n");
    return RES_FAULT;
  }
  if (static_cast<int>(ctx.used) <= 0) {
    report("failed to encode ,size=%d!\n", static_cast<int>(ctx.used));
    return RES_FAULT;
  }
  *length = ctx.used;
  return RES_OK;
}

// The block format with the builder's settings: runs of 10 bytes and more,
// segments of at most 1024, the content's CRC-32 in the first user word.
int encode_blkfmt(const cypher_type &, const cypher_input &in, uint8_t *out, uint32_t capacity,
                  uint32_t *length) {
  int produced = static_cast<int>(capacity);
  int r = blkfmt_encode(in.bytes, static_cast<int>(in.count), out, &produced, 10, 1024,
                        crc32_region(in.bytes, in.count), 0);
  if (r < 0 || produced <= 0) {
    report("failed to encode ,size=%d!\n", produced);
    return RES_FAULT;
  }
  *length = static_cast<uint32_t>(produced);
  return RES_OK;
}

// The size field of a stream header at the start of a payload.
bool lzma_size(int fd, uint64_t offset, uint32_t length, uint64_t *size) {
  Byte header[ZENTARC_HDR_SIZE];
  if (length < sizeof header || !read_at(fd, header, sizeof header, offset)) return false;
  UInt64 recorded = zentarc_header_size(header);
  if (recorded == ZENTARC_SIZE_UNKNOWN) return false;  // the stream ends with a marker instead
  *size = recorded;
  return true;
}

bool blkfmt_size(int fd, uint64_t offset, uint32_t length, uint64_t *size) {
  blkfmt_hdr header;
  uint32_t unpacked = 0;
  if (length < sizeof header || !read_at(fd, &header, sizeof header, offset) ||
      blkfmt_get_sizes(&header, &unpacked, nullptr) != 0)
    return false;
  *size = unpacked;
  return true;
}

// The block format back to the bytes the builder took: decoded piece by
// piece into the sink, then held against the size and the CRC-32 of the
// content that its header records.
int unpack_blkfmt(int fd, uint64_t offset, int length, zentarc_sink sink, void *ctx) {
  constexpr uint32_t PIECE = 65536;
  const uint32_t total = length > 0 ? static_cast<uint32_t>(length) : 0;
  if (total < BLKFMT_HDR_SIZE) {
    report("cypher2 payload shorter than its header,%u\n", total);
    return RES_FAULT;
  }
  std::vector<uint64_t> context(
      (blkfmt_dec_size(PIECE + BLKFMT_HDR_SIZE + BLKFMT_DEC_ROOM_EXTRA) + 7) / 8);
  auto *dec = reinterpret_cast<blkfmt_dec *>(context.data());
  blkfmt_dec_init(dec, context.size() * 8);
  std::vector<uint32_t> out_words((2 * PIECE + BLKFMT_DEC_ROOM_EXTRA) / 4 +
                                  1);  // crc32 wants it aligned
  auto *out = reinterpret_cast<uint8_t *>(out_words.data());
  std::vector<uint8_t> in(PIECE + BLKFMT_HDR_SIZE);
  uint32_t produced = 0, crc = 0;
  for (uint32_t done = 0; done < total;) {
    uint32_t want = std::min<uint32_t>(total - done, done == 0 ? PIECE + BLKFMT_HDR_SIZE : PIECE);
    if (!read_at(fd, in.data(), want, offset + done)) {
      report("failed to read cypher2 payload,%m\n");
      return RES_FAULT;
    }
    if (blkfmt_dec_feed(dec, in.data(), static_cast<int>(want)) != 0) {
      report("cypher2 payload not in the block format\n");
      return RES_FAULT;
    }
    done += want;
    int count = 0;
    while (blkfmt_dec_step(dec, out, &count) == 0) {
      if (sink(ctx, out, count) != count) return RES_FAULT;
      crc = crc32(crc, out, static_cast<uint32_t>(count));
      produced += static_cast<uint32_t>(count);
      blkfmt_dec_take(dec, out, count);
    }
  }
  uint32_t unpacked = 0, recorded_crc = 0;
  blkfmt_get_sizes(&dec->hdr, &unpacked, nullptr);
  blkfmt_get_user(&dec->hdr, &recorded_crc, nullptr);
  if (dec->buffered != 0 || produced != unpacked) {
    report("cypher2 payload ends after %u of %u bytes\n", produced, unpacked);
    return RES_FAULT;
  }
  if (crc != recorded_crc) {
    report("cypher2 content does not match its crc,0x%08x!=0x%08x\n", crc, recorded_crc);
    return RES_FAULT;
  }
  return static_cast<int>(produced);
}

using enum cypher_decoding;

constexpr cypher_type types[] = {
    {.value = ROM_BLK_CT_NONE, .name = "none", .words = {"none"}, .encode = encode_stored},
    {.value = ROM_BLK_CT_CYPHER1,
     .name = "cypher1",
     .words = {"cypher1", "c1", "7zip"},
     .decoding = stream,
     .stream = zentarc_decode_fd,
     .encode = encode_lzma,
     .stream_size = lzma_size},
    // Extracted and programmed in its stored block format.
    {.value = ROM_BLK_CT_CYPHER2,
     .name = "cypher2",
     .words = {"cypher2", "c2", "gzip"},
     .encode = encode_blkfmt,
     .unpack = unpack_blkfmt,
     .unpack_size = blkfmt_size},
    {.value = ROM_BLK_CT_CYPHER3,
     .name = "cypher3",
     .words = {"cypher3", "c3"},
     .decoding = transform,
     .undo = cypher3_decode,
     .encode = encode_in_place,
     .apply = cypher3_encode},
    {.value = ROM_BLK_CT_CYPHER4,
     .name = "cypher4",
     .words = {"cypher4", "c4"},
     .decoding = transform,
     .undo = cypher4_decode,
     .encode = encode_in_place,
     .apply = cypher4_encode},
    // No encoder: built as none, with a message.
    {.value = ROM_BLK_CT_AES,
     .name = "AES",
     .words = {"AES"},
     .encode = encode_stored,
     .note = "ROM_BLK_CT_AES NOT support just now,reset to none!\n"},
    {.value = ROM_BLK_CT_DES,
     .name = "DES",
     .words = {"DES"},
     .encode = encode_stored,
     .note = "ROM_BLK_CT_DES NOT support just now,reset to none!\n"},
};

}  // namespace

const std::span<const cypher_type> CYPHER_TYPES = types;

const cypher_type *cypher_find(uint32_t value) {
  for (const cypher_type &t : types) {
    if (t.value == value) return &t;
  }
  return nullptr;
}

bool cypher_content_size(const cypher_type &t, int fd, uint64_t offset, uint32_t length,
                         uint64_t *size) {
  if (t.decoding == cypher_decoding::stream) return t.stream_size(fd, offset, length, size);
  *size = length;
  return true;
}

bool cypher_source_size(const cypher_type &t, int fd, uint64_t offset, uint32_t length,
                        uint64_t *size) {
  if (t.unpack) return t.unpack_size(fd, offset, length, size);
  return cypher_content_size(t, fd, offset, length, size);
}

const char *blk_cypher_name(uint32_t cypher) {
  const cypher_type *t = cypher_find(cypher);
  return t ? t->name : "invalid";
}

bool parse_blk_cypher(const char *word, uint32_t *cypher) {
  if (!word) return false;
  for (const cypher_type &t : types) {
    for (const char *w : t.words) {
      if (w && strcasecmp(w, word) == 0) {
        if (cypher) *cypher = t.value;
        return true;
      }
    }
  }
  return false;
}

int buffer_sink(void *ctx, const uint8_t *bytes, int count) {
  auto *c = static_cast<buffer_sink_ctx *>(ctx);
  uint32_t n = count > 0 ? static_cast<uint32_t>(count) : 0;
  if (uint64_t{c->used} + n > c->capacity) {
    report("cypher1_encode:buffer overflow,encode might cause expansion!\n");
    n = c->capacity - c->used;
  }
  if (c->verbose) report("cypher1_encode:%d=>%d\n", static_cast<int>(n), static_cast<int>(c->used));
  if (n) {
    std::memcpy(c->area + c->used, bytes, n);
    c->used += n;
  }
  return static_cast<int>(n);
}

}  // namespace korvane
