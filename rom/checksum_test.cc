// SPDX-License-Identifier: MIT
#include "rom/checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace korvane {
namespace {

// Bit-at-a-time CRC-32: an independent oracle for the table-driven one.
uint32_t crc32_bitwise(const uint8_t *p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  while (n--) {
    c ^= *p++;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

std::vector<uint32_t> random_words(size_t bytes, unsigned seed) {
  std::vector<uint32_t> v((bytes + 3) / 4 + 1);
  std::mt19937 gen(seed);
  for (auto &w : v) w = gen();
  return v;
}

TEST(Crc32, CheckValueAndEmpty) {
  alignas(4) const char digits[] = "123456789";
  EXPECT_EQ(crc32(0, digits, 9), 0xCBF43926u);
  EXPECT_EQ(crc32(0, digits, 0), 0u);
  EXPECT_EQ(crc32(0x12345678u, digits, 0), 0x12345678u);  // zero bytes give the seed back
}

TEST(Crc32, MatchesBitwiseAtEveryLengthAndContinues) {
  auto words = random_words(70000, 1);
  const auto *data = reinterpret_cast<const uint8_t *>(words.data());
  for (uint32_t len : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 64u, 65u, 4093u, 70000u}) {
    EXPECT_EQ(crc32(0, data, len), crc32_bitwise(data, len)) << len;
  }
  // A running CRC: crc(crc(A), B) == crc(A B), for splits that leave B at
  // any length (B is copied to an aligned buffer of its own).
  const uint32_t total = 1000;
  uint32_t whole = crc32(0, data, total);
  for (uint32_t split : {0u, 1u, 4u, 7u, 8u, 13u, 500u, 999u, 1000u}) {
    std::vector<uint32_t> tail(total / 4 + 1);
    std::memcpy(tail.data(), data + split, total - split);
    uint32_t a = crc32(0, data, split);
    EXPECT_EQ(crc32(a, tail.data(), total - split), whole) << split;
  }
}

TEST(Sum32, BytesAreUnsignedAndSumContinues) {
  alignas(4) const char abc[] = "abc";
  EXPECT_EQ(sum32(0, abc, 3), 294u);
  alignas(4) const uint8_t high[] = {0xFF, 0xFF, 0x80, 0x80, 0x01, 0, 0, 0, 0xFE};
  EXPECT_EQ(sum32(0, high, 9), 255u + 255 + 128 + 128 + 1 + 254);
  EXPECT_EQ(sum32(sum32(0, abc, 3), high, 9), 294u + 1021);
  EXPECT_EQ(sum32(0xFFFFFFFFu, abc, 3), 293u);  // wraps modulo 2^32
}

TEST(Checksums, RefuseUnalignedBuffer) {
  alignas(4) uint8_t buf[16] = {};
  for (int off = 1; off < 4; ++off) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(crc32(0, buf + off, 4), 0xFFFFFFFFu);
    EXPECT_EQ(sum32(0, buf + off, 4), 0xFFFFFFFFu);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "unalign address for crc32(...),gave up!\n"
              "unalign address for sum32(...),gave up!\n");
  }
}

}  // namespace
}  // namespace korvane
