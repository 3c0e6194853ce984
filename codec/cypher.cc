// SPDX-License-Identifier: MIT
#include "codec/cypher.h"

#include <unistd.h>

#include "codec/cypher_table.h"
#include "codec/scramble.h"
#include "rom/layout.h"
#include "rom/output.h"
#include "rom/region.h"
#include "rom/result.h"

namespace korvane {
namespace {

// The two positionings are not checked: copy_region positions the source
// itself and reports its own failure.
int copy_with(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset,
              copy_transform transform) {
  lseek(src, static_cast<off_t>(offset), SEEK_SET);
  lseek(dst, static_cast<off_t>(dst_offset), SEEK_SET);
  return copy_region(src, offset, length, dst, CYPHER_CHUNK, transform);
}

// A stream decoded into dst through cypher1_file_sink, by the row's stream
// decoder or the one given.
int decode_stream_file(const cypher_type &t, int src, uint64_t offset, uint32_t length, int dst,
                       uint64_t dst_offset, cypher_stream decode = nullptr) {
  lseek(src, static_cast<off_t>(offset), SEEK_SET);
  lseek(dst, static_cast<off_t>(dst_offset), SEEK_SET);
  cypher1_file_sink_ctx ctx{};
  ctx.src = src;
  ctx.length = static_cast<int>(length);
  ctx.dst = dst;
  int r =
      (decode ? decode : t.stream)(src, offset, static_cast<int>(length), cypher1_file_sink, &ctx);
  if (r == 0) return 0;  // a stream of 0 bytes: an empty file, nothing failed
  if (r > 0) {
    if (ctx.written == r) return r;
    report("bad decode size,%d!=%d!\n", ctx.written, r);
  }
  report("failed to decode by %s!\n", t.name);
  return RES_FAULT;
}

}  // namespace

int cypher_copy_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset) {
  return copy_with(src, offset, length, dst, dst_offset, nullptr);
}

int cypher3_decode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset) {
  return copy_with(src, offset, length, dst, dst_offset, cypher3_decode);
}

int cypher4_decode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset) {
  return copy_with(src, offset, length, dst, dst_offset, cypher4_decode);
}

int cypher3_encode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset) {
  return copy_with(src, offset, length, dst, dst_offset, cypher3_encode);
}

int cypher4_encode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset) {
  return copy_with(src, offset, length, dst, dst_offset, cypher4_encode);
}

int cypher1_file_sink(void *ctx, const uint8_t *bytes, int n) {
  auto *c = static_cast<cypher1_file_sink_ctx *>(ctx);
  if (c->verbose) report("cypher1_decode:%d+=%d\n", c->written, n);
  ssize_t w = write(c->dst, bytes, static_cast<size_t>(n));
  if (w != n) {
    report("failed to write cypher1_decode file,%m\n");
    return RES_FAULT;
  }
  // Wraps at 32 bits, as the decoder's result does for streams of 4 GiB and
  // more, so that the two compare (a plain int sum would overflow at 2 GiB).
  c->written = static_cast<int>(static_cast<uint32_t>(c->written) + static_cast<uint32_t>(n));
  return n;
}

int cypher1_decode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset) {
  return decode_stream_file(*cypher_find(ROM_BLK_CT_CYPHER1), src, offset, length, dst, dst_offset);
}

int cypher_decode_file(uint32_t type, int src, uint64_t offset, uint32_t length, int dst) {
  const cypher_type *t = cypher_find(type);
  if (!t) {
    report("invalid cypher type,%d\n", static_cast<int>(type));
    return RES_FAULT;
  }
  if (t->decoding == cypher_decoding::stream)
    return decode_stream_file(*t, src, offset, length, dst, 0);
  // Stored bytes are copied, a transform is undone piece by piece.
  int r = copy_with(src, offset, length, dst, 0, t->undo);
  // A short result would pass for a complete file by its sign alone.
  if (r != static_cast<int>(length)) {
    report("failed to copy file,%m\n");
    return RES_FAULT;
  }
  return r;
}

int cypher_source_file(uint32_t type, int src, uint64_t offset, uint32_t length, int dst) {
  const cypher_type *t = cypher_find(type);
  if (t && t->unpack) return decode_stream_file(*t, src, offset, length, dst, 0, t->unpack);
  return cypher_decode_file(type, src, offset, length, dst);
}

}  // namespace korvane
