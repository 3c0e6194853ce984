// SPDX-License-Identifier: MIT
#include "rom/names.h"

#include <gtest/gtest.h>

#include <string>

#include "rom/layout.h"

namespace korvane {
namespace {

TEST(Names, DisplayNames) {
  EXPECT_STREQ(blk_type_name(ROM_BLK_TYPE_NONE), "none");
  EXPECT_STREQ(blk_type_name(ROM_BLK_TYPE_NAND_OOB), "nand-oob");
  EXPECT_STREQ(blk_type_name(ROM_BLK_TYPE_NOR), "nor-raw");
  EXPECT_STREQ(blk_type_name(ROM_BLK_TYPE_EXE), "execute");
  EXPECT_STREQ(blk_type_name(9), "unknown");
  EXPECT_STREQ(blk_type_name(0xFFFFFFFF), "unknown");
  EXPECT_STREQ(blk_data_name(ROM_BLK_DATA_FILE), "file");
  EXPECT_STREQ(blk_data_name(1), "invalid");
}

TEST(Names, OptionWordsAndTheirCase) {
  struct row {
    bool (*parse)(const char *, uint32_t *);
    const char *word;
    bool ok;
    uint32_t value;
  } rows[] = {
      {parse_blk_type, "nand-raw", true, ROM_BLK_TYPE_NAND_RAW},
      {parse_blk_type, "nor", true, ROM_BLK_TYPE_NOR},
      {parse_blk_type, "NOR", false, 0},  // the first seven words are exact
      {parse_blk_type, "Bin", false, 0},
      {parse_blk_type, "Script", true, ROM_BLK_TYPE_SCRIPT},
      {parse_blk_type, "EXE", true, ROM_BLK_TYPE_EXE},
      {parse_blk_type, "nor-raw", false, 0},  // a display name is no option word
      {parse_blk_type, "", false, 0},
      {parse_blk_data, "raw", true, ROM_BLK_DATA_RAW},
      {parse_blk_data, "file", true, ROM_BLK_DATA_FILE},
      {parse_blk_data, "RAW", false, 0},
  };
  for (const row &r : rows) {
    uint32_t v = 0xDEAD;
    EXPECT_EQ(r.parse(r.word, &v), r.ok) << r.word;
    EXPECT_EQ(v, r.ok ? r.value : 0xDEADu) << r.word;
  }
}

TEST(Names, FlagLists) {
  // 42 times "force," then "crc": exactly 255 characters.
  std::string longest;
  for (int i = 0; i < 42; ++i) longest += "force,";
  longest += "crc";
  ASSERT_EQ(longest.size(), 255u);

  struct row {
    std::string list;
    bool ok;
    uint32_t flags;
  } rows[] = {
      {"force,crc", true, 0x101},
      {"crc,checksum", true, 0x200},  // the later verify kind wins
      {"checksum,crc", true, 0x100},
      {"tool,force", true, 0x3},
      {"force,tool,crc", true, 0x103},
      {"", true, 0},
      {"force,", true, 0x1},  // a trailing comma is accepted
      {",force", false, 0},   // a leading comma makes an empty token
      {"force,,crc", false, 0},
      {",", false, 0},
      {"Force", false, 0},
      {"crc ", false, 0},
      {longest, true, 0x101},
      {longest + ",", false, 0},  // 256 characters: refused, never copied
      {std::string(4096, 'x'), false, 0},
  };
  for (const row &r : rows) {
    uint32_t v = 0xDEAD;
    EXPECT_EQ(parse_flag_list(r.list.c_str(), &v), r.ok) << r.list;
    EXPECT_EQ(v, r.ok ? r.flags : 0xDEADu) << r.list;
  }
}

TEST(Names, SplitListHandsOutTokensInOrder) {
  std::string seen;
  auto collect = [](void *ctx, const char *token) {
    *static_cast<std::string *>(ctx) += std::string("[") + token + "]";
    return true;
  };
  EXPECT_TRUE(split_list("a,bc,,d,", collect, &seen));
  EXPECT_EQ(seen, "[a][bc][][d]");
}

}  // namespace
}  // namespace korvane
