// SPDX-License-Identifier: MIT
#include "rom/checksum.h"

#include <zlib.h>

#include "rom/output.h"

namespace korvane {
namespace {

bool aligned(const void *p) { return (reinterpret_cast<uintptr_t>(p) & 3u) == 0; }

}  // namespace

uint32_t crc32(uint32_t seed, const void *buf, uint32_t len) {
  if (!aligned(buf)) {
    report("unalign address for crc32(...),gave up!\n");
    return 0xFFFFFFFFu;
  }
  // zlib answers 0 for a null buffer whatever the seed; an empty buffer
  // leaves the running CRC as it is.
  if (len == 0) return seed;
  return static_cast<uint32_t>(::crc32_z(seed, static_cast<const Bytef *>(buf), len));
}

uint32_t sum32(uint32_t seed, const void *buf, uint32_t len) {
  if (!aligned(buf)) {
    report("unalign address for sum32(...),gave up!\n");
    return 0xFFFFFFFFu;
  }
  const uint8_t *p = static_cast<const uint8_t *>(buf);
  uint32_t s = seed;
  // Eight bytes per round into a 64-bit accumulator keeps the loop
  // vectorisable; the sum is folded back modulo 2^32 at the end.
  uint64_t acc = 0;
  uint32_t i = 0;
  for (; i + 8 <= len; i += 8) {
    acc +=
        uint32_t(p[i]) + p[i + 1] + p[i + 2] + p[i + 3] + p[i + 4] + p[i + 5] + p[i + 6] + p[i + 7];
  }
  for (; i < len; ++i) acc += p[i];
  return s + static_cast<uint32_t>(acc);
}

}  // namespace korvane
