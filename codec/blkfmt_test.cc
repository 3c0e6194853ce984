// SPDX-License-Identifier: MIT
#include "codec/blkfmt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "rom/result.h"
#include "tests/support/codec_testdata.h"
#include "tests/support/codec_util.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using bytes = std::vector<uint8_t>;

struct Seg {
  int length;
  int kind;
  bool operator==(const Seg &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Seg &s) {
  return os << (s.kind == BLKFMT_SEG_RUN ? "run " : "literal ") << s.length;
}

/// Packs with a generous capacity; fails the test on any error.
bytes pack(const bytes &in, int min_run, int max_seg, uint32_t user1 = 0, uint32_t user2 = 0) {
  bytes out(in.size() * 3 + 64);
  int size = static_cast<int>(out.size());
  EXPECT_EQ(blkfmt_encode(in.data(), static_cast<int>(in.size()), out.data(), &size, min_run,
                          max_seg, user1, user2),
            RES_OK);
  out.resize(static_cast<size_t>(size));
  return out;
}

/// The segment headers of a packed stream, walked by hand.
std::vector<Seg> segments_of(const bytes &packed) {
  std::vector<Seg> segs;
  size_t pos = BLKFMT_HDR_SIZE;
  while (pos + 4 <= packed.size()) {
    Seg s{packed[pos] | packed[pos + 1] << 8, packed[pos + 2]};
    EXPECT_EQ(packed[pos + 3], 0xFF);
    segs.push_back(s);
    pos += 4 + (s.kind == BLKFMT_SEG_RUN ? 1 : static_cast<size_t>(s.length));
  }
  EXPECT_EQ(pos, packed.size());
  return segs;
}

/// Feeds `packed` to a streaming decoder in pieces of the given sizes (in
/// turn, repeated), stepping and taking after every feed.
bytes stream_decode(const bytes &packed, const std::vector<size_t> &pieces) {
  size_t largest = BLKFMT_HDR_SIZE;
  for (size_t p : pieces) largest = std::max(largest, p + BLKFMT_HDR_SIZE);
  std::vector<uint64_t> storage((blkfmt_dec_size(largest + BLKFMT_DEC_ROOM_EXTRA) + 7) / 8);
  auto *ctx = reinterpret_cast<blkfmt_dec *>(storage.data());
  EXPECT_EQ(blkfmt_dec_init(ctx, storage.size() * 8), RES_OK);
  bytes out(2 * 65536), result;
  size_t pos = 0, turn = 0;
  while (pos < packed.size()) {
    size_t n = pieces[turn++ % pieces.size()];
    if (pos == 0) n += BLKFMT_HDR_SIZE;  // the first feed carries the header
    n = std::min(n, packed.size() - pos);
    EXPECT_EQ(blkfmt_dec_feed(ctx, packed.data() + pos, static_cast<int>(n)), RES_OK);
    pos += n;
    int count = 0;
    while (blkfmt_dec_step(ctx, out.data(), &count) == RES_OK) {
      result.insert(result.end(), out.begin(), out.begin() + count);
      EXPECT_EQ(blkfmt_dec_take(ctx, out.data(), count), count);
    }
  }
  EXPECT_EQ(ctx->buffered, 0u);
  return result;
}

bytes operator+(bytes a, const bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
bytes text(const char *s) { return bytes(s, s + std::strlen(s)); }

constexpr int RUN = BLKFMT_SEG_RUN;
constexpr int LIT = BLKFMT_SEG_LITERAL;

TEST(Blkfmt, Segmentation) {
  struct Case {
    const char *what;
    bytes input;
    int min_run, max_seg;
    std::vector<Seg> segs;
    int packed;
  };
  const Case cases[] = {
      {"20 equal then 5 different",
       bytes(20, 0x11) + bytes{1, 2, 3, 4, 5},
       10,
       1024,
       {{20, RUN}, {5, LIT}},
       62},
      {"3000 zeros", bytes(3000, 0), 10, 1024, {{1024, RUN}, {1024, RUN}, {952, RUN}}, 63},
      {"three equal bytes fill the window", bytes(3, 7), 10, 1024, {{3, RUN}}, 53},
      {"minimum run 3 acts as 6", text("aaaabcdefg"), 3, 1024, {{10, LIT}}, 62},
      {"literal, run, literal",
       text("abc") + bytes(8, 'z') + text("de"),
       6,
       1024,
       {{3, LIT}, {8, RUN}, {2, LIT}},
       66},
      {"short run at the start stays literal", text("xxabc"), 6, 1024, {{5, LIT}}, 57},
      {"runs cut at multiples of the maximum",
       bytes(20, 'q'),
       6,
       8,
       {{8, RUN}, {8, RUN}, {4, RUN}},
       63},
      {"literals cut at multiples of the maximum",
       text("abcdefghij"),
       6,
       6,
       {{6, LIT}, {4, LIT}},
       66},
      {"a run split at a boundary leaves a short run",
       text("abcdefgh") + bytes(10, 'k'),
       6,
       8,
       {{8, LIT}, {8, RUN}, {2, RUN}},
       70},
      {"a short run at a window's end stays literal",
       text("abcde") + bytes(5, 'k'),
       6,
       8,
       {{8, LIT}, {2, RUN}},
       65},
      {"maximum above 65535 acts as 65535",
       bytes(70000, 0xEE),
       6,
       70000,
       {{65535, RUN}, {4465, RUN}},
       58},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    bytes packed = pack(c.input, c.min_run, c.max_seg);
    EXPECT_EQ(static_cast<int>(packed.size()), c.packed);
    EXPECT_EQ(segments_of(packed), c.segs);
    uint32_t unpacked = 0, packed_size = 0;
    EXPECT_EQ(blkfmt_get_sizes(packed.data(), &unpacked, &packed_size), RES_OK);
    EXPECT_EQ(unpacked, c.input.size());
    EXPECT_EQ(packed_size, packed.size());
    EXPECT_TRUE(stream_decode(packed, {1, 3, 100}) == c.input);
  }
}

TEST(Blkfmt, HeaderFields) {
  bytes packed = pack(bytes(20, 0x11) + bytes{1, 2, 3, 4, 5}, 3, 100000, 0xCAFEF00D, 7);
  const auto *h = reinterpret_cast<const blkfmt_hdr *>(packed.data());
  EXPECT_EQ(h->magic.get(), BLKFMT_MAGIC);
  EXPECT_EQ(packed[0], 0x5C);  // little-endian on every target
  EXPECT_EQ(h->version.get(), 1u);
  EXPECT_EQ(h->hsize.get(), 48u);
  EXPECT_EQ(h->reserved.get(), 0u);
  EXPECT_EQ(h->user1.get(), 0xCAFEF00Du);
  EXPECT_EQ(h->user2.get(), 7u);
  EXPECT_EQ(h->unpacked.get(), 25u);
  EXPECT_EQ(h->packed.get(), 62u);
  EXPECT_EQ(h->segments.get(), 2u);
  EXPECT_EQ(h->min_run.get(), 6u);
  EXPECT_EQ(h->max_seg.get(), 65535u);
  EXPECT_EQ(h->seg_hsize.get(), 4u);
  uint32_t u1 = 0, u2 = 0;
  EXPECT_EQ(blkfmt_get_user(packed.data(), &u1, &u2), RES_OK);
  EXPECT_EQ(u1, 0xCAFEF00Du);
  EXPECT_EQ(u2, 7u);
  EXPECT_EQ(blkfmt_get_user(packed.data(), nullptr, &u2), RES_OK);
  EXPECT_EQ(blkfmt_get_sizes(packed.data(), nullptr, nullptr), RES_OK);

  EXPECT_EQ(blkfmt_get_sizes(nullptr, &u1, &u2), RES_FAULT);
  EXPECT_EQ(blkfmt_get_user(nullptr, &u1, &u2), RES_FAULT);
  packed[0] ^= 1;
  EXPECT_EQ(blkfmt_get_sizes(packed.data(), &u1, &u2), RES_FAULT);
  EXPECT_EQ(blkfmt_get_user(packed.data(), &u1, &u2), RES_FAULT);
}

TEST(Blkfmt, EncodeRefusals) {
  const bytes in = testdata::random_bytes(100, 3);
  struct Case {
    const char *what;
    const uint8_t *in;
    int len;
    bool out, size;
    int capacity, min_run, max_seg;
    int result;
  };
  const Case cases[] = {
      {"no input", nullptr, 100, true, true, 1000, 10, 1024, RES_INVAL},
      {"no output", in.data(), 100, false, true, 1000, 10, 1024, RES_INVAL},
      {"no size", in.data(), 100, true, false, 1000, 10, 1024, RES_INVAL},
      {"empty input", in.data(), 0, true, true, 1000, 10, 1024, RES_INVAL},
      {"negative length", in.data(), -1, true, true, 1000, 10, 1024, RES_INVAL},
      {"capacity below the header", in.data(), 10, true, true, 47, 10, 1024, RES_FAULT},
      {"capacity below the length", in.data(), 100, true, true, 99, 10, 1024, RES_FAULT},
      {"segments do not fit", in.data(), 100, true, true, 150, 10, 1024, RES_FAULT},
      {"maximum segment below the minimum run", in.data(), 100, true, true, 1000, 6, 5, RES_FAULT},
      {"maximum segment below a raised minimum run", in.data(), 100, true, true, 1000, 3, 5,
       RES_FAULT},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    bytes out(1000, 0xAB);
    int size = c.capacity;
    EXPECT_EQ(blkfmt_encode(c.in, c.len, c.out ? out.data() : nullptr, c.size ? &size : nullptr,
                            c.min_run, c.max_seg, 0, 0),
              c.result);
    EXPECT_EQ(size, c.capacity);  // the size is left alone on failure
  }

  // Out of room among the segments: the area holds the header as written
  // before the first segment (packed size 48, no segments).
  bytes out(150, 0xAB);
  int size = 150;
  ASSERT_EQ(blkfmt_encode(in.data(), 100, out.data(), &size, 10, 1024, 7, 9), RES_FAULT);
  uint32_t unpacked = 0, packed = 0, user1 = 0, user2 = 0;
  ASSERT_EQ(blkfmt_get_sizes(out.data(), &unpacked, &packed), RES_OK);
  ASSERT_EQ(blkfmt_get_user(out.data(), &user1, &user2), RES_OK);
  EXPECT_EQ(unpacked, 100u);
  EXPECT_EQ(packed, 48u);
  EXPECT_EQ(user1, 7u);
  EXPECT_EQ(user2, 9u);
  EXPECT_EQ(reinterpret_cast<const blkfmt_hdr *>(out.data())->segments.get(), 0u);
}

TEST(Blkfmt, NextSegmentDirectly) {
  const bytes in = text("aaaaaaaab");
  EXPECT_EQ(blkfmt_next_segment(in.data(), 9, 6, 100).length, 8);
  EXPECT_EQ(blkfmt_next_segment(in.data(), 9, 6, 100).kind, RUN);
  EXPECT_EQ(blkfmt_next_segment(in.data() + 8, 1, 6, 100).length, 1);
  EXPECT_EQ(blkfmt_next_segment(in.data() + 8, 1, 6, 100).kind, LIT);
  EXPECT_EQ(blkfmt_next_segment(in.data(), 9, 6, 1).kind, RUN);  // a window of one byte
}

TEST(Blkfmt, StreamingDecoderInUnevenPieces) {
  const bytes input = testdata::firmware_like(400000, 4);
  const bytes packed = pack(input, 10, 1024);
  EXPECT_LT(packed.size(), input.size());
  for (const auto &pieces : std::vector<std::vector<size_t>>{
           {1}, {7, 1, 300, 4, 5}, {65536}, {4096, 13, 100000}, {packed.size()}}) {
    SCOPED_TRACE(pieces.size());
    EXPECT_TRUE(stream_decode(packed, pieces) == input);
  }
  // Large segments: the output buffer holds one segment of 65535 bytes.
  const bytes wide = testdata::random_bytes(200000, 5) + bytes(100000, 0);
  EXPECT_TRUE(stream_decode(pack(wide, 6, 65535), {9999, 3}) == wide);
}

class BlkfmtDecoder : public testing::Test {
 protected:
  std::vector<uint64_t> storage = std::vector<uint64_t>(blkfmt_dec_size(1024) / 8);
  blkfmt_dec *ctx = reinterpret_cast<blkfmt_dec *>(storage.data());
  bytes out = bytes(2 * 65536);
  const bytes input = text("hello") + bytes(30, 'z') + text("world");
  const bytes packed = pack(input, 6, 1024);  // literal 5, run 30, literal 5
  void SetUp() override { ASSERT_EQ(blkfmt_dec_init(ctx, storage.size() * 8), RES_OK); }
};

TEST_F(BlkfmtDecoder, InitRefusals) {
  EXPECT_EQ(blkfmt_dec_init(nullptr, 100), RES_FAULT);
  EXPECT_EQ(blkfmt_dec_init(ctx, 0), RES_FAULT);
  EXPECT_EQ(blkfmt_dec_init(ctx, sizeof(blkfmt_dec) - 1), RES_FAULT);
  EXPECT_EQ(blkfmt_dec_init(ctx, sizeof(blkfmt_dec)), RES_OK);
}

TEST_F(BlkfmtDecoder, HeaderMustComeFirstAndWhole) {
  int count = -1;
  EXPECT_EQ(blkfmt_dec_step(ctx, out.data(), &count), RES_FAULT);  // no header yet
  EXPECT_EQ(blkfmt_dec_take(ctx, out.data(), 1), RES_FAULT);
  EXPECT_EQ(blkfmt_dec_feed(ctx, packed.data(), 47), RES_FAULT);
  EXPECT_EQ(ctx->hdr.magic.get(), 0u);  // kept nothing
  EXPECT_EQ(ctx->buffered, 0u);
  bytes bad = packed;
  bad[1] ^= 0x40;
  EXPECT_EQ(blkfmt_dec_feed(ctx, bad.data(), static_cast<int>(bad.size())), RES_FAULT);
  EXPECT_EQ(ctx->buffered, 0u);
  EXPECT_EQ(blkfmt_dec_feed(ctx, packed.data(), 0), RES_FAULT);
  EXPECT_EQ(blkfmt_dec_feed(ctx, nullptr, 5), RES_FAULT);
  EXPECT_EQ(blkfmt_dec_feed(ctx, packed.data(), 48), RES_OK);
  EXPECT_EQ(ctx->hdr.unpacked.get(), input.size());
  EXPECT_EQ(ctx->buffered, 0u);
}

TEST_F(BlkfmtDecoder, StepsNeedWholeSegments) {
  int count = -1;
  ASSERT_EQ(blkfmt_dec_feed(ctx, packed.data(), 48 + 4), RES_OK);  // header of the first literal
  EXPECT_EQ(blkfmt_dec_step(ctx, out.data(), &count), RES_FAULT);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(blkfmt_dec_feed(ctx, packed.data() + 52, 4), RES_OK);  // 4 of its 5 bytes
  EXPECT_EQ(blkfmt_dec_step(ctx, out.data(), &count), RES_FAULT);
  EXPECT_EQ(ctx->buffered, 8u);
  ASSERT_EQ(blkfmt_dec_feed(ctx, packed.data() + 56, 1 + 4), RES_OK);  // rest, and the run header
  EXPECT_EQ(blkfmt_dec_step(ctx, out.data(), &count), RES_OK);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(blkfmt_dec_step(ctx, out.data(), &count), RES_FAULT);  // the run lacks its value
  EXPECT_EQ(count, 5);
  ASSERT_EQ(blkfmt_dec_feed(ctx, packed.data() + 61, 1), RES_OK);
  EXPECT_EQ(blkfmt_dec_step(ctx, out.data(), &count), RES_OK);
  EXPECT_EQ(count, 35);
  EXPECT_TRUE(bytes(out.begin(), out.begin() + 35) == bytes(input.begin(), input.begin() + 35));
  // Everything buffered was used: the next feed lands at the input's start.
  EXPECT_EQ(ctx->buffered, 0u);
  EXPECT_EQ(ctx->fill, 0u);
  ASSERT_EQ(blkfmt_dec_feed(ctx, packed.data() + 62, 9), RES_OK);
  EXPECT_EQ(std::memcmp(blkfmt_dec_input(ctx), packed.data() + 62, 9), 0);
  // Taking drops bytes from the front of the output.
  EXPECT_EQ(blkfmt_dec_take(ctx, out.data(), 30), 30);
  EXPECT_EQ(ctx->output, 5u);
  EXPECT_EQ(blkfmt_dec_step(ctx, out.data(), &count), RES_OK);
  EXPECT_EQ(count, 10);
  EXPECT_TRUE(bytes(out.begin(), out.begin() + 10) == bytes(input.end() - 10, input.end()));
  EXPECT_EQ(blkfmt_dec_take(ctx, out.data(), 1000), 10);  // cut to what is there
  EXPECT_EQ(ctx->output, 0u);
}

TEST_F(BlkfmtDecoder, KindZeroIsRefusedWithAMessage) {
  bytes bad = packed;
  bad[48 + 2] = 0;
  ASSERT_EQ(blkfmt_dec_feed(ctx, bad.data(), static_cast<int>(bad.size())), RES_OK);
  const blkfmt_dec before = *ctx;
  int count = -1;
  CaptureStdout();
  EXPECT_EQ(blkfmt_dec_step(ctx, out.data(), &count), RES_FAULT);
  EXPECT_EQ(GetCapturedStdout(), "invalid blk format,0\n");
  EXPECT_EQ(count, 0);
  EXPECT_EQ(std::memcmp(&before, ctx, sizeof before), 0);
}

TEST_F(BlkfmtDecoder, FeedBeyondTheInputBufferIsRefused) {
  const bytes big = pack(testdata::random_bytes(3000, 9), 6, 1024);
  ASSERT_EQ(blkfmt_dec_feed(ctx, big.data(), 48 + 1000), RES_OK);
  EXPECT_EQ(blkfmt_dec_feed(ctx, big.data() + 1048, 25), RES_FAULT);  // 1024 bytes of room
  EXPECT_EQ(ctx->buffered, 1000u);
  EXPECT_EQ(blkfmt_dec_feed(ctx, big.data() + 1048, 24), RES_OK);
}

class BlkfmtFile : public testing::Test {
 protected:
  e2e::scratch_dir dir;
  int open_file(const std::string &name, const bytes &content, int flags = O_RDWR) {
    testutil::write_file(dir.path(name), content);
    int fd = open(dir.path(name).c_str(), flags);
    fds.push_back(fd);
    return fd;
  }
  std::vector<int> fds;
  ~BlkfmtFile() override {
    for (int fd : fds) close(fd);
  }
};

TEST_F(BlkfmtFile, PacksAFileIntoAFile) {
  const bytes input = testdata::firmware_like(300000, 10);
  int in = open_file("in", input);
  int out = open_file("out", bytes(10, 0));
  lseek(in, 1234, SEEK_SET);  // both are positioned at 0 first
  EXPECT_EQ(blkfmt_encode_fd(in, 0, out, 10, 1024, 0x1234, 0), RES_OK);
  const bytes packed = testutil::read_file(dir.path("out"));
  EXPECT_TRUE(packed == pack(input, 10, 1024, 0x1234, 0));
  EXPECT_TRUE(stream_decode(packed, {5000}) == input);

  // An explicit length packs only the start; a tiny input fits too.
  int out2 = open_file("out2", {});
  EXPECT_EQ(blkfmt_encode_fd(in, 1, out2, 10, 1024, 0, 0), RES_OK);
  EXPECT_TRUE(testutil::read_file(dir.path("out2")) == pack(bytes{input[0]}, 10, 1024));
}

TEST_F(BlkfmtFile, Refusals) {
  int in = open_file("in", testdata::random_bytes(100, 11));
  int empty = open_file("empty", {});
  int out = open_file("out", {});
  int readonly = open_file("ro", {}, O_RDONLY);
  EXPECT_EQ(blkfmt_encode_fd(0, 0, out, 10, 1024, 0, 0), RES_INVAL);
  EXPECT_EQ(blkfmt_encode_fd(in, 0, -1, 10, 1024, 0, 0), RES_INVAL);
  EXPECT_EQ(blkfmt_encode_fd(empty, 0, out, 10, 1024, 0, 0), RES_FAULT);
  EXPECT_EQ(blkfmt_encode_fd(in, 101, out, 10, 1024, 0, 0), RES_FAULT);  // beyond the file
  EXPECT_EQ(blkfmt_encode_fd(in, 0, out, 6, 5, 0, 0), RES_FAULT);
  EXPECT_EQ(blkfmt_encode_fd(in, 0, readonly, 10, 1024, 0, 0), RES_FAULT);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(blkfmt_encode_fd(p[0], 0, out, 10, 1024, 0, 0), RES_FAULT);  // cannot be positioned
  close(p[0]);
  close(p[1]);
  EXPECT_TRUE(testutil::read_file(dir.path("out")).empty());
}

}  // namespace
}  // namespace korvane
