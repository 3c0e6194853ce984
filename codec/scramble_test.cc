// SPDX-License-Identifier: MIT
#include "codec/scramble.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/codec_testdata.h"

namespace korvane {
namespace {

using bytes = std::vector<uint8_t>;

// The scramblers written out byte by byte, as their definition reads; the
// library's word-at-a-time versions must agree with these everywhere.
void ref_cypher3(bytes &b, bool encode) {
  for (size_t i = 0; i < b.size(); i++) {
    uint8_t x = cypher3_xor_table[i % 32], a = cypher3_add_table[i % 32];
    b[i] = encode ? static_cast<uint8_t>((b[i] ^ x) + a) : static_cast<uint8_t>((b[i] - a) ^ x);
  }
}

void ref_cypher4_bytes(bytes &b, bool encode) {
  for (size_t i = 0; i < b.size(); i++) {
    uint8_t x = cypher4_xor_table[i % 64], a = cypher4_add_table[i % 64];
    b[i] = encode ? static_cast<uint8_t>((b[i] - a) ^ x) : static_cast<uint8_t>((b[i] ^ x) + a);
  }
}

void ref_cypher4_groups(bytes &b, bool encode) {
  for (size_t g = 0; g + 32 <= b.size(); g += 32) {
    for (size_t k = 0; k < 16; k++) {
      uint8_t &lo = b[g + k], &hi = b[g + 31 - k];
      uint8_t x = lo, y = hi;
      if (encode) {
        hi = x;
        lo = static_cast<uint8_t>(y - x);
      } else {
        lo = y;
        hi = static_cast<uint8_t>(x + y);
      }
    }
  }
}

void ref_cypher4(bytes &b, bool encode) {
  if (encode) {
    ref_cypher4_bytes(b, true);
    ref_cypher4_groups(b, true);
  } else {
    ref_cypher4_groups(b, false);
    ref_cypher4_bytes(b, false);
  }
}

struct Scrambler {
  const char *name;
  int (*encode)(uint8_t *, int);
  int (*decode)(uint8_t *, int);
  void (*ref)(bytes &, bool);
};
const Scrambler kScramblers[] = {
    {"cypher3", cypher3_encode, cypher3_decode, ref_cypher3},
    {"cypher4", cypher4_encode, cypher4_decode, ref_cypher4},
};

TEST(Scramble, MatchesDefinitionAndRoundTrips) {
  const int lengths[] = {0, 1, 7, 8, 31, 32, 33, 40, 63, 64, 65, 95, 96, 100, 65536 + 17};
  for (const auto &s : kScramblers) {
    for (int n : lengths) {
      SCOPED_TRACE(std::string(s.name) + " length " + std::to_string(n));
      const bytes plain =
          testdata::random_bytes(static_cast<size_t>(n), 1000u + static_cast<uint32_t>(n));
      bytes enc = plain, want = plain;
      EXPECT_EQ(s.encode(enc.data(), n), n);
      s.ref(want, true);
      EXPECT_TRUE(enc == want);
      if (n > 0) {
        EXPECT_FALSE(enc == plain);
      }
      bytes dec = enc;
      EXPECT_EQ(s.decode(dec.data(), n), n);
      want = enc;
      s.ref(want, false);
      EXPECT_TRUE(dec == want);
      EXPECT_TRUE(dec == plain);
    }
  }
}

TEST(Scramble, UnalignedBuffersGiveTheSameBytes) {
  // Positions count from the buffer given, not from any address alignment.
  const bytes plain = testdata::random_bytes(1000, 5);
  for (const auto &s : kScramblers) {
    SCOPED_TRACE(s.name);
    bytes want = plain;
    s.encode(want.data(), 1000);
    bytes shifted(1003);
    std::memcpy(shifted.data() + 3, plain.data(), 1000);
    s.encode(shifted.data() + 3, 1000);
    EXPECT_TRUE(bytes(shifted.begin() + 3, shifted.end()) == want);
  }
}

TEST(Scramble, ChunkedDecodeEqualsWholeDecode) {
  const bytes plain = testdata::firmware_like(3 * 65536 + 1000, 6);
  for (const auto &s : kScramblers) {
    for (int chunk : {65536, 4096, 192}) {  // multiples of both key periods
      SCOPED_TRACE(std::string(s.name) + " chunk " + std::to_string(chunk));
      bytes enc = plain;
      s.encode(enc.data(), static_cast<int>(enc.size()));
      for (size_t off = 0; off < enc.size(); off += static_cast<size_t>(chunk)) {
        int n = static_cast<int>(std::min(enc.size() - off, static_cast<size_t>(chunk)));
        s.decode(enc.data() + off, n);
      }
      EXPECT_TRUE(enc == plain);
    }
  }
}

// Every image ever scrambled depends on these bytes: the key tables must
// never change.
TEST(Scramble, PinnedVectors) {
  bytes ramp(64);
  for (int i = 0; i < 64; i++) ramp[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  const bytes c3 = {0x38, 0x1A, 0x3E, 0x74, 0x15, 0xBB, 0x1B, 0x72, 0x14, 0xC5, 0x7E, 0x38, 0xC0,
                    0xA0, 0xDE, 0xA8, 0x25, 0xFD, 0x7C, 0x26, 0x21, 0xDA, 0x6C, 0xF3, 0x83, 0x6A,
                    0xA9, 0x16, 0xDF, 0x6E, 0x03, 0x57, 0x58, 0xFA, 0x5E, 0x94, 0x35, 0x9B, 0xFB,
                    0x92, 0x34, 0xA5, 0x5E, 0x58, 0xA0, 0x80, 0xFE, 0xC8, 0x05, 0xDD, 0x5C, 0x46,
                    0x41, 0xBA, 0x8C, 0x13, 0x63, 0x4A, 0xC9, 0x36, 0xBF, 0x4E, 0xE3, 0x37};
  const bytes c4 = {0x55, 0x74, 0xA2, 0x39, 0x9F, 0x88, 0x3E, 0xC8, 0xA2, 0x41, 0xC5, 0x41, 0x8D,
                    0x72, 0x64, 0xB0, 0x84, 0xD3, 0x87, 0x5A, 0xEE, 0xB6, 0x4A, 0xBD, 0x97, 0x14,
                    0x21, 0x6D, 0x1C, 0xDB, 0x95, 0x92, 0x9D, 0x63, 0xFE, 0x7A, 0x8B, 0xF2, 0xCC,
                    0x44, 0xFA, 0x70, 0x37, 0xD3, 0xA8, 0xCF, 0x63, 0x6D, 0xBD, 0x2F, 0xA5, 0x53,
                    0x70, 0x2D, 0x63, 0xA3, 0x11, 0x48, 0x44, 0xD3, 0x05, 0x6F, 0x6F, 0x8F};
  bytes b = ramp;
  cypher3_encode(b.data(), 64);
  EXPECT_TRUE(b == c3);
  b = ramp;
  cypher4_encode(b.data(), 64);
  EXPECT_TRUE(b == c4);
  // Past one key period, the tail of a partial group only gets the byte step.
  b.resize(70);
  for (int i = 0; i < 70; i++) b[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  cypher4_encode(b.data(), 70);
  EXPECT_TRUE(bytes(b.begin() + 64, b.end()) == (bytes{0xD2, 0xD5, 0x1B, 0xDC, 0x2D, 0xE1}));
}

TEST(Scramble, GroupOfEqualBytesBecomesZerosThenTheValue) {
  // Choose the input so that the byte step makes all 32 bytes equal to v.
  const uint8_t v = 0x3C;
  bytes b(32);
  for (size_t i = 0; i < 32; i++) {
    b[i] = static_cast<uint8_t>((v ^ cypher4_xor_table[i]) + cypher4_add_table[i]);
  }
  cypher4_encode(b.data(), 32);
  bytes want(16, 0);
  want.insert(want.end(), 16, v);
  EXPECT_TRUE(b == want);
}

TEST(Scramble, ShortBuffersGetOnlyTheByteStep) {
  for (int n : {31, 40}) {
    SCOPED_TRACE(n);
    const bytes plain = testdata::random_bytes(static_cast<size_t>(n), 77);
    bytes b = plain, bytes_only = plain;
    cypher4_encode(b.data(), n);
    ref_cypher4_bytes(bytes_only, true);
    const size_t grouped = static_cast<size_t>(n / 32 * 32);
    EXPECT_TRUE(bytes(b.begin() + static_cast<long>(grouped), b.end()) ==
                bytes(bytes_only.begin() + static_cast<long>(grouped), bytes_only.end()));
    EXPECT_EQ(n == 31, b == bytes_only);
  }
}

class SetKey : public testing::Test {
 protected:
  uint8_t saved[4][64];
  void SetUp() override {
    std::memcpy(saved[0], cypher3_xor_table, 32);
    std::memcpy(saved[1], cypher3_add_table, 32);
    std::memcpy(saved[2], cypher4_xor_table, 64);
    std::memcpy(saved[3], cypher4_add_table, 64);
  }
  void TearDown() override {
    std::memcpy(cypher3_xor_table, saved[0], 32);
    std::memcpy(cypher3_add_table, saved[1], 32);
    std::memcpy(cypher4_xor_table, saved[2], 64);
    std::memcpy(cypher4_add_table, saved[3], 64);
  }
};

TEST_F(SetKey, MixesTheKeyIntoTheTables) {
  const uint8_t key[] = {0x01, 0x80, 0xFF};
  EXPECT_EQ(cypher3_set_key(key, 3), 3);
  EXPECT_EQ(cypher4_set_key(key, 3), 3);
  for (int i = 0; i < 32; i++) {
    uint8_t c = key[i % 3];
    EXPECT_EQ(cypher3_xor_table[i], static_cast<uint8_t>(saved[0][i] + c));
    EXPECT_EQ(cypher3_add_table[i], saved[1][i] ^ c);
  }
  for (int i = 0; i < 64; i++) {
    uint8_t c = key[i % 3];
    EXPECT_EQ(cypher4_xor_table[i], static_cast<uint8_t>(saved[2][i] - c));
    EXPECT_EQ(cypher4_add_table[i], saved[3][i] ^ c);
  }
  // Still a round trip under the new tables, and a different encoding.
  for (const auto &s : kScramblers) {
    const bytes plain = testdata::random_bytes(200, 8);
    bytes b = plain;
    s.encode(b.data(), 200);
    bytes want = plain;
    s.ref(want, true);
    EXPECT_TRUE(b == want);
    s.decode(b.data(), 200);
    EXPECT_TRUE(b == plain);
  }
}

TEST_F(SetKey, NoKeyChangesNothing) {
  const uint8_t key[] = {9};
  EXPECT_EQ(cypher3_set_key(nullptr, 4), 0);
  EXPECT_EQ(cypher3_set_key(key, 0), 0);
  EXPECT_EQ(cypher4_set_key(key, -1), 0);
  EXPECT_EQ(std::memcmp(cypher3_xor_table, saved[0], 32), 0);
  EXPECT_EQ(std::memcmp(cypher3_add_table, saved[1], 32), 0);
  EXPECT_EQ(std::memcmp(cypher4_xor_table, saved[2], 64), 0);
  EXPECT_EQ(std::memcmp(cypher4_add_table, saved[3], 64), 0);
}

}  // namespace
}  // namespace korvane
