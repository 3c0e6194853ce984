// SPDX-License-Identifier: MIT
#include "codec/cypher_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "rom/layout.h"

namespace korvane {
namespace {

TEST(CypherTable, DisplayNames) {
  EXPECT_STREQ(blk_cypher_name(ROM_BLK_CT_NONE), "none");
  EXPECT_STREQ(blk_cypher_name(ROM_BLK_CT_CYPHER4), "cypher4");
  EXPECT_STREQ(blk_cypher_name(ROM_BLK_CT_AES), "AES");
  EXPECT_STREQ(blk_cypher_name(ROM_BLK_CT_DES), "DES");
  EXPECT_STREQ(blk_cypher_name(5), "invalid");
  EXPECT_STREQ(blk_cypher_name(0x82), "invalid");
}

TEST(CypherTable, OptionWordsInAnyCase) {
  struct row {
    const char *word;
    bool ok;
    uint32_t value;
  } rows[] = {
      {"NONE", true, ROM_BLK_CT_NONE},
      {"7Zip", true, ROM_BLK_CT_CYPHER1},
      {"GZIP", true, ROM_BLK_CT_CYPHER2},
      {"C3", true, ROM_BLK_CT_CYPHER3},
      {"cypher4", true, ROM_BLK_CT_CYPHER4},
      {"aes", true, ROM_BLK_CT_AES},
      {"Des", true, ROM_BLK_CT_DES},
      {"cypher5", false, 0},
      {"", false, 0},
  };
  for (const row &r : rows) {
    uint32_t v = 0xDEAD;
    EXPECT_EQ(parse_blk_cypher(r.word, &v), r.ok) << r.word;
    EXPECT_EQ(v, r.ok ? r.value : 0xDEADu) << r.word;
  }
}

// Every row can be used as its kind says, and no word names two types.
TEST(CypherTable, RowsAreComplete) {
  std::set<std::string> words;
  for (const cypher_type &t : CYPHER_TYPES) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(cypher_find(t.value), &t);
    EXPECT_NE(t.encode, nullptr);
    EXPECT_EQ(t.undo != nullptr, t.decoding == cypher_decoding::transform);
    EXPECT_EQ(t.stream != nullptr, t.decoding == cypher_decoding::stream);
    EXPECT_EQ(t.stream_size != nullptr, t.decoding == cypher_decoding::stream);
    EXPECT_EQ(t.unpack != nullptr, t.unpack_size != nullptr);
    uint32_t v = 0;
    EXPECT_TRUE(parse_blk_cypher(t.name, &v));
    EXPECT_EQ(v, t.value);
    for (const char *w : t.words) {
      if (!w) continue;
      EXPECT_TRUE(words.insert(w).second) << w;
    }
  }
}

}  // namespace
}  // namespace korvane
