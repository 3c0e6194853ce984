// SPDX-License-Identifier: MIT
#include "rom/layout.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korvane {
namespace {

TEST(Layout, FieldsAreBigEndianInFileOrder) {
  blk_hdr h{};
  h.length.set(0x11223344);
  const auto *b = reinterpret_cast<const uint8_t *>(&h) + offsetof(blk_hdr, length);
  EXPECT_EQ(b[0], 0x11);
  EXPECT_EQ(b[3], 0x44);
  EXPECT_EQ(h.length.get(), 0x11223344u);
}

TEST(Layout, TextFieldsStopAtNulOrWidth) {
  rom_hdr h;
  std::memset(&h, 0xAA, sizeof h);  // the bytes after dev_name are not NUL

  set_text_field(h.dev_name, "0123456789ABCDEF");  // exactly the width: no NUL
  EXPECT_EQ(std::memcmp(h.dev_name, "0123456789ABCDEF", 16), 0);
  EXPECT_EQ(text_field(h.dev_name), "0123456789ABCDEF");

  set_text_field(h.dev_name, "0123456789ABCDEFGHIJ");  // longer: cut at the width
  EXPECT_EQ(text_field(h.dev_name), "0123456789ABCDEF");
  EXPECT_EQ(static_cast<uint8_t>(h.oem_name[0]), 0xAA);  // the next field is untouched

  set_text_field(h.dev_name, "dev");  // shorter: the rest is zero-filled
  EXPECT_EQ(text_field(h.dev_name), "dev");
  for (size_t i = 3; i < sizeof h.dev_name; ++i) EXPECT_EQ(h.dev_name[i], 0) << i;
}

TEST(Layout, PaddedLength) {
  EXPECT_EQ(blk_padded(0), 0u);
  EXPECT_EQ(blk_padded(1), 16u);
  EXPECT_EQ(blk_padded(16), 16u);
  EXPECT_EQ(blk_padded(17), 32u);
}

}  // namespace
}  // namespace korvane
