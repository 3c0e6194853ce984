// SPDX-License-Identifier: MIT
#include "rom/region.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>

#include "rom/output.h"
#include "rom/result.h"

namespace korvane {

int copy_region(int src, uint64_t offset, uint32_t count, int dst, uint32_t chunk,
                copy_transform transform) {
  if (lseek(src, static_cast<off_t>(offset), SEEK_SET) < 0) {
    report("failed to seek copy file,%m\n");
    return RES_FAULT;
  }
  std::unique_ptr<uint8_t[]> buf(chunk ? new (std::nothrow) uint8_t[chunk] : nullptr);
  if (!buf) {
    report("failed to malloc,%d\n", static_cast<int>(chunk));
    return RES_FAULT;
  }
  uint32_t written = 0;
  while (written < count) {
    size_t want = std::min<uint32_t>(count - written, chunk);
    ssize_t n = read(src, buf.get(), want);
    if (n == 0) return static_cast<int>(written);  // the source ended early
    if (n < 0) {
      report("failed to read copy file,%m\n");
      return RES_FAULT;
    }
    int out = transform ? transform(buf.get(), static_cast<int>(n)) : static_cast<int>(n);
    // A transform works in place: it can never hand back more than the chunk.
    if (out < 0 || static_cast<uint32_t>(out) > chunk) return RES_FAULT;
    ssize_t w = write(dst, buf.get(), static_cast<size_t>(out));
    if (w != out) {
      report("failed to write copy file,%m\n");
      return RES_FAULT;
    }
    written += static_cast<uint32_t>(out);
  }
  return static_cast<int>(written);
}

}  // namespace korvane
