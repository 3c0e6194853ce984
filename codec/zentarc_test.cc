// SPDX-License-Identifier: MIT
#include "codec/zentarc.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/zentarc_stream.h"
#include "rom/result.h"
#include "tests/support/codec_testdata.h"
#include "tests/support/codec_util.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::scratch_dir;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testutil::read_file;
using testutil::record_sink;
using testutil::RecordSink;
using testutil::write_file;
using bytes = std::vector<uint8_t>;

// The settings that make the SDK's own command-line coder write what our
// encoder writes.
const std::vector<std::string> kAloneSettings = {"-d18",  "-lc3",  "-lp0",   "-pb2",
                                                 "-fb32", "-mc32", "-mfbt4", "-a1"};

/// A descriptor on a file, closed when it goes.
struct Fd {
  int fd;
  explicit Fd(const std::string &path, int flags = O_RDONLY)
      : fd(open(path.c_str(), flags, 0644)) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

class ZentarcTest : public testing::Test {
 protected:
  e2e::scratch_dir dir;

  /// Our encoder over `input` placed after `offset` filler bytes.
  bytes encode(const bytes &input, int offset = 0, int size = -2) {
    bytes file(static_cast<size_t>(offset), 0xA5);
    file.insert(file.end(), input.begin(), input.end());
    write_file(dir.path("enc.in"), file);
    Fd in(dir.path("enc.in"));
    RecordSink sink;
    int r =
        zentarc_encode_fd(in.fd, static_cast<uint64_t>(offset),
                          size == -2 ? static_cast<int>(input.size()) : size, record_sink, &sink);
    EXPECT_EQ(r, RES_OK);
    return sink.data;
  }

  /// Our decoder over `stream` placed after `offset` filler bytes.
  int decode(const bytes &stream, RecordSink *sink, int offset = 0) {
    bytes file(static_cast<size_t>(offset), 0x5A);
    file.insert(file.end(), stream.begin(), stream.end());
    write_file(dir.path("dec.in"), file);
    Fd in(dir.path("dec.in"));
    return zentarc_decode_fd(in.fd, static_cast<uint64_t>(offset), static_cast<int>(stream.size()),
                             record_sink, sink);
  }

  std::string tool(const std::string &name) {
    std::string path = testutil::find_tool(name);
    return path;
  }
};

uint64_t size_field(const bytes &stream) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= static_cast<uint64_t>(stream[5 + i]) << (8 * i);
  return v;
}

TEST(Zentarc, IdentificationTexts) {
  EXPECT_STREQ(zentarc_version(), "1.0.2.3 for zentarc");
  EXPECT_STREQ(zentarc_build_date(), "Jun 27 2013,15:11:48");
}

TEST(Zentarc, SeqInStreamReadFillsOrReportsEarlyEnd) {
  // A stream that hands out at most 3 bytes per call.
  struct Trickle {
    ISeqInStream s;
    const char *p;
    size_t left;
  };
  Trickle t{{[](void *pp, void *buf, size_t *size) -> SRes {
              auto *self = static_cast<Trickle *>(pp);
              size_t n = std::min({*size, self->left, size_t{3}});
              std::memcpy(buf, self->p, n);
              self->p += n;
              self->left -= n;
              *size = n;
              return SZ_OK;
            }},
            "abcdefghij",
            10};
  char buf[16] = {};
  EXPECT_EQ(SeqInStream_Read(&t.s, buf, 8), SZ_OK);
  EXPECT_STREQ(buf, "abcdefgh");
  EXPECT_EQ(SeqInStream_Read(&t.s, buf, 0), SZ_OK);
  EXPECT_EQ(SeqInStream_Read(&t.s, buf, 5), SZ_ERROR_INPUT_EOF);
}

TEST_F(ZentarcTest, HeaderAndRoundTripsOfManySizes) {
  struct Case {
    const char *what;
    bytes input;
  };
  const Case cases[] = {
      {"one byte", {0x42}},
      {"one piece exactly", testdata::random_bytes(65536, 7)},
      {"one byte more than a piece", testdata::random_bytes(65537, 8)},
      {"beyond the dictionary", testdata::firmware_like(700 * 1024, 9)},
      {"all 0xFF", bytes(300000, 0xFF)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    bytes stream = encode(c.input, 100);
    ASSERT_GE(stream.size(), 13u);
    EXPECT_EQ(bytes(stream.begin(), stream.begin() + 5), (bytes{0x5D, 0x00, 0x00, 0x04, 0x00}));
    EXPECT_EQ(size_field(stream), c.input.size());
    RecordSink sink;
    EXPECT_EQ(decode(stream, &sink, 37), static_cast<int>(c.input.size()));
    EXPECT_TRUE(sink.data == c.input);
    for (int piece : sink.pieces) EXPECT_LE(piece, 65536);
  }
}

TEST_F(ZentarcTest, EmptyInputEncodesToHeaderAndDecodesToNothing) {
  bytes stream = encode({});
  ASSERT_GE(stream.size(), 13u);
  EXPECT_EQ(size_field(stream), 0u);
  RecordSink sink;
  EXPECT_EQ(decode(stream, &sink), 0);
  EXPECT_TRUE(sink.data.empty());
  // Only the 13 header bytes: still nothing to produce, and no failure.
  EXPECT_EQ(decode(bytes(stream.begin(), stream.begin() + 13), &sink), 0);
}

TEST_F(ZentarcTest, RecordedSizeIsIndependentOfTheInput) {
  // The whole input is encoded whatever size is recorded; only the header differs.
  bytes input = testdata::random_bytes(5000, 3);
  bytes stream = encode(input, 0, 1000);
  bytes full = encode(input);
  EXPECT_EQ(size_field(stream), 1000u);
  EXPECT_TRUE(bytes(stream.begin() + 13, stream.end()) == bytes(full.begin() + 13, full.end()));
}

TEST_F(ZentarcTest, NegativeSizeIsRecordedAsUnknownWithEndMarker) {
  bytes input = testdata::firmware_like(100000, 4);
  bytes stream = encode(input, 0, -1);
  EXPECT_EQ(size_field(stream), ~0ull);
  RecordSink sink;
  EXPECT_EQ(decode(stream, &sink), 100000);
  EXPECT_TRUE(sink.data == input);
}

// --- interop with the SDK's own command-line coder and with xz ---

class ZentarcInterop : public ZentarcTest {
 protected:
  std::string alone, xz;
  void SetUp() override {
    alone = tool("lzma_alone");
    xz = tool("xz");
    if (alone.empty() || xz.empty()) GTEST_SKIP() << "lzma_alone or xz is not installed";
  }
  const bytes inputs[3] = {bytes{'x'}, testdata::random_bytes(70000, 11),
                           testdata::firmware_like(600 * 1024, 12)};
};

TEST_F(ZentarcInterop, OurStreamEqualsTheSdkCoderByteForByte) {
  for (const auto &input : inputs) {
    SCOPED_TRACE(input.size());
    write_file(dir.path("in"), input);
    std::vector<std::string> argv = {alone, "e", dir.path("in"), dir.path("alone.lzma")};
    argv.insert(argv.end(), kAloneSettings.begin(), kAloneSettings.end());
    ASSERT_EQ(testutil::run_tool(argv), 0);
    bytes theirs = read_file(dir.path("alone.lzma"));
    bytes ours = encode(input);
    EXPECT_TRUE(ours == theirs) << "ours " << ours.size() << " bytes, theirs " << theirs.size();
  }
}

TEST_F(ZentarcInterop, PeersDecodeOurStreams) {
  for (const auto &input : inputs) {
    SCOPED_TRACE(input.size());
    write_file(dir.path("ours.lzma"), encode(input));
    ASSERT_EQ(testutil::run_tool({xz, "--format=lzma", "-d", "-c"}, dir.path("ours.lzma"),
                                 dir.path("xz.out")),
              0);
    EXPECT_TRUE(read_file(dir.path("xz.out")) == input);
    ASSERT_EQ(testutil::run_tool({alone, "d", dir.path("ours.lzma"), dir.path("alone.out")}), 0);
    EXPECT_TRUE(read_file(dir.path("alone.out")) == input);
  }
}

TEST_F(ZentarcInterop, WeDecodePeerStreams) {
  for (const auto &input : inputs) {
    SCOPED_TRACE(input.size());
    write_file(dir.path("in"), input);
    std::vector<std::string> argv = {alone, "e", dir.path("in"), dir.path("alone.lzma")};
    argv.insert(argv.end(), kAloneSettings.begin(), kAloneSettings.end());
    ASSERT_EQ(testutil::run_tool(argv), 0);
    RecordSink a;
    EXPECT_EQ(decode(read_file(dir.path("alone.lzma")), &a), static_cast<int>(input.size()));
    EXPECT_TRUE(a.data == input);

    // xz writes an unknown size and an end marker.
    ASSERT_EQ(testutil::run_tool({xz, "--format=lzma", "-c"}, dir.path("in"), dir.path("xz.lzma")),
              0);
    bytes xz_stream = read_file(dir.path("xz.lzma"));
    EXPECT_EQ(size_field(xz_stream), ~0ull);
    RecordSink x;
    EXPECT_EQ(decode(xz_stream, &x), static_cast<int>(input.size()));
    EXPECT_TRUE(x.data == input);
  }
}

TEST_F(ZentarcInterop, LargeDictionaryOfAKnownSizeIsCutToTheSize) {
  // xz -9 writes a 64 MiB dictionary; with the size patched in, the decoder
  // needs no more than the size.
  bytes input = testdata::firmware_like(200000, 13);
  write_file(dir.path("in"), input);
  ASSERT_EQ(
      testutil::run_tool({xz, "--format=lzma", "-9", "-c"}, dir.path("in"), dir.path("xz.lzma")),
      0);
  bytes stream = read_file(dir.path("xz.lzma"));
  stream[4] = 0x40;  // 1 GiB dictionary
  for (int i = 0; i < 8; i++) stream[5 + i] = static_cast<uint8_t>(input.size() >> (8 * i));
  RecordSink sink;
  EXPECT_EQ(decode(stream, &sink), static_cast<int>(input.size()));
  EXPECT_TRUE(sink.data == input);
}

// --- failures ---

TEST_F(ZentarcTest, DescriptorZeroAndUnseekableInput) {
  RecordSink sink;
  CaptureStdout();
  EXPECT_EQ(zentarc_decode_fd(0, 0, 0, record_sink, &sink), RES_FAULT);
  EXPECT_EQ(zentarc_encode_fd(0, 0, 0, record_sink, &sink), RES_FAULT);
  std::string out = GetCapturedStdout();
  EXPECT_THAT(out, testing::MatchesRegex("invalid input fd,[^\n]*,\\(nil\\)\n"
                                         "invalid input fd,[^\n]*,\\(nil\\)\n"));

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  CaptureStdout();
  EXPECT_EQ(zentarc_decode_fd(p[0], 10, 0, record_sink, &sink), RES_FAULT);
  EXPECT_EQ(zentarc_encode_fd(p[0], 10, 0, record_sink, &sink), RES_FAULT);
  EXPECT_EQ(GetCapturedStdout(),
            "failed to seek at 10,Illegal seek\nfailed to seek at 10,Illegal seek\n");
  close(p[0]);
  close(p[1]);
  EXPECT_TRUE(sink.pieces.empty());
}

TEST_F(ZentarcTest, BadStreamsAreRefused) {
  const bytes input = testdata::firmware_like(200000, 21);
  const bytes good = encode(input);
  struct Case {
    const char *what;
    bytes stream;
    const char *output;  // regex
    size_t at_most;      // decoded bytes that may reach the sink
  };
  bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  bytes corrupt = good;
  corrupt[13] = 0xFF;  // the range coder's first byte is always 0
  bytes bad_props = good;
  bad_props[0] = 225;  // lc/lp/pb beyond their ranges
  bytes huge_dict = good;
  huge_dict[3] = 0x00;
  huge_dict[4] = 0x08;  // 128 MiB dictionary, unknown size
  for (int i = 5; i < 13; i++) huge_dict[i] = 0xFF;
  const Case cases[] = {
      {"header cut short", bytes(good.begin(), good.begin() + 12), "", 0},
      {"data cut short", truncated,
       "decode EOF,but finished without mark!\nfailed to Decode file,[^\n]*,0x[0-9a-f]+,1\n",
       input.size()},
      {"corrupt data", corrupt, "failed to Decode file,[^\n]*,0x[0-9a-f]+,1\n", 0},
      {"unsupported properties", bad_props, "", 0},
      {"dictionary too large", huge_dict, "dictionary too large,134217728>67108864\n", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    RecordSink sink;
    CaptureStdout();
    EXPECT_EQ(decode(c.stream, &sink), RES_FAULT);
    EXPECT_THAT(GetCapturedStdout(), testing::MatchesRegex(c.output));
    EXPECT_LE(sink.data.size(), c.at_most);
    EXPECT_TRUE(bytes(input.begin(), input.begin() + static_cast<long>(sink.data.size())) ==
                sink.data);
  }
}

TEST_F(ZentarcTest, TruncatedStreamDeliversWhatItDecodedFirst) {
  const bytes input = testdata::firmware_like(300000, 22);
  bytes stream = encode(input);
  stream.resize(stream.size() - 10);
  RecordSink sink;
  CaptureStdout();
  EXPECT_EQ(decode(stream, &sink), RES_FAULT);
  GetCapturedStdout();
  EXPECT_GT(sink.data.size(), 65536u);
  EXPECT_TRUE(bytes(input.begin(), input.begin() + static_cast<long>(sink.data.size())) ==
              sink.data);
}

TEST_F(ZentarcTest, SinkRefusingAPieceStopsTheDecode) {
  const bytes input = testdata::random_bytes(200000, 23);
  const bytes stream = encode(input);
  RecordSink sink;
  sink.refuse_at = 1;  // the second piece
  CaptureStdout();
  EXPECT_EQ(decode(stream, &sink), RES_FAULT);
  EXPECT_THAT(GetCapturedStdout(),
              testing::MatchesRegex("FileOutStream_Write\\(\\) failed\n"
                                    "failed to Decode file,[^\n]*,0x[0-9a-f]+,9\n"));
  EXPECT_EQ(sink.pieces.size(), 2u);  // nothing after the refused piece
  EXPECT_TRUE(bytes(input.begin(), input.begin() + static_cast<long>(sink.data.size())) ==
              sink.data);
}

TEST_F(ZentarcTest, SinkRefusingEncodedBytes) {
  const bytes input = testdata::random_bytes(100000, 24);
  write_file(dir.path("in"), input);
  Fd in(dir.path("in"));
  struct Case {
    const char *what;
    size_t capacity;
    const char *output;
  };
  const Case cases[] = {
      {"header refused", 5,
       "FileOutStream_Write\\(\\) failed\nencode failed on write!\n"
       "failed to Encode file,[^\n]*,0x[0-9a-f]+\n"},
      {"buffer too small for the data", 50000,
       "FileOutStream_Write\\(\\) failed\nfailed to Encode file,[^\n]*,0x[0-9a-f]+\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    RecordSink sink;
    sink.capacity = c.capacity;
    CaptureStdout();
    EXPECT_EQ(zentarc_encode_fd(in.fd, 0, static_cast<int>(input.size()), record_sink, &sink),
              RES_FAULT);
    EXPECT_THAT(GetCapturedStdout(), testing::MatchesRegex(c.output));
  }
}

// --- the path variants and the size peek ---

TEST_F(ZentarcTest, FileToFileRoundTrip) {
  const bytes input = testdata::firmware_like(150000, 31);
  write_file(dir.path("plain"), input);
  int packed = zentarc_encode_file(dir.path("plain").c_str(), dir.path("packed").c_str());
  EXPECT_EQ(packed, static_cast<int>(read_file(dir.path("packed")).size()));
  EXPECT_TRUE(read_file(dir.path("packed")) == encode(input));
  EXPECT_EQ(zentarc_decode_file(dir.path("packed").c_str(), dir.path("back").c_str()),
            static_cast<int>(input.size()));
  EXPECT_TRUE(read_file(dir.path("back")) == input);
  EXPECT_EQ(zentarc_unpack_size_file(dir.path("packed").c_str()), 150000);
}

TEST_F(ZentarcTest, PathVariantFailures) {
  const std::string missing = dir.path("missing");
  const std::string out = dir.path("out");
  CaptureStdout();
  EXPECT_EQ(zentarc_encode_file(missing.c_str(), out.c_str()), RES_FAULT);
  EXPECT_EQ(zentarc_decode_file(missing.c_str(), out.c_str()), RES_FAULT);
  EXPECT_EQ(zentarc_unpack_size_file(missing.c_str()), RES_FAULT);
  write_file(dir.path("plain"), {1, 2, 3});
  const std::string bad_dst = dir.path("nofolder/out");
  EXPECT_EQ(zentarc_encode_file(dir.path("plain").c_str(), bad_dst.c_str()), RES_FAULT);
  EXPECT_EQ(GetCapturedStdout(),
            "failed to open src file,No such file or directory," + missing + "\n" +
                "failed to open src file,No such file or directory," + missing + "\n" +
                "failed to open file,No such file or directory," + missing + "\n" +
                "failed to open dst file,No such file or directory," + bad_dst + "\n");

  // A stream that decodes to fewer bytes than it declares: the size check
  // of the file variant has nothing to compare, the decode fails first.
  bytes stream = encode(testdata::random_bytes(1000, 32));
  stream.resize(stream.size() - 20);
  write_file(dir.path("short.lzma"), stream);
  CaptureStdout();
  EXPECT_EQ(zentarc_decode_file(dir.path("short.lzma").c_str(), out.c_str()), SZ_ERROR_DATA);
  EXPECT_THAT(GetCapturedStdout(),
              testing::MatchesRegex("decode EOF,but finished without mark!\n"
                                    "failed to Decode file,[^\n]*,[^\n]*short.lzma,1\n"));
}

TEST_F(ZentarcTest, UnpackSizePeek) {
  struct Case {
    uint64_t size;
    int expected;
  };
  const Case cases[] = {{1, 1},
                        {0x0FFFFFFF, 0x0FFFFFFF},
                        {0, RES_FAULT},
                        {0x10000000, RES_FAULT},
                        {~0ull, RES_FAULT}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    bytes file(20 + 13, 0);  // the header 20 bytes in
    file[20] = 0x5D;
    file[23] = 0x04;
    for (int i = 0; i < 8; i++) file[25 + i] = static_cast<uint8_t>(c.size >> (8 * i));
    write_file(dir.path("h"), file);
    Fd fd(dir.path("h"));
    EXPECT_EQ(zentarc_unpack_size_fd(fd.fd, 20), c.expected);
  }
  write_file(dir.path("short"), {0x5D, 0, 0});
  Fd fd(dir.path("short"));
  CaptureStdout();
  EXPECT_EQ(zentarc_unpack_size_fd(fd.fd, 0), RES_FAULT);
  EXPECT_THAT(GetCapturedStdout(), testing::MatchesRegex("failed to read at 0x[0-9a-f]+,[^\n]*\n"));
}

}  // namespace
}  // namespace korvane
