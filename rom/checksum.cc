// SPDX-License-Identifier: MIT
#include "rom/checksum.h"

#include <array>
#include <bit>
#include <cstring>

#include "rom/output.h"

namespace korvane {
namespace {

using crc_tables = std::array<std::array<uint32_t, 256>, 8>;

// Slice-by-8 tables: t[0] is the classic byte table, t[k][b] the CRC of b
// followed by k zero bytes.
constexpr crc_tables make_crc_tables() {
  crc_tables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][b] = c;
  }
  for (uint32_t b = 0; b < 256; ++b) {
    for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
  return t;
}

constexpr crc_tables T = make_crc_tables();
static_assert(T[0][1] == 0x77073096u && T[0][255] == 0x2D02EF8Du);

bool aligned(const void *p) { return (reinterpret_cast<uintptr_t>(p) & 3u) == 0; }

uint32_t load_le32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

}  // namespace

uint32_t crc32(uint32_t seed, const void *buf, uint32_t len) {
  if (!aligned(buf)) {
    report("unalign address for crc32(...),gave up!\n");
    return 0xFFFFFFFFu;
  }
  const uint8_t *p = static_cast<const uint8_t *>(buf);
  uint32_t c = ~seed;
  while (len >= 8) {
    uint32_t lo = load_le32(p) ^ c;
    uint32_t hi = load_le32(p + 4);
    c = T[7][lo & 0xFF] ^ T[6][(lo >> 8) & 0xFF] ^ T[5][(lo >> 16) & 0xFF] ^ T[4][lo >> 24] ^
        T[3][hi & 0xFF] ^ T[2][(hi >> 8) & 0xFF] ^ T[1][(hi >> 16) & 0xFF] ^ T[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len--) c = T[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
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
