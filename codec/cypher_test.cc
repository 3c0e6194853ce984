// SPDX-License-Identifier: MIT
#include "codec/cypher.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/blkfmt.h"
#include "codec/cypher_table.h"
#include "codec/scramble.h"
#include "codec/zentarc.h"
#include "rom/checksum.h"
#include "rom/layout.h"
#include "rom/result.h"
#include "tests/support/codec_testdata.h"
#include "tests/support/codec_util.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using testing::MatchesRegex;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testutil::read_file;
using testutil::write_file;
using bytes = std::vector<uint8_t>;

constexpr uint64_t kOffset = 300;

bytes operator+(bytes a, const bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}  // where the payload sits in the source file

class Cypher : public testing::Test {
 protected:
  e2e::scratch_dir dir;
  std::vector<int> fds;
  ~Cypher() override {
    for (int fd : fds) close(fd);
  }

  int open_path(const std::string &path, int flags) {
    int fd = open(path.c_str(), flags, 0644);
    fds.push_back(fd);
    return fd;
  }

  /// A source file: 300 bytes of filler, the payload, more filler.
  int source(const bytes &payload) {
    bytes file(kOffset, 0xC3);
    file.insert(file.end(), payload.begin(), payload.end());
    file.insert(file.end(), 5000, 0x3C);
    write_file(dir.path("src"), file);
    return open_path(dir.path("src"), O_RDONLY);
  }

  /// A destination file holding `content`.
  int destination(const bytes &content = {}) {
    write_file(dir.path("dst"), content);
    return open_path(dir.path("dst"), O_RDWR);
  }

  /// cypher2's payload as the builder writes it: the content's CRC-32 in
  /// the first user word.
  static bytes block_format(const bytes &content) {
    bytes packed(content.size() * 2 + 64);
    int size = static_cast<int>(packed.size());
    EXPECT_EQ(
        blkfmt_encode(content.data(), static_cast<int>(content.size()), packed.data(), &size, 10,
                      1024, crc32(0, content.data(), static_cast<uint32_t>(content.size())), 0),
        RES_OK);
    packed.resize(static_cast<size_t>(size));
    return packed;
  }

  bytes lzma_stream(const bytes &content) {
    write_file(dir.path("plain"), content);
    int fd = open_path(dir.path("plain"), O_RDONLY);
    testutil::RecordSink sink;
    EXPECT_EQ(
        zentarc_encode_fd(fd, 0, static_cast<int>(content.size()), testutil::record_sink, &sink),
        RES_OK);
    return sink.data;
  }
};

TEST_F(Cypher, EveryTypeDecodesToAFile) {
  const bytes content = testdata::firmware_like(2 * 65536 + 45, 1);  // not a multiple of 32
  bytes scrambled3 = content, scrambled4 = content;
  cypher3_encode(scrambled3.data(), static_cast<int>(content.size()));
  cypher4_encode(scrambled4.data(), static_cast<int>(content.size()));
  const bytes packed = block_format(content);

  struct Case {
    uint32_t type;
    bytes payload;
    bytes expected;
  };
  const Case cases[] = {
      {ROM_BLK_CT_NONE, content, content},
      {ROM_BLK_CT_AES, content, content},
      {ROM_BLK_CT_DES, content, content},
      {ROM_BLK_CT_CYPHER1, lzma_stream(content), content},
      {ROM_BLK_CT_CYPHER2, packed, packed},  // stored block-format bytes are the output
      {ROM_BLK_CT_CYPHER3, scrambled3, content},
      {ROM_BLK_CT_CYPHER4, scrambled4, content},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.type);
    int src = source(c.payload);
    int dst = destination(bytes(10, 0xEE));
    lseek(dst, 5, SEEK_SET);  // written from its start whatever its position
    CaptureStdout();
    EXPECT_EQ(
        cypher_decode_file(c.type, src, kOffset, static_cast<uint32_t>(c.payload.size()), dst),
        static_cast<int>(c.expected.size()));
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(read_file(dir.path("dst")) == c.expected);
    // The sizes the table tells without decoding, and the bytes the builder
    // took: the content, and for cypher2 its block format undone.
    const cypher_type &t = *cypher_find(c.type);
    const auto length = static_cast<uint32_t>(c.payload.size());
    uint64_t size = 0;
    EXPECT_TRUE(cypher_content_size(t, src, kOffset, length, &size));
    EXPECT_EQ(size, c.expected.size());
    EXPECT_TRUE(cypher_source_size(t, src, kOffset, length, &size));
    EXPECT_EQ(size, content.size());
    CaptureStdout();
    EXPECT_EQ(cypher_source_file(c.type, src, kOffset, length, dst),
              static_cast<int>(content.size()));
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(read_file(dir.path("dst")) == content);
  }
  EXPECT_EQ(bytes(packed.begin(), packed.begin() + 4), (bytes{0x5C, 0x92, 0x1A, 0x8D}));
}

// cypher2 back to the builder's bytes: a payload whose segments, size or
// CRC do not hold together fails with its reason.
TEST_F(Cypher, Cypher2SourceFailures) {
  const bytes content = testdata::firmware_like(5000, 4);
  const bytes packed = block_format(content);
  bytes wrong_crc = packed, bad_magic = packed, flipped = packed;
  wrong_crc[16] ^= 1;  // user1
  bad_magic[0] ^= 1;
  flipped[packed.size() - 1] ^= 1;  // a byte of the last segment's data
  struct row {
    const char *what;
    bytes payload;
    const char *says;
  } rows[] = {
      {"shorter than its header", bytes(packed.begin(), packed.begin() + 40),
       "cypher2 payload shorter than its header,40\n"},
      {"cut short", bytes(packed.begin(), packed.end() - 30), "cypher2 payload ends after "},
      {"no magic", bad_magic, "cypher2 payload not in the block format\n"},
      {"another CRC", wrong_crc, "cypher2 content does not match its crc,"},
      {"a changed byte", flipped, "cypher2 content does not match its crc,"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    int src = source(r.payload);
    int dst = destination();
    CaptureStdout();
    EXPECT_LT(cypher_source_file(ROM_BLK_CT_CYPHER2, src, kOffset,
                                 static_cast<uint32_t>(r.payload.size()), dst),
              0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out.rfind(r.says, 0), 0u) << out;
  }
}

TEST_F(Cypher, UnknownTypesLeaveTheDestinationAlone) {
  const bytes content = testdata::random_bytes(1000, 2);
  for (uint32_t type : {5u, 127u, 130u}) {
    SCOPED_TRACE(type);
    int src = source(content);
    int dst = destination(bytes{'k', 'e', 'e', 'p'});
    CaptureStdout();
    EXPECT_EQ(cypher_decode_file(type, src, kOffset, 1000, dst), RES_FAULT);
    EXPECT_EQ(GetCapturedStdout(), "invalid cypher type," + std::to_string(type) + "\n");
    EXPECT_TRUE(read_file(dir.path("dst")) == (bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(lseek(src, 0, SEEK_CUR), 0);  // nothing read
  }
}

TEST_F(Cypher, EmptyPayloads) {
  int src = source({});
  int dst = destination();
  CaptureStdout();
  EXPECT_EQ(cypher_decode_file(ROM_BLK_CT_NONE, src, kOffset, 0, dst), 0);
  // A stream declaring 0 bytes decodes to an empty file without failure.
  const bytes stream = lzma_stream({});
  src = source(stream);
  EXPECT_EQ(cypher_decode_file(ROM_BLK_CT_CYPHER1, src, kOffset,
                               static_cast<uint32_t>(stream.size()), dst),
            0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(read_file(dir.path("dst")).empty());
}

TEST_F(Cypher, ShortSourcesFail) {
  // The source file ends 100 bytes before the payload length.
  const bytes content = testdata::random_bytes(70000, 3);
  write_file(dir.path("short"), bytes(kOffset, 0) + content);
  for (uint32_t type :
       {ROM_BLK_CT_NONE, ROM_BLK_CT_CYPHER2, ROM_BLK_CT_CYPHER3, ROM_BLK_CT_CYPHER4}) {
    SCOPED_TRACE(type);
    int src = open_path(dir.path("short"), O_RDONLY);
    int dst = destination();
    CaptureStdout();
    EXPECT_EQ(cypher_decode_file(type, src, kOffset, 70100, dst), RES_FAULT);
    EXPECT_THAT(GetCapturedStdout(), MatchesRegex("failed to copy file,[^\n]*\n"));
    EXPECT_EQ(read_file(dir.path("dst")).size(), 70000u);
  }
}

TEST_F(Cypher, Cypher1Failures) {
  const bytes content = testdata::firmware_like(150000, 4);
  bytes corrupt = lzma_stream(content);
  corrupt[13] = 0x80;
  int src = source(corrupt);
  int dst = destination();
  CaptureStdout();
  EXPECT_EQ(cypher1_decode_file(src, kOffset, static_cast<uint32_t>(corrupt.size()), dst, 0),
            RES_FAULT);
  EXPECT_THAT(GetCapturedStdout(), MatchesRegex("failed to Decode file,[^\n]*,0x[0-9a-f]+,1\n"
                                                "failed to decode by cypher1!\n"));

  // The destination refuses the first piece: the decode stops there.
  src = source(lzma_stream(content));
  int full = open_path("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  CaptureStdout();
  EXPECT_EQ(cypher_decode_file(ROM_BLK_CT_CYPHER1, src, kOffset, 1000, full), RES_FAULT);
  EXPECT_THAT(GetCapturedStdout(),
              MatchesRegex("failed to write cypher1_decode file,No space left on device\n"
                           "FileOutStream_Write\\(\\) failed\n"
                           "failed to Decode file,No space left on device,0x[0-9a-f]+,9\n"
                           "failed to decode by cypher1!\n"));
}

TEST_F(Cypher, FileSinkTracesWhenVerbose) {
  int dst = destination();
  cypher1_file_sink_ctx ctx{};
  ctx.dst = dst;
  ctx.verbose = 1;
  const uint8_t data[] = {1, 2, 3};
  CaptureStdout();
  EXPECT_EQ(cypher1_file_sink(&ctx, data, 3), 3);
  EXPECT_EQ(cypher1_file_sink(&ctx, data, 2), 2);
  EXPECT_EQ(GetCapturedStdout(), "cypher1_decode:0+=3\ncypher1_decode:3+=2\n");
  EXPECT_EQ(ctx.written, 5);
  EXPECT_TRUE(read_file(dir.path("dst")) == (bytes{1, 2, 3, 1, 2}));
}

// A stream of 2 GiB or more: the count of written bytes wraps at 32 bits, as
// the decoder's result does, so that the two still compare (and no signed
// overflow happens on the way).
TEST_F(Cypher, FileSinkCountWrapsAt32Bits) {
  cypher1_file_sink_ctx ctx{};
  ctx.dst = open_path("/dev/null", O_WRONLY);
  ctx.written = INT32_MAX - 1;
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(cypher1_file_sink(&ctx, data, 3), 3);
  EXPECT_EQ(ctx.written, INT32_MIN + 1);
}

TEST_F(Cypher, EncodeFileAndDestinationOffsets) {
  const bytes content = testdata::random_bytes(65536 + 77, 5);
  struct Pair {
    int (*encode)(int, uint64_t, uint32_t, int, uint64_t);
    int (*decode)(int, uint64_t, uint32_t, int, uint64_t);
  };
  for (const Pair &p : {Pair{cypher3_encode_file, cypher3_decode_file},
                        Pair{cypher4_encode_file, cypher4_decode_file}}) {
    int src = source(content);
    int dst = destination(bytes(8, 0xAA));
    EXPECT_EQ(p.encode(src, kOffset, static_cast<uint32_t>(content.size()), dst, 8),
              static_cast<int>(content.size()));
    bytes enc = read_file(dir.path("dst"));
    EXPECT_TRUE(bytes(enc.begin(), enc.begin() + 8) == bytes(8, 0xAA));
    EXPECT_FALSE(bytes(enc.begin() + 8, enc.end()) == content);
    write_file(dir.path("back"), {});
    int back = open_path(dir.path("back"), O_RDWR);
    EXPECT_EQ(p.decode(dst, 8, static_cast<uint32_t>(content.size()), back, 0),
              static_cast<int>(content.size()));
    EXPECT_TRUE(read_file(dir.path("back")) == content);
  }
  int src = source(content);
  int dst = destination(bytes(4, 0x11));
  EXPECT_EQ(cypher_copy_file(src, kOffset, 10, dst, 2), 10);
  bytes out = read_file(dir.path("dst"));
  EXPECT_TRUE(out == (bytes{0x11, 0x11} + bytes(content.begin(), content.begin() + 10)));
}

}  // namespace
}  // namespace korvane
