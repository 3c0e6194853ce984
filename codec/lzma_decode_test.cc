// SPDX-License-Identifier: MIT
// lzma_dec against the LZMA SDK's decoder, call for call: every call with the
// same input and output room must take and produce the same counts, end with
// the same status and result and produce the same bytes, under splits of
// the input and output from whole buffers down to single bytes. The streams:
// ours, the SDK coder's and xz's with other settings, cut short, and with
// bytes flipped. (fuzz/lzma_diff.cc runs the same comparison on mutated
// streams.)
#include "codec/lzma_decode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LzmaDec.h"
#include "codec/zentarc.h"
#include "tests/support/codec_testdata.h"
#include "tests/support/codec_util.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using bytes = std::vector<uint8_t>;
using testutil::read_file;
using testutil::RecordSink;
using testutil::write_file;

void *sdk_alloc(void *, size_t n) { return n ? std::malloc(n) : nullptr; }
void sdk_free(void *, void *p) { std::free(p); }
ISzAlloc g_alloc = {sdk_alloc, sdk_free};

/// The SDK's decoder, freed on every path.
struct sdk_dec {
  CLzmaDec d;
  sdk_dec() { LzmaDec_Construct(&d); }
  ~sdk_dec() { LzmaDec_Free(&d, &g_alloc); }
};

/// How input and output are handed over: 0 whole buffers of 64 KiB as the
/// stream codec does, 1 single bytes of input, 2 a mix of small and odd sizes.
size_t piece(int split, testdata::Rng &rng, size_t whole) {
  switch (split) {
    case 0:
      return whole;
    case 1:
      return 1;
    default:
      return rng.below(4) == 0 ? whole : 1 + rng.below(rng.below(2) ? 7 : 3000);
  }
}

/// Decodes `s` (13-byte header, data) with both decoders call for call.
testing::AssertionResult same_calls(const bytes &s, int split, uint32_t seed) {
  sdk_dec sdk;
  lzma_dec own;
  const int r_sdk = LzmaDec_Allocate(&sdk.d, s.data(), LZMA_PROPS_SIZE, &g_alloc);
  const int r_own = lzma_dec_allocate(&own, s.data());
  if (r_sdk != r_own) return testing::AssertionFailure() << "allocate " << r_sdk << " " << r_own;
  if (r_sdk != SZ_OK) return testing::AssertionSuccess();
  LzmaDec_Init(&sdk.d);
  lzma_dec_init(&own);
  uint64_t left = 0;
  for (int i = 0; i < 8; i++) left |= static_cast<uint64_t>(s[5 + i]) << (8 * i);
  const bool sized = left != ~0ull;
  testdata::Rng rng(seed);
  size_t pos = 13;
  static uint8_t a[65536], b[65536];
  for (int call = 0;; call++) {
    const size_t in_len = std::min(piece(split, rng, 65536), s.size() - pos);
    size_t out_len = split == 1 ? 1 + rng.below(300) : piece(split, rng, 65536);
    bool finish_end = false;
    if (sized && out_len > left) {
      out_len = static_cast<size_t>(left);
      finish_end = true;
    }
    SizeT in_a = in_len, out_a = out_len;
    size_t in_b = in_len, out_b = out_len;
    ELzmaStatus st_a;
    lzma_dec_status st_b;
    const int res_a = LzmaDec_DecodeToBuf(&sdk.d, a, &out_a, s.data() + pos, &in_a,
                                          finish_end ? LZMA_FINISH_END : LZMA_FINISH_ANY, &st_a);
    const int res_b =
        lzma_dec_decode_to_buf(&own, b, &out_b, s.data() + pos, &in_b, finish_end, &st_b);
    if (res_a != res_b || in_a != in_b || out_a != out_b || int{st_a} != int{st_b} ||
        std::memcmp(a, b, out_a) != 0) {
      return testing::AssertionFailure()
             << "call " << call << " at input " << pos << ": result " << res_a << "/" << res_b
             << ", taken " << in_a << "/" << in_b << ", produced " << out_a << "/" << out_b
             << ", status " << st_a << "/" << st_b;
    }
    pos += in_a;
    if (sized) left -= out_a;
    if (res_a != SZ_OK || (sized && left == 0) || (in_a == 0 && out_a == 0)) break;
  }
  return testing::AssertionSuccess();
}

bytes encode(const bytes &input, int size) {
  e2e::scratch_dir dir;
  write_file(dir.path("in"), input);
  int fd = open(dir.path("in").c_str(), O_RDONLY);
  RecordSink sink;
  EXPECT_EQ(zentarc_encode_fd(fd, 0, size, testutil::record_sink, &sink), 0);
  close(fd);
  return sink.data;
}

/// The streams every comparison runs on: valid ones from several coders and
/// settings, each also cut short and with bytes flipped.
std::vector<std::pair<std::string, bytes>> streams() {
  const bytes fw = testdata::firmware_like(600 * 1024, 31);  // wraps the 256 KiB dictionary
  const bytes noise = testdata::random_bytes(70000, 32);
  std::vector<std::pair<std::string, bytes>> valid = {
      {"ours, firmware", encode(fw, static_cast<int>(fw.size()))},
      {"ours, noise", encode(noise, static_cast<int>(noise.size()))},
      {"ours, end marker", encode(bytes(fw.begin(), fw.begin() + 100000), -1)},
      {"ours, empty", encode({}, 0)},
  };
  // The SDK's coder with small dictionaries and other lc/lp/pb, and xz
  // (size unknown, end marker), where they are installed.
  e2e::scratch_dir dir;
  write_file(dir.path("in"), bytes(fw.begin(), fw.begin() + 200000));
  const std::string alone = testutil::find_tool("lzma_alone"), xz = testutil::find_tool("xz");
  const std::vector<std::vector<std::string>> settings = {
      {"-d12", "-lc0", "-lp2", "-pb0"}, {"-d13", "-lc8", "-lp0", "-pb4"}, {"-d12", "-eos"}};
  for (size_t i = 0; !alone.empty() && i < settings.size(); i++) {
    std::vector<std::string> argv = {alone, "e", dir.path("in"), dir.path("a.lzma")};
    argv.insert(argv.end(), settings[i].begin(), settings[i].end());
    if (testutil::run_tool(argv) == 0) {
      valid.push_back(
          {"lzma_alone " + settings[i][0] + " " + settings[i][1], read_file(dir.path("a.lzma"))});
    }
  }
  if (!xz.empty() &&
      testutil::run_tool({xz, "--format=lzma", "--lzma1=dict=4KiB,lc=1,lp=3,pb=1", "-c"},
                         dir.path("in"), dir.path("x.lzma")) == 0) {
    valid.push_back({"xz", read_file(dir.path("x.lzma"))});
  }

  std::vector<std::pair<std::string, bytes>> all;
  testdata::Rng rng(33);
  for (const auto &[name, s] : valid) {
    all.push_back({name, s});
    for (size_t cut : {size_t{14}, size_t{20}, s.size() / 3, s.size() - 1}) {
      if (cut >= 14 && cut < s.size())
        all.push_back(
            {name + ", cut at " + std::to_string(cut), bytes(s.begin(), s.begin() + cut)});
    }
    for (int k = 0; k < 6 && s.size() > 14; k++) {
      bytes c = s;
      size_t at = 13 + rng.below(static_cast<uint32_t>(s.size() - 13));
      c[at] ^= static_cast<uint8_t>(1 + rng.below(255));
      all.push_back({name + ", byte " + std::to_string(at) + " flipped", c});
    }
  }
  return all;
}

TEST(LzmaDecode, GivesTheSdkDecodersResultsCallForCall) {
  for (const auto &[name, s] : streams()) {
    SCOPED_TRACE(name);
    for (int split = 0; split < 3; split++) {
      // Single bytes of input are slow on long streams: their first part does.
      bytes t = s;
      if (split == 1 && t.size() > 40000) t.resize(40000);
      EXPECT_TRUE(same_calls(t, split, 100 + static_cast<uint32_t>(split))) << "split " << split;
    }
  }
}

TEST(LzmaDecode, PropertiesAsTheSdkTakesThem) {
  // lc 8, lp 4 and pb 4 are the largest; 225 and above are refused; a
  // dictionary below 4 KiB is raised to it.
  for (int v : {0, 93, 8 + 9 * (4 + 5 * 4), 224, 225, 255}) {
    SCOPED_TRACE(v);
    uint8_t props[5] = {static_cast<uint8_t>(v), 0x10, 0, 0, 0};
    sdk_dec sdk;
    lzma_dec own;
    int r = LzmaDec_Allocate(&sdk.d, props, LZMA_PROPS_SIZE, &g_alloc);
    EXPECT_EQ(lzma_dec_allocate(&own, props), r);
    if (r == SZ_OK) {
      EXPECT_EQ(own.dict_size, 4096u);
    }
  }
}

}  // namespace
}  // namespace korvane
