// SPDX-License-Identifier: MIT
#include "rom/build.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/blkfmt.h"
#include "codec/cypher_table.h"
#include "codec/scramble.h"
#include "codec/zentarc.h"
#include "rom/load.h"
#include "rom/result.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::read_file;
using e2e::scratch_dir;
using e2e::write_file;
using testing::HasSubstr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

uint32_t get_be(const std::string &s, size_t off) {
  auto *p = reinterpret_cast<const uint8_t *>(s.data()) + off;
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint32_t get_le(const std::string &s, size_t off) {
  auto *p = reinterpret_cast<const uint8_t *>(s.data()) + off;
  return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// Checks computed independently of the code under test.
uint32_t zcrc(const std::string &s) { return e2e::reference_crc32(s.data(), s.size()); }
uint32_t plain_sum(const std::string &s) {
  uint32_t v = 0;
  for (unsigned char c : s) v += c;
  return v;
}
uint32_t header_zcrc(std::string hdr) {
  hdr.resize(128);
  std::memset(hdr.data() + 8, 0, 4);
  return zcrc(hdr);
}

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(gen());
  return s;
}

// Mostly runs and a little noise: compressible, and fits every encoder.
std::string firmware_like(size_t n) {
  std::mt19937 gen(7);
  std::string s;
  while (s.size() < n) {
    if (gen() % 3) s.append(1 + gen() % 200, static_cast<char>(gen()));
    else
      for (int i = 0; i < 50; ++i) s.push_back(static_cast<char>(gen()));
  }
  s.resize(n);
  return s;
}

blk_desc make_desc(uint32_t cypher, uint32_t flags = 0) {
  blk_desc d;
  d.flags = flags;
  d.type = ROM_BLK_TYPE_NAND_RAW;
  d.id = 3;
  set_text_field(d.name, "kernel");
  set_text_field(d.version, "1.2.3");
  d.cypher = cypher;
  d.data = ROM_BLK_DATA_FILE;
  return d;
}

struct built {
  int result;
  std::string block;  // the meaningful `total` bytes
  std::string out;    // what was printed
};

built build(const std::string &path, uint64_t offset, blk_desc *desc) {
  blk_buffer blk;
  uint32_t total = 0;
  CaptureStdout();
  int r = rom_build_blk(path.c_str(), offset, desc, &blk, &total);
  built b{r, {}, GetCapturedStdout()};
  if (r == 0) b.block.assign(reinterpret_cast<const char *>(blk.get()), total);
  rom_free_blk(blk);
  EXPECT_EQ(blk, nullptr);
  return b;
}

// Whatever the payload, a built block is well formed.
void expect_sealed(const std::string &blk) {
  ASSERT_GE(blk.size(), 128u);
  uint32_t length = get_be(blk, 20);
  EXPECT_EQ(get_be(blk, 0), BLK_MAGIC);
  EXPECT_EQ(get_be(blk, 4), 128u);
  EXPECT_EQ(get_be(blk, 12), 1u);
  EXPECT_EQ(get_be(blk, 24), blk.size());
  EXPECT_EQ(blk.size(), 128 + (length + 15) / 16 * 16);
  EXPECT_EQ(get_be(blk, 8), header_zcrc(blk));
  EXPECT_EQ(blk.find_first_not_of('\0', 128 + length), std::string::npos) << "padding not zero";
  EXPECT_EQ(blk.substr(88, 40).find_first_not_of('\0'), std::string::npos) << "reserved not zero";
}

TEST(BuildBlk, Cases) {
  scratch_dir dir;
  std::string input = random_bytes(1000, 1);
  write_file(dir / "in", input);
  struct row {
    const char *what;
    uint32_t cypher, flags;
    uint64_t offset;
    int result;
    uint32_t length, total, cypher_after, flags_after;
    const char *line;  // printed before the summary, or on failure
  } rows[] = {
      {"none pads 1000 to 1008", ROM_BLK_CT_NONE, 0, 0, 0, 1000, 1136, 0, 0, ""},
      {"AES is stored as none", ROM_BLK_CT_AES, ROM_VERIFY_CRC, 0, 0, 1000, 1136, 0, 0x100,
       "ROM_BLK_CT_AES NOT support just now,reset to none!\n"},
      {"DES is stored as none", ROM_BLK_CT_DES, 0x203, 0, 0, 1000, 1136, 0, 0x203,
       "ROM_BLK_CT_DES NOT support just now,reset to none!\n"},
      {"offset at the end: empty payload", ROM_BLK_CT_NONE, ROM_VERIFY_CRC, 1000, 0, 0, 128, 0,
       0x100, ""},
      {"length a multiple of 16: no padding", ROM_BLK_CT_NONE, 0, 8, 0, 992, 1120, 0, 0, ""},
      {"verify kind 0x300 names no check", ROM_BLK_CT_NONE, 0x301, 0, 0, 1000, 1136, 0, 0x1, ""},
      {"offset beyond the input", ROM_BLK_CT_NONE, 0, 1001, RES_FAULT, 0, 0, 0, 0,
       "offset(1001) greater than total(1000),Success\n"},
      {"unknown cypher type", 5, 0, 0, RES_FAULT, 0, 0, 5, 0, "invalid cypher type,5\n"},
      {"unknown cypher type 127", 127, 0, 0, RES_FAULT, 0, 0, 127, 0, "invalid cypher type,127\n"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.what);
    blk_desc d = make_desc(c.cypher, c.flags);
    built b = build(dir / "in", c.offset, &d);
    ASSERT_EQ(b.result, c.result) << b.out;
    EXPECT_EQ(d.cypher, c.cypher_after);
    if (c.result != 0) {
      EXPECT_EQ(b.out, c.line);
      continue;
    }
    EXPECT_EQ(b.out.substr(0, strlen(c.line)), c.line);
    expect_sealed(b.block);
    EXPECT_EQ(get_be(b.block, 16), c.flags_after);
    EXPECT_EQ(get_be(b.block, 20), c.length);
    EXPECT_EQ(b.block.size(), c.total);
    EXPECT_EQ(get_be(b.block, 80), c.cypher_after);
    EXPECT_EQ(b.block.substr(128, c.length), input.substr(c.offset));
    uint32_t kind = c.flags_after & ROM_VERIFY_MASK;
    uint32_t want = kind == ROM_VERIFY_CRC        ? zcrc(input.substr(c.offset))
                    : kind == ROM_VERIFY_CHECKSUM ? plain_sum(input.substr(c.offset))
                                                  : 0xFFFFFFFF;
    EXPECT_EQ(get_be(b.block, 28), want);
  }
}

// An empty file has nothing to map; it still makes an empty block.
TEST(BuildBlk, EmptyFile) {
  scratch_dir dir;
  write_file(dir / "empty", "");
  blk_desc d = make_desc(ROM_BLK_CT_CYPHER3, ROM_VERIFY_CRC);
  built b = build(dir / "empty", 0, &d);
  ASSERT_EQ(b.result, 0) << b.out;
  expect_sealed(b.block);
  EXPECT_EQ(b.block.size(), 128u);
  EXPECT_EQ(get_be(b.block, 28), 0u);
}

TEST(BuildBlk, SummaryLines) {
  scratch_dir dir;
  write_file(dir / "in", std::string(1000, 'x'));
  blk_desc d = make_desc(ROM_BLK_CT_NONE, ROM_VERIFY_CHECKSUM | ROM_FLAG_FORCE);
  set_text_field(d.name, "0123456789abcdefTAIL");  // full width, no NUL
  built b = build(dir / "in", 0, &d);
  ASSERT_EQ(b.result, 0);
  char want[1024];
  snprintf(want, sizeof want,
           "blk magic       :0xeb9f56c9\n"
           "blk hsize       :0x00000080\n"
           "blk hcrc        :0x%08x\n"
           "blk flags       :513\n"
           "blk lenght      :1000\n"
           "blk total       :1136\n"
           "blk verify      :0x0001d4c0\n"
           "blk type        :4\n"
           "blk id          :3\n"
           "blk name        :0123456789abcdef\n"
           "blk version     :1.2.3\n",
           get_be(b.block, 8));
  EXPECT_EQ(b.out, want);
  EXPECT_EQ(b.block.substr(40, 16), "0123456789abcdef");
}

TEST(BuildBlk, FailuresOfTheInput) {
  scratch_dir dir;
  blk_desc d = make_desc(ROM_BLK_CT_NONE);
  built b = build(dir / "missing", 0, &d);
  EXPECT_EQ(b.result, RES_FAULT);
  EXPECT_EQ(b.out, "failed to fstat block,No such file or directory," + (dir / "missing") + "\n");

  write_file(dir / "secret", "abc");
  chmod((dir / "secret").c_str(), 0);
  if (geteuid() != 0) {  // root reads anything
    b = build(dir / "secret", 0, &d);
    EXPECT_EQ(b.result, RES_FAULT);
    EXPECT_EQ(b.out, "failed to open block,Permission denied," + (dir / "secret") + "\n");
  }

  b = build(dir.path(), 0, &d);  // a folder cannot be mapped
  EXPECT_EQ(b.result, RES_FAULT);
  EXPECT_THAT(b.out, HasSubstr("failed to mmap block,"));
}

TEST(BuildBlk, WithoutOutArgumentsTheBlockIsReleased) {
  scratch_dir dir;
  write_file(dir / "in", "abc");
  blk_desc d = make_desc(ROM_BLK_CT_NONE);
  blk_buffer blk;
  CaptureStdout();
  EXPECT_EQ(rom_build_blk((dir / "in").c_str(), 0, &d, &blk, nullptr), 0);
  EXPECT_EQ(rom_build_blk((dir / "in").c_str(), 0, &d, nullptr, nullptr), 0);
  GetCapturedStdout();
  EXPECT_EQ(blk, nullptr);
  EXPECT_EQ(rom_free_blk(blk), 0);
}

// An independent reader of the run-length block format.
std::string blkfmt_unpack(const std::string &p) {
  EXPECT_EQ(get_le(p, 0), BLKFMT_MAGIC);
  EXPECT_EQ(get_le(p, 28), p.size()) << "packed size";
  std::string out;
  size_t pos = 48;
  uint32_t segments = 0;
  while (pos + 4 <= p.size()) {
    uint32_t len = uint8_t(p[pos]) | uint32_t(uint8_t(p[pos + 1])) << 8;
    uint8_t kind = p[pos + 2];
    EXPECT_EQ(uint8_t(p[pos + 3]), 0xFF);
    pos += 4;
    if (kind == 2) {
      out.append(len, p[pos]);
      pos += 1;
    } else {
      EXPECT_EQ(kind, 1);
      out.append(p, pos, len);
      pos += len;
    }
    ++segments;
  }
  EXPECT_EQ(pos, p.size());
  EXPECT_EQ(get_le(p, 32), segments);
  EXPECT_EQ(get_le(p, 24), out.size()) << "unpacked size";
  return out;
}

int string_sink(void *ctx, const uint8_t *bytes, int n) {
  static_cast<std::string *>(ctx)->append(reinterpret_cast<const char *>(bytes), n);
  return n;
}

// Decodes a payload the way the readers do.
std::string decode(uint32_t cypher, const std::string &payload, const std::string &scratch) {
  std::string out;
  switch (cypher) {
    case ROM_BLK_CT_CYPHER1: {
      write_file(scratch, "0123456" + payload);  // an odd offset, as in an image
      int fd = open(scratch.c_str(), O_RDONLY);
      int r = zentarc_decode_fd(fd, 7, static_cast<int>(payload.size()), string_sink, &out);
      close(fd);
      EXPECT_EQ(r, static_cast<int>(out.size()));
      return out;
    }
    case ROM_BLK_CT_CYPHER2:
      return blkfmt_unpack(payload);
    case ROM_BLK_CT_CYPHER3:
    case ROM_BLK_CT_CYPHER4:
      // 65536 bytes at a time, as extraction and flashing decode.
      for (size_t at = 0; at < payload.size(); at += 65536) {
        std::vector<uint8_t> chunk(payload.begin() + at,
                                   payload.begin() + std::min(payload.size(), at + 65536));
        int n = static_cast<int>(chunk.size());
        EXPECT_EQ(cypher == ROM_BLK_CT_CYPHER3 ? cypher3_decode(chunk.data(), n)
                                               : cypher4_decode(chunk.data(), n),
                  n);
        out.append(chunk.begin(), chunk.end());
      }
      return out;
    default:
      return payload;
  }
}

TEST(BuildBlk, EveryCypherRoundTrips) {
  scratch_dir dir;
  // Longer than one 65536-byte chunk, not a multiple of 32 from the offset,
  // and an odd offset so the input region is not word aligned.
  std::string file = firmware_like(150001);
  write_file(dir / "in", file);
  const uint64_t offset = 7;
  std::string input = file.substr(offset);
  struct row {
    uint32_t cypher, flags;
  } rows[] = {
      {ROM_BLK_CT_NONE, ROM_VERIFY_CRC},         {ROM_BLK_CT_CYPHER1, ROM_VERIFY_CRC},
      {ROM_BLK_CT_CYPHER2, ROM_VERIFY_CHECKSUM}, {ROM_BLK_CT_CYPHER3, ROM_VERIFY_CRC},
      {ROM_BLK_CT_CYPHER4, ROM_VERIFY_CHECKSUM}, {ROM_BLK_CT_CYPHER1, ROM_VERIFY_CHECKSUM},
      {ROM_BLK_CT_CYPHER2, ROM_VERIFY_CRC},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(testing::Message() << "cypher " << c.cypher << " flags " << c.flags);
    blk_desc d = make_desc(c.cypher, c.flags);
    built b = build(dir / "in", offset, &d);
    ASSERT_EQ(b.result, 0) << b.out;
    expect_sealed(b.block);
    EXPECT_EQ(get_be(b.block, 80), c.cypher);
    std::string payload = b.block.substr(128, get_be(b.block, 20));
    if (c.cypher == ROM_BLK_CT_CYPHER1 || c.cypher == ROM_BLK_CT_CYPHER2) {
      EXPECT_LT(payload.size(), input.size()) << "the test input should compress";
    }
    if (c.cypher != ROM_BLK_CT_NONE) {
      EXPECT_NE(payload, input);
    }
    EXPECT_EQ(get_be(b.block, 28), c.flags == ROM_VERIFY_CRC ? zcrc(payload) : plain_sum(payload));
    EXPECT_TRUE(decode(c.cypher, payload, dir / "stream") == input) << "payload does not decode";
    if (c.cypher == ROM_BLK_CT_CYPHER1) {
      EXPECT_EQ(payload.substr(0, 5), std::string("\x5d\0\0\4\0", 5));
    }
    if (c.cypher == ROM_BLK_CT_CYPHER2) {
      EXPECT_EQ(get_le(payload, 16), zcrc(input)) << "first user word: CRC of the content";
      EXPECT_EQ(get_le(payload, 20), 0u);
      EXPECT_EQ(get_le(payload, 36), 10u);
      EXPECT_EQ(get_le(payload, 40), 1024u);
    }
  }
}

TEST(BufferSink, CutsAtTheCapacity) {
  uint8_t area[16] = {};
  buffer_sink_ctx ctx{3, 16, area, 10, 0, 0};
  CaptureStdout();
  EXPECT_EQ(buffer_sink(&ctx, reinterpret_cast<const uint8_t *>("abcdef"), 6), 6);
  EXPECT_EQ(buffer_sink(&ctx, reinterpret_cast<const uint8_t *>("ghijkl"), 6), 4);
  EXPECT_EQ(buffer_sink(&ctx, reinterpret_cast<const uint8_t *>("m"), 1), 0);
  ctx.verbose = 1;
  ctx.used = 2;
  EXPECT_EQ(buffer_sink(&ctx, reinterpret_cast<const uint8_t *>("xy"), 2), 2);
  EXPECT_EQ(GetCapturedStdout(),
            "cypher1_encode:buffer overflow,encode might cause expansion!\n"
            "cypher1_encode:buffer overflow,encode might cause expansion!\n"
            "cypher1_encode:2=>2\n");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(area), 10), "abxyefghij");
  EXPECT_EQ(area[10], 0);
  EXPECT_EQ(ctx.used, 4u);
}

// Encoders that expand their input beyond the 25 % headroom fail the build.
TEST(BuildBlk, OutputBeyondTheHeadroomFails) {
  scratch_dir dir;
  write_file(dir / "empty", "");
  write_file(dir / "noise", random_bytes(100, 2));
  write_file(dir / "noise64", random_bytes(64, 2));
  struct row {
    const char *file;
    uint32_t cypher;
    const char *last;
  } rows[] = {
      // 0 bytes leave no room for the 13-byte stream header.
      {"empty", ROM_BLK_CT_CYPHER1, "failed to encode by cypher!\n"},
      // Noise does not compress: 13 + 64 + the coder's flush > 80.
      {"noise64", ROM_BLK_CT_CYPHER1, "failed to encode by cypher!\n"},
      // 48-byte header plus 4 bytes per literal segment: 152 > 128.
      {"noise", ROM_BLK_CT_CYPHER2, "failed to encode ,size=128!\n"},
      // An empty input gives the block packer nothing to pack.
      {"empty", ROM_BLK_CT_CYPHER2, "failed to encode ,size=0!\n"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(testing::Message() << c.file << " cypher " << c.cypher);
    blk_desc d = make_desc(c.cypher);
    built b = build(dir / c.file, 0, &d);
    EXPECT_EQ(b.result, RES_FAULT);
    EXPECT_TRUE(b.out.ends_with(c.last)) << b.out;
    if (c.cypher == ROM_BLK_CT_CYPHER1) {
      EXPECT_THAT(b.out,
                  HasSubstr("cypher1_encode:buffer overflow,encode might cause expansion!\n"));
    }
  }
}

TEST(RomCreate, WritesAnEmptyImage) {
  scratch_dir dir;
  std::string path = dir / "img";
  CaptureStdout();
  ASSERT_EQ(rom_create(path.c_str(), 0x1234, "board-x", "0123456789abcdefXX", "v2", 0x103), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  std::string s = read_file(path);
  ASSERT_EQ(s.size(), 128u);
  EXPECT_EQ(get_be(s, 0), ROM_MAGIC);
  EXPECT_EQ(get_be(s, 4), 128u);
  EXPECT_EQ(get_be(s, 8), header_zcrc(s));
  EXPECT_EQ(get_be(s, 12), 2u);
  EXPECT_EQ(get_be(s, 16), 0x103u);
  EXPECT_EQ(get_be(s, 20), 0u);
  EXPECT_EQ(get_be(s, 24), 0xFFFFFFFFu);
  EXPECT_EQ(get_be(s, 28), 0u);
  EXPECT_EQ(get_be(s, 32), 0x1234u);
  EXPECT_EQ(s.substr(36, 16), std::string("board-x") + std::string(9, '\0'));
  EXPECT_EQ(s.substr(52, 16), "0123456789abcdef");  // cut at the width, no NUL
  EXPECT_EQ(s.substr(68, 24), std::string("v2") + std::string(22, '\0'));
  EXPECT_EQ(s.find_first_not_of('\0', 92), std::string::npos);
  int fd = -1;
  uint64_t size = 0;
  EXPECT_EQ(rom_open(path.c_str(), &fd, &size, O_RDONLY), ROM_CHECK_ROM);
  rom_close(fd);

  // Creating again truncates.
  write_file(path, std::string(4096, 'z'));
  CaptureStdout();
  ASSERT_EQ(rom_create(path.c_str(), 1, "", "", "", 0), 0);
  GetCapturedStdout();
  EXPECT_EQ(read_file(path).size(), 128u);

  CaptureStdout();
  EXPECT_EQ(rom_create((dir / "no/such/img").c_str(), 1, "", "", "", 0), RES_FAULT);
  EXPECT_EQ(GetCapturedStdout(),
            "failed to open rom,No such file or directory," + (dir / "no/such/img") + "\n");
}

struct image_fixture : testing::Test {
  scratch_dir dir;
  std::string img = dir / "img";
  std::string a = dir / "a";
  std::string b = dir / "b";

  void SetUp() override {
    write_file(a, firmware_like(5000));
    write_file(b, random_bytes(333, 3));
    CaptureStdout();
    ASSERT_EQ(rom_create(img.c_str(), 7, "dev", "oem", "1.0", 0), 0);
    GetCapturedStdout();
  }

  int append(const std::string &path, uint32_t cypher, uint64_t offset = 0,
             std::string *out = nullptr, const std::string &to = "") {
    blk_desc d = make_desc(cypher, ROM_VERIFY_CRC);
    CaptureStdout();
    int r = rom_append_blk((to.empty() ? img : to).c_str(), path.c_str(), offset, &d);
    std::string text = GetCapturedStdout();
    if (out) *out = text;
    return r;
  }
};

TEST_F(image_fixture, CreateThenTwoAppends) {
  uint32_t expect_length = 0;
  struct step {
    std::string *file;
    uint32_t cypher;
  } steps[] = {{&a, ROM_BLK_CT_CYPHER1}, {&b, ROM_BLK_CT_CYPHER4}};
  uint32_t n = 0;
  for (const step &s : steps) {
    std::string before = read_file(img);
    std::string out;
    ASSERT_EQ(append(*s.file, s.cypher, 0, &out), 0) << out;
    std::string after = read_file(img);
    std::string blk = after.substr(before.size());
    uint32_t total = get_be(blk, 24);
    ASSERT_EQ(blk.size(), total);
    expect_sealed(blk);
    EXPECT_EQ(get_be(blk, 80), s.cypher);
    // The summary of the appended block went out.
    EXPECT_THAT(out, HasSubstr("blk total       :" + std::to_string(total) + "\n"));
    // Only the counters and the CRC of the rom header changed.
    EXPECT_EQ(after.substr(128, before.size() - 128), before.substr(128));
    expect_length += total;
    ++n;
    EXPECT_EQ(get_be(after, 20), expect_length);
    EXPECT_EQ(get_be(after, 28), n);
    EXPECT_EQ(get_be(after, 8), header_zcrc(after));
    EXPECT_EQ(after.substr(12, 8), before.substr(12, 8));
    EXPECT_EQ(after.substr(24, 4), before.substr(24, 4));
    EXPECT_EQ(after.substr(32, 96), before.substr(32, 96));
    int fd = -1;
    uint64_t size = 0;
    EXPECT_EQ(rom_open(img.c_str(), &fd, &size, O_RDONLY), ROM_CHECK_ROM);
    EXPECT_EQ(size, 128u + expect_length);
    rom_close(fd);
  }
  // The blocks verify with the readers' own check.
  std::string s = read_file(img);
  int fd = open(img.c_str(), O_RDONLY);
  for (uint64_t at = 128; at < s.size(); at += get_be(s, at + 24)) {
    alignas(4) char h[128];
    std::memcpy(h, s.data() + at, 128);
    EXPECT_EQ(rom_verify_blk(h, fd, at + 128, get_be(s, at + 20)), 0);
  }
  close(fd);
}

TEST_F(image_fixture, RescanRecountsAfterOutsideChanges) {
  ASSERT_EQ(append(a, ROM_BLK_CT_NONE), 0);
  ASSERT_EQ(append(b, ROM_BLK_CT_NONE), 0);
  std::string good = read_file(img);
  // Counters zeroed by someone else, header CRC sealed again over them.
  std::string stale = good;
  std::memset(stale.data() + 20, 0, 4);
  std::memset(stale.data() + 28, 0, 4);
  uint32_t crc = header_zcrc(stale);
  for (int i = 0; i < 4; ++i) stale[8 + i] = static_cast<char>(crc >> (24 - 8 * i));
  write_file(img, stale);
  CaptureStdout();
  EXPECT_EQ(rom_rescan(img.c_str()), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(read_file(img), good);
  // A header whose CRC does not match is not rescanned.
  stale[20] = 1;
  write_file(img, stale);
  CaptureStdout();
  EXPECT_EQ(rom_rescan(img.c_str()), RES_FAULT);
  EXPECT_THAT(GetCapturedStdout(), HasSubstr("invalid rom hdr crc,"));
  EXPECT_EQ(read_file(img), stale);
}

TEST_F(image_fixture, RefusedAppendsLeaveTheFileAlone) {
  // A block file.
  std::string blkfile = dir / "blk";
  {
    blk_desc d = make_desc(ROM_BLK_CT_NONE);
    blk_buffer blk;
    uint32_t total = 0;
    CaptureStdout();
    ASSERT_EQ(rom_build_blk(a.c_str(), 0, &d, &blk, &total), 0);
    GetCapturedStdout();
    write_file(blkfile, std::string(reinterpret_cast<char *>(blk.get()), total));
  }
  // A rom header whose CRC no longer matches.
  std::string damaged = dir / "damaged";
  std::string s = read_file(img);
  s[40] ^= 1;
  write_file(damaged, s);
  // Neither magic.
  std::string junk = dir / "junk";
  write_file(junk, std::string(300, 'j'));
  // Shorter than a header.
  std::string tiny = dir / "tiny";
  write_file(tiny, "short");

  for (const std::string *target : {&blkfile, &damaged, &junk, &tiny}) {
    SCOPED_TRACE(*target);
    std::string before = read_file(*target);
    EXPECT_EQ(append(a, ROM_BLK_CT_NONE, 0, nullptr, *target), RES_FAULT);
    EXPECT_EQ(read_file(*target), before);
  }
  std::string out;
  EXPECT_EQ(append(a, ROM_BLK_CT_NONE, 0, &out, dir / "none"), RES_FAULT);
  EXPECT_THAT(out, HasSubstr("failed to open rom or block,No such file or directory,"));
  EXPECT_FALSE(e2e::file_exists(dir / "none"));
}

TEST_F(image_fixture, BuildFailuresLeaveTheImageAlone) {
  std::string before = read_file(img);
  struct row {
    std::string file;
    uint32_t cypher;
    uint64_t offset;
  } rows[] = {
      {dir / "missing", ROM_BLK_CT_NONE, 0},
      {b, ROM_BLK_CT_NONE, 334},               // offset beyond the input
      {b, 9, 0},                               // unknown cypher type
      {dir / "small", ROM_BLK_CT_CYPHER2, 0},  // does not fit the headroom
  };
  write_file(dir / "small", random_bytes(64, 4));
  for (const row &c : rows) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(append(c.file, c.cypher, c.offset), RES_FAULT);
    EXPECT_EQ(read_file(img), before);
  }
}

// A write that fails part way (the file size limit) is taken back.
TEST_F(image_fixture, FailedWriteLeavesTheImageAsItWas) {
  ASSERT_EQ(append(b, ROM_BLK_CT_NONE), 0);
  std::string before = read_file(img);
  for (rlim_t room : {rlim_t{0}, rlim_t{1000}}) {
    SCOPED_TRACE(room);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      freopen("/dev/null", "w", stdout);
      rlimit lim{before.size() + room, before.size() + room};
      setrlimit(RLIMIT_FSIZE, &lim);
      blk_desc d = make_desc(ROM_BLK_CT_NONE);
      int r = rom_append_blk(img.c_str(), a.c_str(), 0, &d);  // 5000 bytes do not fit
      _exit(r == RES_FAULT ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file(img), before);
  }
  // And the image still takes blocks.
  EXPECT_EQ(append(a, ROM_BLK_CT_NONE), 0);
  EXPECT_EQ(get_be(read_file(img), 28), 2u);
}

// Blocks that would stall the walk or send it backwards end it with a failure,
// the header untouched; an append onto such an image is taken back.
TEST_F(image_fixture, RescanStopsAtBadBlocks) {
  ASSERT_EQ(append(b, ROM_BLK_CT_NONE), 0);
  std::string good = read_file(img);
  auto set_be = [](std::string &s, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[off + i] = static_cast<char>(v >> (24 - 8 * i));
  };
  struct row {
    const char *what;
    size_t field;
    uint32_t value;
    const char *line;
  } rows[] = {
      {"total 0", 24, 0, "invalid block total found:0,offset=128\n"},
      {"total below the header", 24, 64, "invalid block total found:64,offset=128\n"},
      {"bad magic", 0, 0x12345678, "invalid block magic found:0x12345678\n"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.what);
    std::string bad = good;
    set_be(bad, 128 + c.field, c.value);
    write_file(img, bad);
    CaptureStdout();
    EXPECT_EQ(rom_rescan(img.c_str()), RES_FAULT);
    EXPECT_EQ(GetCapturedStdout(), c.line);
    EXPECT_EQ(read_file(img), bad);
    EXPECT_EQ(append(a, ROM_BLK_CT_NONE), RES_FAULT);
    EXPECT_EQ(read_file(img), bad);
  }
  // A total that would carry the walk past 4 GiB.
  std::string bad = good;
  set_be(bad, 128 + 24, 0xFFFFFFF0);
  write_file(img, bad);
  CaptureStdout();
  EXPECT_EQ(rom_rescan(img.c_str()), RES_FAULT);
  EXPECT_EQ(GetCapturedStdout(), "image larger than 4GiB,block at offset=128\n");
  EXPECT_EQ(read_file(img), bad);
  // A header size larger than the file ends the walk there (not a failure).
  bad = good;
  set_be(bad, 128 + 4, 1u << 20);
  write_file(img, bad);
  CaptureStdout();
  EXPECT_EQ(rom_rescan(img.c_str()), 0);
  EXPECT_EQ(GetCapturedStdout(), "suck ,invalid blk header size,1048576\n");
  std::string after = read_file(img);
  EXPECT_EQ(get_be(after, 20), 0u);
  EXPECT_EQ(get_be(after, 28), 0u);
  EXPECT_EQ(get_be(after, 8), header_zcrc(after));
}

TEST_F(image_fixture, RescanRefusesABlockFile) {
  std::string blkfile = dir / "blk";
  blk_desc d = make_desc(ROM_BLK_CT_NONE);
  blk_buffer blk;
  uint32_t total = 0;
  CaptureStdout();
  ASSERT_EQ(rom_build_blk(a.c_str(), 0, &d, &blk, &total), 0);
  GetCapturedStdout();
  std::string bytes(reinterpret_cast<char *>(blk.get()), total);
  write_file(blkfile, bytes);
  CaptureStdout();
  EXPECT_EQ(rom_rescan(blkfile.c_str()), RES_FAULT);
  EXPECT_EQ(GetCapturedStdout(), "not a rom image," + blkfile + "\n");
  EXPECT_EQ(read_file(blkfile), bytes);
}

}  // namespace
}  // namespace korvane
