// SPDX-License-Identifier: MIT
#include "rom/region.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "rom/io.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

// copy_region's sink: the pieces go to the destination file as they come.
int write_piece(void *ctx, const uint8_t *p, int n) {
  ssize_t w = write(*static_cast<int *>(ctx), p, static_cast<size_t>(n));
  if (w != n) {
    report("failed to write copy file,%m\n");
    return RES_FAULT;
  }
  return n;
}

}  // namespace

region_result read_region(int src, uint64_t offset, uint32_t count, uint32_t piece,
                          copy_transform transform, const region_sink &sink) {
  region_result r{region_end::done, 0, 0, 0};
  auto end = [&](region_end why, int error = 0) {
    r.end = why;
    r.error = error;
    return r;
  };
  if (lseek(src, static_cast<off_t>(offset), SEEK_SET) < 0)
    return end(region_end::seek_failed, errno);
  // Read straight into the sink when it has room for every piece, else
  // into a buffer of our own.
  std::unique_ptr<uint8_t[]> own;
  if (!sink.room || !sink.room(sink.ctx, piece)) {
    own.reset(piece ? new (std::nothrow) uint8_t[piece] : nullptr);
    if (!own) return end(region_end::no_memory, errno);
  }
  while (r.read < count) {
    uint32_t want = std::min(count - r.read, piece);
    uint8_t *at = own ? own.get() : sink.room(sink.ctx, want);
    if (!at) return end(region_end::refused);
    ssize_t n = read_some(src, at, want);
    if (n == 0) return end(region_end::short_source);
    if (n < 0) return end(region_end::read_failed, errno);
    int m = transform ? transform(at, static_cast<int>(n)) : static_cast<int>(n);
    // A transform works in place: it can never hand on more than a piece.
    if (m < 0 || static_cast<uint32_t>(m) > piece) return end(region_end::bad_transform);
    if (sink.put(sink.ctx, at, m) != m) return end(region_end::refused);
    r.read += static_cast<uint32_t>(n);
    r.put += static_cast<uint32_t>(m);
  }
  return r;
}

int copy_region(int src, uint64_t offset, uint32_t count, int dst, uint32_t chunk,
                copy_transform transform) {
  region_sink sink;
  sink.ctx = &dst;
  sink.put = write_piece;
  region_result r = read_region(src, offset, count, chunk, transform, sink);
  if (r.error) errno = r.error;  // for "%m"
  switch (r.end) {
    case region_end::done:
    case region_end::short_source:  // what was written: the source ended early
      return static_cast<int>(r.put);
    case region_end::seek_failed:
      report("failed to seek copy file,%m\n");
      return RES_FAULT;
    case region_end::no_memory:
      report("failed to malloc,%d\n", static_cast<int>(chunk));
      return RES_FAULT;
    case region_end::read_failed:
      report("failed to read copy file,%m\n");
      return RES_FAULT;
    default:
      return RES_FAULT;  // a bad transform, or a write failed (reported)
  }
}

}  // namespace korvane
