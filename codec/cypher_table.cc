// SPDX-License-Identifier: MIT
#include "codec/cypher_table.h"

#include <strings.h>

#include <cstdint>
#include <cstring>

#include "codec/blkfmt.h"
#include "codec/scramble.h"
#include "rom/checksum.h"
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

using enum cypher_decoding;

constexpr cypher_type types[] = {
    {.value = ROM_BLK_CT_NONE, .name = "none", .words = {"none"}, .encode = encode_stored},
    {.value = ROM_BLK_CT_CYPHER1,
     .name = "cypher1",
     .words = {"cypher1", "c1", "7zip"},
     .decoding = stream,
     .stream = zentarc_decode_fd,
     .encode = encode_lzma},
    // Extracted and programmed in its stored block format.
    {.value = ROM_BLK_CT_CYPHER2,
     .name = "cypher2",
     .words = {"cypher2", "c2", "gzip"},
     .encode = encode_blkfmt},
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
