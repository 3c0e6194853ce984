// SPDX-License-Identifier: MIT
#include "codec/scramble.h"

#include <cstring>

namespace korvane {

// The key tables. Every image ever scrambled depends on these bytes: never
// change them. They were drawn once from xorshift32 (x ^= x << 13;
// x ^= x >> 17; x ^= x << 5) seeded with 0x4B4F5256, taking the top byte of
// each state in turn: 32 bytes of cypher3_xor_table, 32 of cypher3_add_table,
// 64 of cypher4_xor_table, then 64 of cypher4_add_table. The set-key
// operations change them for the rest of the process.
uint8_t cypher3_xor_table[32] = {
    0x81, 0x64, 0x89, 0x9F, 0x4D, 0xF8, 0x7D, 0xD8, 0x04, 0x62, 0xE3, 0xCC, 0xE6, 0x21, 0x54, 0xCC,
    0xAB, 0x79, 0x38, 0xC5, 0x0A, 0x3F, 0x45, 0x95, 0x67, 0x36, 0x90, 0x96, 0xEC, 0x2D, 0xF9, 0xE7,
};
uint8_t cypher3_add_table[32] = {
    0xB7, 0xB5, 0xB3, 0xD8, 0xCC, 0xBE, 0xA0, 0x93, 0x08, 0x5A, 0x95, 0x71, 0xD6, 0x74, 0x84, 0xE5,
    0x6A, 0x95, 0x52, 0x50, 0x03, 0xB0, 0x19, 0x71, 0x04, 0x3B, 0x1F, 0x89, 0xEF, 0x3E, 0x1C, 0x5F,
};
uint8_t cypher4_xor_table[64] = {
    0x08, 0x94, 0xBE, 0x4C, 0xC8, 0x50, 0xF8, 0x62, 0x0D, 0xC3, 0x8B, 0x59, 0x43, 0x3A, 0x16, 0xD5,
    0xF5, 0x3E, 0x0D, 0xA1, 0xD4, 0x7E, 0x4F, 0xB0, 0x7E, 0x08, 0x76, 0xD2, 0xE1, 0x95, 0x7D, 0x9D,
    0xC8, 0x14, 0xD5, 0xD4, 0x22, 0x95, 0xA6, 0xAF, 0x02, 0x78, 0xEF, 0x91, 0x3D, 0x0E, 0x46, 0xC2,
    0xF0, 0xBD, 0x17, 0x35, 0xD0, 0xBB, 0x2F, 0xE7, 0x2B, 0xE6, 0x36, 0x34, 0x18, 0x95, 0x6E, 0xFD,
};
uint8_t cypher4_add_table[64] = {
    0x66, 0x00, 0x9D, 0xB3, 0x5F, 0x94, 0x1A, 0x12, 0x58, 0x80, 0xCD, 0x54, 0xF3, 0x50, 0x49, 0xBE,
    0x4F, 0x08, 0x1E, 0xCD, 0x19, 0x10, 0x52, 0x28, 0xF7, 0xBF, 0x3B, 0x3D, 0x68, 0x35, 0xAA, 0xA5,
    0xD9, 0xA6, 0x68, 0x52, 0x33, 0x54, 0x38, 0x69, 0x87, 0x0E, 0x68, 0x4A, 0xBE, 0x82, 0xC5, 0xB0,
    0x56, 0x02, 0xCF, 0x65, 0xA1, 0x56, 0x3A, 0xBD, 0xBA, 0x47, 0x3A, 0xD1, 0xD5, 0x45, 0x82, 0x6E,
};

namespace {

// The byte arithmetic is done eight bytes at a time in 64-bit words: each
// byte lane adds or subtracts modulo 256 without carrying into its
// neighbour. Words are loaded and stored with memcpy, so a lane is always
// the same byte of the buffer and of the table, whatever the byte order.
constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
constexpr uint64_t HIGH = 0x8080808080808080ull;

inline uint64_t add8(uint64_t x, uint64_t y) {
  return ((x & LOW7) + (y & LOW7)) ^ ((x ^ y) & HIGH);
}
inline uint64_t sub8(uint64_t x, uint64_t y) {
  return ((x | HIGH) - (y & LOW7)) ^ ((x ^ ~y) & HIGH);
}

inline uint64_t load(const uint8_t *p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
inline void store(uint8_t *p, uint64_t w) { std::memcpy(p, &w, 8); }

// The words of a table, loaded once per call (set-key may have changed it).
template <int N>
struct Words {
  uint64_t w[N / 8];
  explicit Words(const uint8_t *table) {
    for (int i = 0; i < N / 8; i++) w[i] = load(table + 8 * i);
  }
};

// Byte-reverses 16 bytes held as two words.
inline void reverse16(uint64_t &a, uint64_t &b) {
  uint64_t t = __builtin_bswap64(a);
  a = __builtin_bswap64(b);
  b = t;
}

}  // namespace

int cypher3_encode(uint8_t *buf, int n) {
  const Words<32> x(cypher3_xor_table), a(cypher3_add_table);
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    for (int j = 0; j < 4; j++)
      store(buf + i + 8 * j, add8(load(buf + i + 8 * j) ^ x.w[j], a.w[j]));
  }
  for (; i < n; i++) {
    buf[i] = static_cast<uint8_t>((buf[i] ^ cypher3_xor_table[i & 31]) + cypher3_add_table[i & 31]);
  }
  return n;
}

int cypher3_decode(uint8_t *buf, int n) {
  const Words<32> x(cypher3_xor_table), a(cypher3_add_table);
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    for (int j = 0; j < 4; j++)
      store(buf + i + 8 * j, sub8(load(buf + i + 8 * j), a.w[j]) ^ x.w[j]);
  }
  for (; i < n; i++) {
    buf[i] = static_cast<uint8_t>((buf[i] - cypher3_add_table[i & 31]) ^ cypher3_xor_table[i & 31]);
  }
  return n;
}

// cypher4 groups: 32 bytes from a multiple of 32, paired from the outside in,
// (0, 31), (1, 30), ... (15, 16). With lo the first half and rev(hi) the
// second half reversed, encoding gives lo' = rev(hi) - lo, hi' = rev(lo), and
// decoding inverts it: lo' = rev(hi), hi' = rev(lo + rev(hi)). The byte step
// comes before the group step when encoding and after it when decoding.

int cypher4_encode(uint8_t *buf, int n) {
  const Words<64> x(cypher4_xor_table), a(cypher4_add_table);
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    const int t = (i & 63) / 8;
    uint64_t w[4];
    for (int j = 0; j < 4; j++) w[j] = sub8(load(buf + i + 8 * j), a.w[t + j]) ^ x.w[t + j];
    uint64_t r0 = w[2], r1 = w[3];
    reverse16(r0, r1);  // rev(hi)
    uint64_t l0 = w[0], l1 = w[1];
    store(buf + i, sub8(r0, l0));
    store(buf + i + 8, sub8(r1, l1));
    reverse16(l0, l1);  // rev(lo)
    store(buf + i + 16, l0);
    store(buf + i + 24, l1);
  }
  for (; i < n; i++) {
    buf[i] = static_cast<uint8_t>((buf[i] - cypher4_add_table[i & 63]) ^ cypher4_xor_table[i & 63]);
  }
  return n;
}

int cypher4_decode(uint8_t *buf, int n) {
  const Words<64> x(cypher4_xor_table), a(cypher4_add_table);
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    const int t = (i & 63) / 8;
    uint64_t r0 = load(buf + i + 16), r1 = load(buf + i + 24);
    reverse16(r0, r1);  // rev(hi)
    uint64_t s0 = add8(load(buf + i), r0), s1 = add8(load(buf + i + 8), r1);
    reverse16(s0, s1);
    const uint64_t w[4] = {r0, r1, s0, s1};
    for (int j = 0; j < 4; j++) store(buf + i + 8 * j, add8(w[j] ^ x.w[t + j], a.w[t + j]));
  }
  for (; i < n; i++) {
    buf[i] = static_cast<uint8_t>((buf[i] ^ cypher4_xor_table[i & 63]) + cypher4_add_table[i & 63]);
  }
  return n;
}

int cypher3_set_key(const uint8_t *key, int len) {
  if (!key || len < 1) return 0;
  for (int i = 0; i < 32; i++) {
    uint8_t c = key[i % len];
    cypher3_xor_table[i] = static_cast<uint8_t>(cypher3_xor_table[i] + c);
    cypher3_add_table[i] ^= c;
  }
  return len;
}

int cypher4_set_key(const uint8_t *key, int len) {
  if (!key || len < 1) return 0;
  for (int i = 0; i < 64; i++) {
    uint8_t c = key[i % len];
    cypher4_add_table[i] ^= c;
    cypher4_xor_table[i] = static_cast<uint8_t>(cypher4_xor_table[i] - c);
  }
  return len;
}

}  // namespace korvane
