// SPDX-License-Identifier: MIT
#include "codec/blkfmt.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "rom/output.h"
#include "rom/result.h"

namespace korvane {

blkfmt_segment blkfmt_next_segment(const uint8_t *in, int remaining, int min_run, int room) {
  const int w = std::min(room, remaining);
  if (remaining >= 2 && in[0] == in[1]) {
    int run = 2;
    while (run < w && in[run] == in[0]) run++;
    if (run >= w) return {w, BLKFMT_SEG_RUN};
    if (run >= min_run) return {run, BLKFMT_SEG_RUN};
  }
  // A literal goes up to the first run of min_run equal bytes.
  int start = 0;
  for (int i = 1; i < w; i++) {
    if (in[i] != in[i - 1]) {
      start = i;
    } else if (i - start + 1 >= min_run) {
      return {start, BLKFMT_SEG_LITERAL};
    }
  }
  return {w, BLKFMT_SEG_LITERAL};
}

int blkfmt_encode(const uint8_t *in, int len, uint8_t *out, int *size, int min_run, int max_seg,
                  uint32_t user1, uint32_t user2) {
  if (!in || !out || !size || len <= 0) return RES_INVAL;
  const int capacity = *size;
  if (capacity < static_cast<int>(BLKFMT_HDR_SIZE) || capacity < len) return RES_FAULT;
  if (min_run < BLKFMT_MIN_RUN) min_run = BLKFMT_MIN_RUN;
  if (max_seg > BLKFMT_MAX_SEG) max_seg = BLKFMT_MAX_SEG;
  if (max_seg < min_run) return RES_FAULT;

  blkfmt_hdr hdr;
  std::memset(&hdr, 0, sizeof hdr);
  hdr.magic.set(BLKFMT_MAGIC);
  hdr.version.set(BLKFMT_VERSION);
  hdr.hsize.set(BLKFMT_HDR_SIZE);
  hdr.user1.set(user1);
  hdr.user2.set(user2);
  hdr.unpacked.set(static_cast<uint32_t>(len));
  hdr.min_run.set(static_cast<uint32_t>(min_run));
  hdr.max_seg.set(static_cast<uint32_t>(max_seg));
  hdr.seg_hsize.set(BLKFMT_SEG_HDR_SIZE);
  hdr.packed.set(BLKFMT_HDR_SIZE);
  // The header goes first (packed size 48, no segments yet), so a packing
  // that runs out of room leaves a header that tells how far it got.
  std::memcpy(out, &hdr, sizeof hdr);

  int packed = BLKFMT_HDR_SIZE;
  uint32_t segments = 0;
  int done = 0;
  while (done < len) {
    // No segment crosses a multiple of max_seg in the input.
    const int room = max_seg - done % max_seg;
    const blkfmt_segment seg = blkfmt_next_segment(in + done, len - done, min_run, room);
    const int data = seg.kind == BLKFMT_SEG_RUN ? 1 : seg.length;
    if (capacity - packed < static_cast<int>(BLKFMT_SEG_HDR_SIZE) + data) return RES_FAULT;
    uint8_t *p = out + packed;
    p[0] = static_cast<uint8_t>(seg.length);
    p[1] = static_cast<uint8_t>(seg.length >> 8);
    p[2] = static_cast<uint8_t>(seg.kind);
    p[3] = 0xFF;
    std::memcpy(p + BLKFMT_SEG_HDR_SIZE, in + done, static_cast<size_t>(data));
    packed += BLKFMT_SEG_HDR_SIZE + data;
    segments++;
    done += seg.length;
  }
  hdr.packed.set(static_cast<uint32_t>(packed));
  hdr.segments.set(segments);
  std::memcpy(out, &hdr, sizeof hdr);
  *size = packed;
  return RES_OK;
}

namespace {

struct Mapping {
  void *addr = MAP_FAILED;
  size_t len = 0;
  ~Mapping() {
    if (addr != MAP_FAILED) munmap(addr, len);
  }
};

}  // namespace

int blkfmt_encode_fd(int in_fd, int len, int out_fd, int min_run, int max_seg, uint32_t user1,
                     uint32_t user2) {
  if (in_fd <= 0 || out_fd <= 0) return RES_INVAL;
  if (lseek(in_fd, 0, SEEK_SET) < 0 || lseek(out_fd, 0, SEEK_SET) < 0) return RES_FAULT;
  struct stat st;
  if (fstat(in_fd, &st) != 0) return RES_FAULT;
  if (len <= 0) {
    if (st.st_size <= 0 || st.st_size > INT_MAX) return RES_FAULT;
    len = static_cast<int>(st.st_size);
  }
  // Mapped pages past the end of the file cannot be read.
  if (len > st.st_size) return RES_FAULT;
  Mapping map;
  map.len = static_cast<size_t>(len);
  map.addr = mmap(nullptr, map.len, PROT_READ, MAP_PRIVATE, in_fd, 0);
  if (map.addr == MAP_FAILED) return RES_FAULT;
  // Twice the input, plus the header and one segment header so that small
  // inputs fit too.
  const long long cap =
      std::min<long long>(2LL * len + BLKFMT_HDR_SIZE + BLKFMT_SEG_HDR_SIZE + 1, INT_MAX);
  std::unique_ptr<uint8_t[]> area(new (std::nothrow) uint8_t[static_cast<size_t>(cap)]);
  if (!area) return RES_FAULT;
  int size = static_cast<int>(cap);
  int r = blkfmt_encode(static_cast<const uint8_t *>(map.addr), len, area.get(), &size, min_run,
                        max_seg, user1, user2);
  if (r != RES_OK) return r;
  ssize_t w = write(out_fd, area.get(), static_cast<size_t>(size));
  return w == size ? RES_OK : RES_FAULT;
}

int blkfmt_get_sizes(const void *hdr, uint32_t *unpacked, uint32_t *packed) {
  const auto *h = static_cast<const blkfmt_hdr *>(hdr);
  if (!h || h->magic.get() != BLKFMT_MAGIC) return RES_FAULT;
  if (unpacked) *unpacked = h->unpacked.get();
  if (packed) *packed = h->packed.get();
  return RES_OK;
}

int blkfmt_get_user(const void *hdr, uint32_t *user1, uint32_t *user2) {
  const auto *h = static_cast<const blkfmt_hdr *>(hdr);
  if (!h || h->magic.get() != BLKFMT_MAGIC) return RES_FAULT;
  if (user1) *user1 = h->user1.get();
  if (user2) *user2 = h->user2.get();
  return RES_OK;
}

int blkfmt_dec_init(blkfmt_dec *ctx, size_t size) {
  if (!ctx || size < sizeof(blkfmt_dec)) return RES_FAULT;
  std::memset(&ctx->hdr, 0, sizeof ctx->hdr);
  ctx->buffered = ctx->fill = ctx->output = 0;
  ctx->room = static_cast<uint32_t>(std::min<size_t>(size - sizeof(blkfmt_dec), UINT32_MAX));
  return RES_OK;
}

int blkfmt_dec_feed(blkfmt_dec *ctx, const uint8_t *bytes, int n) {
  if (!ctx || !bytes || n < 1) return RES_FAULT;
  const bool need_hdr = ctx->hdr.magic.get() != BLKFMT_MAGIC;
  blkfmt_hdr hdr;
  if (need_hdr) {
    if (n < static_cast<int>(BLKFMT_HDR_SIZE)) return RES_FAULT;
    std::memcpy(&hdr, bytes, sizeof hdr);
    if (hdr.magic.get() != BLKFMT_MAGIC) return RES_FAULT;
    bytes += BLKFMT_HDR_SIZE;
    n -= BLKFMT_HDR_SIZE;
  }
  if (static_cast<uint64_t>(ctx->fill) + static_cast<uint64_t>(n) > ctx->room) return RES_FAULT;
  if (need_hdr) ctx->hdr = hdr;
  std::memcpy(blkfmt_dec_input(ctx) + ctx->fill, bytes, static_cast<size_t>(n));
  ctx->fill += static_cast<uint32_t>(n);
  ctx->buffered += static_cast<uint32_t>(n);
  return RES_OK;
}

int blkfmt_dec_step(blkfmt_dec *ctx, uint8_t *out, int *count) {
  if (!ctx || !out || !count || ctx->hdr.magic.get() != BLKFMT_MAGIC) return RES_FAULT;
  uint8_t *in = blkfmt_dec_input(ctx);
  uint32_t need = BLKFMT_SEG_HDR_SIZE + 1;
  uint32_t length = 0;
  int kind = 0;
  if (ctx->buffered > BLKFMT_SEG_HDR_SIZE) {
    length = in[0] | static_cast<uint32_t>(in[1]) << 8;
    kind = in[2];
    if (kind == 0) {
      report("invalid blk format,%x\n", kind);
      *count = 0;
      return RES_FAULT;
    }
    if (kind != BLKFMT_SEG_RUN) need = BLKFMT_SEG_HDR_SIZE + length;
  }
  if (ctx->buffered <= BLKFMT_SEG_HDR_SIZE || ctx->buffered < need) {
    ctx->fill = ctx->buffered;
    *count = static_cast<int>(ctx->output);
    return RES_FAULT;
  }
  if (kind == BLKFMT_SEG_RUN) {
    std::memset(out + ctx->output, in[BLKFMT_SEG_HDR_SIZE], length);
  } else {
    std::memcpy(out + ctx->output, in + BLKFMT_SEG_HDR_SIZE, length);
  }
  ctx->output += length;
  ctx->buffered -= need;
  std::memmove(in, in + need, ctx->buffered);
  ctx->fill = ctx->buffered;
  *count = static_cast<int>(ctx->output);
  return RES_OK;
}

int blkfmt_dec_take(blkfmt_dec *ctx, uint8_t *out, int n) {
  if (!ctx || !out || n < 0 || ctx->hdr.magic.get() != BLKFMT_MAGIC) return RES_FAULT;
  const uint32_t take = std::min(static_cast<uint32_t>(n), ctx->output);
  ctx->output -= take;
  std::memmove(out, out + take, ctx->output);
  return static_cast<int>(take);
}

}  // namespace korvane
