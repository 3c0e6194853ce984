// SPDX-License-Identifier: MIT
// The block format's streaming decoder: the input is one byte that chooses
// how the stream is cut into feeds, then the stream (48-byte header, then
// segments). Every step either decodes a segment, consuming input, or fails
// and leaves the context as it was; after the whole stream was fed, what the
// steps decoded equals a plain decode of the stream in one piece.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/blkfmt.h"
#include "fuzz/fuzz_support.h"

using namespace korvane;

namespace {

struct plain_decode {
  std::vector<uint8_t> out;
  size_t consumed = BLKFMT_HDR_SIZE;  // stream bytes the segments decoded took
};

// Segments in one piece, up to the first one that is bad (kind 0) or not
// complete in the stream.
plain_decode decode_whole(const uint8_t *s, size_t n) {
  plain_decode d;
  for (;;) {
    size_t left = n - d.consumed;
    if (left <= BLKFMT_SEG_HDR_SIZE) return d;
    const uint8_t *seg = s + d.consumed;
    size_t length = seg[0] | static_cast<size_t>(seg[1]) << 8;
    int kind = seg[2];
    if (kind == 0) return d;
    size_t need = BLKFMT_SEG_HDR_SIZE + (kind == BLKFMT_SEG_RUN ? 1 : length);
    if (left < need) return d;
    if (kind == BLKFMT_SEG_RUN) d.out.insert(d.out.end(), length, seg[BLKFMT_SEG_HDR_SIZE]);
    else d.out.insert(d.out.end(), seg + BLKFMT_SEG_HDR_SIZE, seg + need);
    d.consumed += need;
  }
}

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint32_t cuts = data[0] * 2654435761u | 1;
  auto next_piece = [&cuts] {
    cuts ^= cuts << 13;
    cuts ^= cuts >> 17;
    cuts ^= cuts << 5;
    return size_t{1} + cuts % 1500;
  };
  const uint8_t *stream = data + 1;
  const size_t n = size - 1;

  // Room for the whole stream: no feed is refused for want of room.
  const size_t ctx_size = blkfmt_dec_size(n + BLKFMT_DEC_ROOM_EXTRA);
  std::unique_ptr<blkfmt_dec, free_deleter> ctx(static_cast<blkfmt_dec *>(std::malloc(ctx_size)));
  FUZZ_CHECK(ctx && blkfmt_dec_init(ctx.get(), ctx_size) == 0);
  std::vector<uint8_t> out(BLKFMT_MAX_SEG);
  std::vector<uint8_t> decoded;

  size_t fed = std::min(n, std::max<size_t>(BLKFMT_HDR_SIZE, next_piece()));
  int r = fed ? blkfmt_dec_feed(ctx.get(), stream, static_cast<int>(fed)) : -14;
  blkfmt_hdr hdr{};
  if (n >= BLKFMT_HDR_SIZE) std::memcpy(&hdr, stream, sizeof hdr);
  if (n < BLKFMT_HDR_SIZE || hdr.magic.get() != BLKFMT_MAGIC) {
    FUZZ_CHECK(r == -14);
    return 0;
  }
  FUZZ_CHECK(r == 0);
  for (;;) {
    for (;;) {
      const uint32_t before = ctx->buffered;
      int count = -1;
      if (blkfmt_dec_step(ctx.get(), out.data(), &count) != 0) {
        FUZZ_CHECK(ctx->buffered == before && ctx->fill == before);
        FUZZ_CHECK(count == 0 && ctx->output == 0);
        break;
      }
      FUZZ_CHECK(ctx->buffered < before);
      FUZZ_CHECK(count >= 0 && count <= BLKFMT_MAX_SEG);
      decoded.insert(decoded.end(), out.begin(), out.begin() + count);
      FUZZ_CHECK(blkfmt_dec_take(ctx.get(), out.data(), count) == count);
    }
    if (fed == n) break;
    size_t piece = std::min(n - fed, next_piece());
    FUZZ_CHECK(blkfmt_dec_feed(ctx.get(), stream + fed, static_cast<int>(piece)) == 0);
    fed += piece;
  }
  plain_decode whole = decode_whole(stream, n);
  FUZZ_CHECK(decoded == whole.out);
  FUZZ_CHECK(ctx->buffered == n - whole.consumed);
  return 0;
}
