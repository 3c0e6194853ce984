// SPDX-License-Identifier: MIT
#include "install/blk_program.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/scramble.h"
#include "rom/result.h"

namespace korvane {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A writer that records every call, advances the offset like a device
// without bad blocks, and fails the call numbered fail_at (from 0).
struct write_call {
  uint32_t offset;
  std::string bytes;
  int mode;
  int outfd;
};
std::vector<write_call> calls;
int fail_at = -1;

int recording_writer(mtd_target *t, const uint8_t *buf, int len) {
  if (static_cast<int>(calls.size()) == fail_at) {
    calls.push_back({t->offset, "<failed>", t->mode, t->out_fd});
    errno = EIO;
    return -1;
  }
  calls.push_back(
      {t->offset, std::string(reinterpret_cast<const char *>(buf), len), t->mode, t->out_fd});
  t->offset += static_cast<uint32_t>(len);
  return 0;
}

// Bytes 0, 1, 2, ... 250, 0, 1, ...: no two chunks of a test look alike.
std::string pattern(size_t n, int seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i + seed) % 251);
  return s;
}

// A sink with its own buffer, writing through recording_writer. The buffer
// has room for a read piece behind the chunk (as decode_to_flash allocates
// it), or with tight set only 64 bytes, so that pieces go through a buffer
// of their own and flash_sink_put.
struct test_sink {
  std::vector<uint8_t> buffer;
  flash_sink s{};
  explicit test_sink(uint32_t chunk, int discard = 0, int verbose = 0, bool tight = false)
      : buffer(chunk + (tight ? 64 : FLASH_SINK_SLACK)) {
    s.target = {nullptr, -1, WRITE_RAW, verbose, 0};
    s.chunk = chunk;
    s.buffer = buffer.data();
    s.room = static_cast<uint32_t>(buffer.size());
    s.writer = recording_writer;
    s.discard = discard;
    s.verbose = verbose;
  }
  int put(const std::string &bytes) {
    return flash_sink_put(&s, reinterpret_cast<const uint8_t *>(bytes.data()),
                          static_cast<int>(bytes.size()));
  }
};

// A payload in a temporary file, behind a few bytes of something else.
struct payload_file {
  std::string path;
  int fd = -1;
  static constexpr uint64_t AT = 100;
  explicit payload_file(const std::string &bytes) {
    char name[] = "/tmp/korvane-install-XXXXXX";
    fd = mkstemp(name);
    path = name;
    std::string all = std::string(AT, 'x') + bytes;
    EXPECT_EQ(write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  }
  ~payload_file() {
    close(fd);
    unlink(path.c_str());
  }
};

class SinkTest : public testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    fail_at = -1;
  }
};

TEST(FlashLayout, ChunkAndAlignByClassTypeAndAlignment) {
  struct row {
    const char *what;
    int cls;
    uint32_t type, erasesize, writesize, oobsize;
    int block_align;
    uint32_t chunk, align;
  } rows[] = {
      {"nand raw, page-align", MTD_CLASS_NAND, ROM_BLK_TYPE_NAND_RAW, 131072, 2048, 64, 0, 131072,
       2048},
      {"nand raw, block-align", MTD_CLASS_NAND, ROM_BLK_TYPE_NAND_RAW, 131072, 2048, 64, 1, 131072,
       131072},
      {"nand oob: 64 records of 2112", MTD_CLASS_NAND, ROM_BLK_TYPE_NAND_OOB, 131072, 2048, 64, 0,
       135168, 2112},
      {"nand oob, block-align", MTD_CLASS_NAND, ROM_BLK_TYPE_NAND_OOB, 131072, 2048, 64, 1, 135168,
       135168},
      {"small-page oob", MTD_CLASS_NAND, ROM_BLK_TYPE_NAND_OOB, 16384, 512, 16, 0, 16896, 528},
      {"nor block on nand is raw", MTD_CLASS_NAND, ROM_BLK_TYPE_NOR, 131072, 2048, 64, 0, 131072,
       2048},
      {"nor, writesize 1", MTD_CLASS_NOR, ROM_BLK_TYPE_NOR, 65536, 1, 0, 0, 65536, 1},
      {"nor, block-align", MTD_CLASS_NOR, ROM_BLK_TYPE_NOR, 65536, 1, 0, 1, 65536, 65536},
      {"oob block on nor: no records", MTD_CLASS_NOR, ROM_BLK_TYPE_NAND_OOB, 65536, 1, 0, 0, 65536,
       1},
      {"failed geometry query", -1, ROM_BLK_TYPE_NAND_OOB, 0, 0, 0, 0, 0, 0},
  };
  for (const row &r : rows) {
    flash_layout l =
        blk_flash_layout(r.cls, r.type, r.erasesize, r.writesize, r.oobsize, r.block_align);
    EXPECT_EQ(l.chunk, r.chunk) << r.what;
    EXPECT_EQ(l.align, r.align) << r.what;
  }
}

TEST(FlashLayout, PadLength) {
  struct row {
    uint32_t fill, align, padded;
  } rows[] = {
      {5000, 2048, 6144},   {4096, 2048, 4096}, {1, 2048, 2048},        {21120, 2112, 21120},
      {21121, 2112, 23232}, {34464, 1, 34464},  {5000, 131072, 131072},
  };
  for (const row &r : rows)
    EXPECT_EQ(blk_pad_length(r.fill, r.align), r.padded) << r.fill << "/" << r.align;
}

TEST_F(SinkTest, CutsDeliveriesIntoWholeChunksAtAdvancingOffsets) {
  test_sink t(1000);
  std::string data = pattern(3700);
  // Uneven deliveries: inside one chunk, across two boundaries, exactly to one.
  EXPECT_EQ(t.put(data.substr(0, 300)), 300);
  EXPECT_EQ(t.put(data.substr(300, 2400)), 2400);
  EXPECT_EQ(t.put(data.substr(2700, 300)), 300);
  EXPECT_EQ(t.put(data.substr(3000, 700)), 700);
  ASSERT_EQ(calls.size(), 3u);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].offset, i * 1000);
    EXPECT_EQ(calls[i].bytes, data.substr(i * 1000, 1000)) << "chunk " << i;
  }
  EXPECT_EQ(t.s.fill, 700u);
  EXPECT_EQ(t.s.total, 3000u);
  EXPECT_EQ(t.s.target.offset, 3000u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(t.buffer.data()), 700), data.substr(3000));
}

TEST_F(SinkTest, VerboseLinesNameEachDeliveryAndChunk) {
  test_sink t(1000, 0, 1);
  CaptureStdout();
  t.put(pattern(1500));
  EXPECT_EQ(GetCapturedStdout(),
            "decode      :1500    ,mtd_offset:0x00000000,buf_offset:0       \n"
            "write       :1000    ,mtd_offset:0x00000000,buf_offset:0       \n");
}

TEST_F(SinkTest, DiscardCountsChunksWithoutWriting) {
  test_sink t(1000, 1, 1);
  CaptureStdout();
  EXPECT_EQ(t.put(pattern(2500)), 2500);
  EXPECT_EQ(GetCapturedStdout(),
            "decode      :2500    ,mtd_offset:0x00000000,buf_offset:0       \n"
            "discard     :1000    ,mtd_offset:0x00000000,buf_offset:0       \n"
            "discard     :1000    ,mtd_offset:0x00000000,buf_offset:0       \n");
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(t.s.total, 2000u);
  EXPECT_EQ(t.s.fill, 500u);
}

TEST_F(SinkTest, FailedChunkStopsTheDeliveryAndRefusesEveryLaterOne) {
  test_sink t(1000);
  fail_at = 1;
  CaptureStdout();
  EXPECT_EQ(t.put(pattern(3500)), RES_FAULT);
  EXPECT_EQ(t.put(pattern(1000)), RES_FAULT);
  EXPECT_EQ(GetCapturedStdout(), "failed to mtd write,Input/output error\n");
  // The first chunk landed, the second failed; nothing was written after it.
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].bytes, "<failed>");
  EXPECT_EQ(t.s.target.offset, 1000u);
  EXPECT_TRUE(t.s.failed);
}

// flash_decode over a payload file: the decode, the padded final chunk and
// the result.
struct decode_case {
  const char *what;
  uint32_t cypher;
  size_t length;
  uint32_t chunk, align;
  uint8_t pad;
  std::vector<uint32_t> writes;  // lengths handed to the writer
};

class DecodeTest : public SinkTest {};

TEST_F(DecodeTest, ChunksAndPadsTheLastChunk) {
  const decode_case cases[] = {
      {"exact multiple: no pad, no final write",
       ROM_BLK_CT_NONE,
       6144,
       2048,
       512,
       0xFF,
       {2048, 2048, 2048}},
      {"page-align", ROM_BLK_CT_NONE, 5000, 131072, 2048, 0xFF, {6144}},
      {"block-align", ROM_BLK_CT_NONE, 5000, 131072, 131072, 0xFF, {131072}},
      {"pad 0x00", ROM_BLK_CT_NONE, 5000, 131072, 2048, 0x00, {6144}},
      {"oob: 10 whole records need no pad",
       ROM_BLK_CT_NONE,
       135168 + 21120,
       135168,
       2112,
       0xFF,
       {135168, 21120}},
      {"oob, block-align", ROM_BLK_CT_NONE, 21120, 135168, 135168, 0xFF, {135168}},
      {"nor writesize 1", ROM_BLK_CT_NONE, 100000, 65536, 1, 0xFF, {65536, 34464}},
      {"chunks smaller than a piece",
       ROM_BLK_CT_NONE,
       100000,
       16384,
       512,
       0xFF,
       {16384, 16384, 16384, 16384, 16384, 16384, 2048}},
      {"cypher2 as stored", ROM_BLK_CT_CYPHER2, 70000, 65536, 1, 0xFF, {65536, 4464}},
      {"aes as stored", ROM_BLK_CT_AES, 300, 65536, 1, 0xFF, {300}},
      {"des as stored", ROM_BLK_CT_DES, 300, 65536, 1, 0xFF, {300}},
      {"empty payload", ROM_BLK_CT_NONE, 0, 2048, 2048, 0xFF, {}},
      {"empty cypher1 payload", ROM_BLK_CT_CYPHER1, 0, 2048, 2048, 0xFF, {}},
  };
  for (const decode_case &c : cases) {
    for (bool tight : {false, true}) {
      SCOPED_TRACE(std::string(c.what) +
                   (tight ? ", through flash_sink_put" : ", read into the chunk buffer"));
      calls.clear();
      std::string data = pattern(c.length, 7);
      payload_file f(data);
      test_sink t(c.chunk, 0, 0, tight);
      int r = flash_decode(&t.s, c.cypher, f.fd, payload_file::AT, c.length, c.align, c.pad);
      EXPECT_EQ(r, static_cast<int>(c.length));
      ASSERT_EQ(calls.size(), c.writes.size());
      std::string written;
      uint32_t at = 0;
      for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].bytes.size(), c.writes[i]) << "call " << i;
        EXPECT_EQ(calls[i].offset, at);
        at += c.writes[i];
        written += calls[i].bytes;
      }
      EXPECT_EQ(written.substr(0, c.length), data);
      EXPECT_EQ(written.substr(c.length),
                std::string(written.size() - c.length, static_cast<char>(c.pad)));
    }
  }
}

TEST_F(DecodeTest, ScramblersAreUndoneOnePieceAtATime) {
  // The builder encodes the whole payload at once; pieces of 65536 bytes
  // start at multiples of 64, so decoding them one by one gives it back.
  for (uint32_t cypher : {ROM_BLK_CT_CYPHER3, ROM_BLK_CT_CYPHER4}) {
    for (bool tight : {false, true}) {
      calls.clear();
      std::string plain = pattern(65536 * 2 + 1000, 3);
      std::string stored = plain;
      auto *p = reinterpret_cast<uint8_t *>(stored.data());
      int n = static_cast<int>(stored.size());
      cypher == ROM_BLK_CT_CYPHER3 ? cypher3_encode(p, n) : cypher4_encode(p, n);
      ASSERT_NE(stored, plain);
      payload_file f(stored);
      test_sink t(135168, 0, 0, tight);  // chunks that end inside a piece
      EXPECT_EQ(flash_decode(&t.s, cypher, f.fd, payload_file::AT, n, 1, 0xFF), n);
      std::string written;
      for (const auto &c : calls) written += c.bytes;
      EXPECT_EQ(written, plain) << "cypher " << cypher << (tight ? ", tight" : "");
    }
  }
}

TEST_F(DecodeTest, VerboseLinesOfTheFinalChunk) {
  struct row {
    int discard;
    const char *out;
  } rows[] = {
      {0,
       "decode: cypher(0)\n"
       "decode      :5000    ,mtd_offset:0x00000000,buf_offset:0       \n"
       "write pad = 5000  ,align = 6144  \n"
       "decode: 5000     ?=5000     done\n"},
      {1,
       "decode: cypher(0)\n"
       "decode      :5000    ,mtd_offset:0x00000000,buf_offset:0       \n"
       "discard pad = 5000  ,align = 6144  \n\n"
       "decode: 5000     ?=5000     done\n"},
  };
  for (const row &r : rows) {
    calls.clear();
    payload_file f(pattern(5000));
    test_sink t(131072, r.discard, 1);
    CaptureStdout();
    EXPECT_EQ(flash_decode(&t.s, ROM_BLK_CT_NONE, f.fd, payload_file::AT, 5000, 2048, 0xFF), 5000);
    EXPECT_EQ(GetCapturedStdout(), r.out);
    EXPECT_EQ(calls.size(), r.discard ? 0u : 1u);
  }
}

TEST_F(DecodeTest, FailuresFailTheBlock) {
  struct row {
    const char *what;
    uint32_t cypher;
    size_t stored;    // bytes in the file
    uint32_t length;  // payload length claimed
    int fail;         // writer call that fails
    int result;
    size_t calls;
    const char *out;
  } rows[] = {
      {"a chunk in the middle", ROM_BLK_CT_NONE, 5000, 5000, 1, RES_FAULT, 2,
       "failed to mtd write,Input/output error\n"
       "failed to decode by cypher(0)!\n"},
      {"the final padded chunk", ROM_BLK_CT_NONE, 5000, 5000, 2, RES_FAULT, 3,
       "failed to mtd write,Input/output error\n"
       "failed to decode by cypher(0)!\n"},
      {"payload beyond the end of the file", ROM_BLK_CT_NONE, 3000, 5000, -1, RES_FAULT, 1,
       "failed to read,payload is short,3000<5000\n"
       "failed to decode by cypher(0)!\n"},
      {"unknown cypher", 5, 5000, 5000, -1, RES_INVAL, 0,
       "invalid extract type,5\n"
       "failed to decode by cypher(5)!\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    calls.clear();
    fail_at = r.fail;
    payload_file f(pattern(r.stored));
    test_sink t(2048);
    CaptureStdout();
    EXPECT_EQ(flash_decode(&t.s, r.cypher, f.fd, payload_file::AT, r.length, 2048, 0xFF), r.result);
    EXPECT_EQ(GetCapturedStdout(), r.out);
    EXPECT_EQ(calls.size(), r.calls);
  }
}

TEST(FeedRegion, StopsWhenTheSinkRefuses) {
  payload_file f(pattern(200000));
  struct counter {
    int pieces = 0;
  } c;
  auto refuse_second = [](void *ctx, const uint8_t *, int n) {
    return ++static_cast<counter *>(ctx)->pieces == 2 ? RES_FAULT : n;
  };
  EXPECT_EQ(feed_region(f.fd, payload_file::AT, 200000, nullptr, {&c, refuse_second}), RES_FAULT);
  EXPECT_EQ(c.pieces, 2);
}

TEST(FeedRegion, PiecesOf65536AndTheTransformSeesEach) {
  payload_file f(pattern(150000));
  static std::vector<int> transformed, delivered;
  transformed.clear();
  delivered.clear();
  auto t = [](uint8_t *, int n) {
    transformed.push_back(n);
    return n;
  };
  auto sink = [](void *, const uint8_t *, int n) {
    delivered.push_back(n);
    return n;
  };
  EXPECT_EQ(feed_region(f.fd, payload_file::AT, 150000, t, {nullptr, sink}), 150000);
  EXPECT_EQ(transformed, (std::vector<int>{65536, 65536, 18928}));
  EXPECT_EQ(delivered, transformed);
}

TEST(BlkSelected, EmptyListSelectsAll) {
  EXPECT_EQ(blk_selected(install_settings{}, 4), 1);
  install_settings s{.ids = {3, 5}};
  EXPECT_EQ(blk_selected(s, 3), 1);
  EXPECT_EQ(blk_selected(s, 5), 1);
  EXPECT_EQ(blk_selected(s, 4), 0);
}

}  // namespace
}  // namespace korvane
