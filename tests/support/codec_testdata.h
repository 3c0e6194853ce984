// SPDX-License-Identifier: MIT
// Deterministic inputs for the codec's tests and benchmarks: random bytes,
// and firmware-like images (code-like binary stretches, text, and 0xFF
// filler as erased flash leaves it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane::testdata {

/// xorshift32; never seeded with 0.
struct Rng {
  uint32_t s;
  explicit Rng(uint32_t seed) : s(seed ? seed : 0x9E3779B9u) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  Rng rng(seed);
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = static_cast<uint8_t>(rng.next() >> 24);
  return v;
}

/// About a third each of code-like binary, text and 0xFF filler, in
/// stretches of a few KiB to a few tens of KiB.
inline std::vector<uint8_t> firmware_like(size_t n, uint32_t seed) {
  static const char *const words[] = {
      "flash", "kernel", "mtd",       "block",  "erase", "write",   "nand",   "nor",
      "image", "boot",   "config",    "error",  "retry", "board",   "reset",  "driver",
      "init",  "module", "partition", "offset", "size",  "version", "failed", "done",
      "the",   "a",      "of",        "to",     "is",    "for",     "with",   "0x",
      "%d",    "%s",     "\n",        ": ",     ", "};
  constexpr size_t nwords = sizeof(words) / sizeof(words[0]);
  Rng rng(seed);
  std::vector<uint8_t> v;
  v.reserve(n);
  while (v.size() < n) {
    size_t len = 2048 + rng.below(30 * 1024);
    switch (rng.below(3)) {
      case 0: {  // code: 32-bit words from a few opcode patterns, with repeats
        size_t start = v.size();
        while (v.size() < start + len) {
          if (v.size() - start > 256 && rng.below(8) == 0) {
            size_t back = 4 * (1 + rng.below(static_cast<uint32_t>((v.size() - start) / 4)));
            size_t copy = 8 + 4 * rng.below(16);
            for (size_t i = 0; i < copy; i++) v.push_back(v[v.size() - back]);
          } else {
            uint32_t w = rng.next();
            uint8_t op = static_cast<uint8_t>(0xE0 | (w & 0x0F));
            v.push_back(static_cast<uint8_t>(w >> 8));
            v.push_back(static_cast<uint8_t>((w >> 16) & 0x3F));
            v.push_back(static_cast<uint8_t>(rng.below(4) ? 0x9F : w >> 24));
            v.push_back(op);
          }
        }
        break;
      }
      case 1: {  // text
        size_t start = v.size();
        while (v.size() < start + len) {
          for (const char *p = words[rng.below(nwords)]; *p; p++)
            v.push_back(static_cast<uint8_t>(*p));
          v.push_back(' ');
        }
        break;
      }
      default:  // erased flash
        v.insert(v.end(), len, 0xFF);
        break;
    }
  }
  v.resize(n);
  return v;
}

}  // namespace korvane::testdata
