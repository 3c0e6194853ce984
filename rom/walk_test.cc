// SPDX-License-Identifier: MIT
// The block walk over hand-made images: where and why it ends, what it
// prints (and that quiet walks print nothing), what it hands to the steps.
#include "rom/walk.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "rom/checksum.h"
#include "rom/result.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string be(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

void put_be(std::string &s, size_t at, uint32_t v) { s.replace(at, 4, be(v)); }

// Seals the header at `at` over hsize bytes of the file as it stands (at
// most 144), the way a writer of larger headers would.
void seal(std::string &file, size_t at) {
  alignas(4) uint8_t h[ROM_BLK_HSIZE_MAX] = {};
  uint32_t hsize = static_cast<uint8_t>(file[at + 4]) << 24 |
                   static_cast<uint8_t>(file[at + 5]) << 16 |
                   static_cast<uint8_t>(file[at + 6]) << 8 | static_cast<uint8_t>(file[at + 7]);
  std::memcpy(h, file.data() + at, std::min<size_t>(file.size() - at, sizeof h));
  std::memset(h + HDR_HCRC_OFFSET, 0, 4);
  put_be(file, at + HDR_HCRC_OFFSET, crc32(0, h, std::min<uint32_t>(hsize, sizeof h)));
}

// A block: header fields, then the payload (length bytes of 'p' unless
// given) and its padding to the total.
struct blk {
  uint32_t hsize, length, total, magic, flags;
  std::string payload;
  blk(uint32_t hsize = 128, uint32_t length = 16, uint32_t total = 144, uint32_t magic = BLK_MAGIC,
      uint32_t flags = 0, std::string payload = "")
      : hsize(hsize),
        length(length),
        total(total),
        magic(magic),
        flags(flags),
        payload(std::move(payload)) {}
};

std::string image(const std::vector<blk> &blocks, size_t trailing = 0, bool rom = true) {
  std::string f;
  if (rom) {
    f = be(ROM_MAGIC) + be(128) + be(0) + be(2) + std::string(128 - 16, '\0');
    seal(f, 0);
  }
  for (const blk &b : blocks) {
    size_t at = f.size();
    std::string h = be(b.magic) + be(b.hsize) + be(0) + be(1) + be(b.flags) + be(b.length) +
                    be(b.total) + be(0xFFFFFFFF);
    h.resize(128, '\0');
    std::string body = b.payload.empty() ? std::string(b.length, 'p') : b.payload;
    body.resize(b.total >= 128 ? b.total - 128 : b.length, '\0');
    f += h + body;
    seal(f, at);
  }
  return f + std::string(trailing, 't');
}

struct walk_run {
  std::vector<std::string> events;  // what the steps saw
  std::vector<rom_walk_blk> blocks;
  int fail_at = -1;  // the block step that fails, with -7
};

void note_at(void *ctx, int index, uint64_t offset, const blk_hdr *h) {
  static_cast<walk_run *>(ctx)->events.push_back(
      "at " + std::to_string(index) + " " + std::to_string(offset) +
      (h ? " hsize " + std::to_string(h->hsize.get()) : " unread"));
}

int note_blk(void *ctx, const rom_walk_blk &b) {
  auto &r = *static_cast<walk_run *>(ctx);
  r.events.push_back("block " + std::to_string(b.index));
  r.blocks.push_back(b);
  return b.index == r.fail_at ? -7 : 0;
}

class WalkTest : public testing::Test {
 protected:
  // Opens the bytes as a file and walks it; out gets what was printed.
  int walk(const std::string &bytes, const rom_walk_rules &rules = {}, int fail_at = -1) {
    path = dir / "image";
    e2e::write_file(path, bytes);
    run = {};
    run.fail_at = fail_at;
    CaptureStdout();
    int r = rom_walk_open(&w, path.c_str(), O_RDONLY);
    if (r >= 0) {
      rom_walk_steps steps;
      steps.ctx = &run;
      steps.at = note_at;
      steps.block = note_blk;
      r = rom_walk_blocks(&w, steps, rules);
    }
    out = GetCapturedStdout();
    return r;
  }

  e2e::scratch_dir dir;
  std::string path, out;
  rom_walk w;
  walk_run run;
};

TEST_F(WalkTest, WhyAndWhereTheWalkEnds) {
  struct row {
    const char *what;
    std::string file;
    rom_walk_stop why;
    int result, blocks;
    uint64_t offset;
    uint32_t value;
    const char *printed;
  } rows[] = {
      {"exactly at the end of the file", image({{}, {}}), rom_walk_stop::end_of_file, 0, 2, 416, 0,
       ""},
      {"no blocks", image({}), rom_walk_stop::end_of_file, 0, 0, 128, 0, ""},
      {"trailing bytes below a header", image({{}}, 127), rom_walk_stop::trailing, 0, 1, 272, 0,
       ""},
      {"a payload cut short by the end of the file", image({{128, 5000, 5136}}).substr(0, 1000),
       rom_walk_stop::cut_short, 0, 1, 128 + 5136, 0, ""},
      {"a header size above 144", image({{}, {145}}), rom_walk_stop::hsize_limit, 0, 1, 272, 145,
       "suck ,invalid blk header size,145\n"},
      {"a padded image: hsize 0xffffffff", image({{}}) + std::string(256, '\xff'),
       rom_walk_stop::hsize_limit, 0, 1, 272, 0xFFFFFFFF, "suck ,invalid blk header size,-1\n"},
      {"a total of 0", image({{128, 16, 0}}) + std::string(200, '\0'), rom_walk_stop::total_small,
       RES_FAULT, 0, 128, 0, "invalid blk total,0 at offset 128,smaller than a header\n"},
      {"a total that wraps", image({{}}).replace(128 + 24, 4, be(0xFFFFFF80)),
       rom_walk_stop::total_wraps, RES_FAULT, 0, 128, 0xFFFFFF80,
       "invalid blk total,4294967168 at offset 128,beyond 4GiB\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(walk(r.file), r.result);
    EXPECT_EQ(w.end.why, r.why);
    EXPECT_EQ(w.end.result, r.result);
    EXPECT_EQ(w.end.blocks, r.blocks);
    EXPECT_EQ(w.end.offset, r.offset);
    EXPECT_EQ(w.end.value, r.value);
    EXPECT_EQ(out, r.printed);
    // Quiet: the same end, nothing printed.
    rom_walk_rules quiet;
    quiet.quiet = true;
    EXPECT_EQ(walk(r.file, quiet), r.result);
    EXPECT_EQ(w.end.why, r.why);
    EXPECT_EQ(w.end.offset, r.offset);
    EXPECT_EQ(out, "");
  }
  // A total beyond the end of the file behind a whole payload.
  std::string f = image({{128, 16, 144}});
  put_be(f, 128 + 24, 400);
  seal(f, 128);
  EXPECT_EQ(walk(f), 0);
  EXPECT_EQ(w.end.why, rom_walk_stop::past_end);
  EXPECT_EQ(w.end.offset, 528u);
}

TEST_F(WalkTest, StepsInOrderAndAFailingStepEndsTheWalk) {
  std::string f = image({{}, {}, {}}, 0, false);
  EXPECT_EQ(walk(f), 0);
  EXPECT_EQ(run.events,
            (std::vector<std::string>{"at 0 0 hsize 128", "block 0", "at 1 144 hsize 128",
                                      "block 1", "at 2 288 hsize 128", "block 2"}));
  EXPECT_EQ(w.kind, ROM_CHECK_BLK);
  EXPECT_EQ(walk(f, {}, 1), -7);
  EXPECT_EQ(run.events.back(), "block 1");
  EXPECT_EQ(w.end.why, rom_walk_stop::step_failed);
  EXPECT_EQ(w.end.blocks, 1);
  EXPECT_EQ(w.end.offset, 144u);
  EXPECT_EQ(out, "");
  // A header over the limit is announced to the steps, never handed on.
  EXPECT_EQ(walk(image({{}, {145}})), 0);
  EXPECT_EQ(run.events.back(), "at 1 272 hsize 145");
}

TEST_F(WalkTest, WhatABlockCarries) {
  // A header of 132 bytes covers the first 4 bytes of what follows it; one
  // of 140 at the end of the file is filled with zeros where the file ends.
  blk big{132, 4, 144, BLK_MAGIC, ROM_VERIFY_CRC, "abcdefgh"};
  std::string f = image({big});
  f += image({{140, 0, 144, BLK_MAGIC, 0, "wxyz"}}, 0, false).substr(0, 132);
  seal(f, 128 + 144);  // over 132 bytes of the file and 8 zeros
  alignas(4) const char payload[] = "efgh";
  put_be(f, 128 + 28, crc32(0, payload, 4));  // the payload check of block 0
  seal(f, 128);
  rom_walk_rules rules;
  rules.verify = ROM_VERIFY_CRC;
  EXPECT_EQ(walk(f, rules), 0);
  ASSERT_EQ(run.blocks.size(), 2u);
  const rom_walk_blk &a = run.blocks[0];
  EXPECT_EQ(a.offset, 128u);
  EXPECT_EQ(a.hsize, 132u);
  EXPECT_EQ(a.payload, 260u);
  EXPECT_EQ(a.length, 4u);
  EXPECT_EQ(a.total, 144u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(a.buf.extra), 4), "abcd");
  EXPECT_EQ(a.buf.extra[4], 0);             // beyond hsize: zero
  EXPECT_EQ(a.hcrc, a.buf.hdr.hcrc.get());  // the buffer holds the header as stored
  EXPECT_TRUE(a.hcrc_ok);
  EXPECT_EQ(a.verified, 0);
  EXPECT_FALSE(a.cut_short);
  const rom_walk_blk &b = run.blocks[1];
  EXPECT_TRUE(b.hcrc_ok);
  EXPECT_EQ(b.verified, -1);  // its flags carry no verify kind
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(b.buf.extra), 16),
            "wxyz" + std::string(12, '\0'));
  EXPECT_TRUE(b.cut_short);
  EXPECT_EQ(w.end.why, rom_walk_stop::cut_short);
  // A changed byte in the covered tail makes the header CRC bad, and a
  // changed payload byte the payload check.
  f[128 + 128] = 'X';
  f[128 + 133] = 'X';
  EXPECT_EQ(walk(f, rules), 0);
  EXPECT_FALSE(run.blocks[0].hcrc_ok);
  EXPECT_LT(run.blocks[0].verified, 0);
  EXPECT_EQ(out.rfind("invalid verify,", 0), 0u);
  // A quiet walk says nothing of a failed payload check either.
  rules.quiet = true;
  EXPECT_EQ(walk(f, rules), 0);
  EXPECT_LT(run.blocks[0].verified, 0);
  EXPECT_EQ(out, "");
}

// A walk over a descriptor its user opened: nothing is read before the
// walk, and it goes no further than the size it is given.
TEST_F(WalkTest, AttachedWalksCoverThePartGiven) {
  std::string f = image({{}, {}, {}}) + std::string(100, 't');
  path = dir / "image";
  e2e::write_file(path, f);
  rom_walk part;
  rom_hdr rom{};
  rom_walk_attach(&part, ::open(path.c_str(), O_RDONLY), path.c_str(), 128 + 2 * 144, ROM_CHECK_ROM,
                  rom, 128);
  rom_walk_rules quiet;
  quiet.quiet = true;
  CaptureStdout();
  EXPECT_EQ(rom_walk_blocks(&part, {}, quiet), 0);
  EXPECT_EQ(part.end.why, rom_walk_stop::end_of_file);
  EXPECT_EQ(part.end.blocks, 2);
  // A second pass from the third block to the end of the file.
  part.first = part.end.offset;
  part.size = f.size();
  EXPECT_EQ(rom_walk_blocks(&part, {}, quiet), 0);
  EXPECT_EQ(part.end.why, rom_walk_stop::trailing);
  EXPECT_EQ(part.end.blocks, 1);
  EXPECT_EQ(part.end.offset, 128u + 3 * 144);
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(WalkTest, RescanRules) {
  rom_walk_rules rules;
  rules.hsize_to_file = true;
  rules.need_magic = true;
  // A header size above 144 but inside the file passes, its CRC unchecked.
  EXPECT_EQ(walk(image({{200, 16, 272}, {}}), rules), 0);
  EXPECT_EQ(w.end.why, rom_walk_stop::end_of_file);
  EXPECT_EQ(w.end.blocks, 2);
  EXPECT_FALSE(run.blocks[0].hcrc_ok);
  // Larger than the file: the end, as for the readers.
  EXPECT_EQ(walk(image({{}, {5000}}), rules), 0);
  EXPECT_EQ(w.end.why, rom_walk_stop::hsize_limit);
  EXPECT_EQ(out, "suck ,invalid blk header size,5000\n");
  // A block without its magic.
  EXPECT_EQ(walk(image({{}, {128, 16, 144, 0x12345678}}), rules), RES_FAULT);
  EXPECT_EQ(w.end.why, rom_walk_stop::bad_magic);
  EXPECT_EQ(w.end.value, 0x12345678u);
  EXPECT_EQ(out, "invalid block magic found:0x12345678\n");
}

TEST_F(WalkTest, OpeningAndTheDescriptorAfterTheWalk) {
  std::string f = image({{}});
  EXPECT_EQ(walk(f), 0);
  EXPECT_EQ(w.kind, ROM_CHECK_ROM);
  EXPECT_EQ(w.first, 128u);
  EXPECT_EQ(w.size, f.size());
  EXPECT_EQ(w.rom.magic.get(), ROM_MAGIC);
  // A second pass reads the same open file.
  char c = 0;
  EXPECT_EQ(pread(w.fd.fd, &c, 1, 128 + 128), 1);
  EXPECT_EQ(c, 'p');
  // A file that is no image is refused, and nothing stays open.
  EXPECT_EQ(walk(std::string(300, '\0')), RES_FAULT);
  EXPECT_EQ(w.fd.fd, -1);
  EXPECT_EQ(out, "invalid magic=0x00000000\n");
}

}  // namespace
}  // namespace korvane
