// SPDX-License-Identifier: MIT
// --read-back, --skip-unchanged and --mark-bad in process, against the
// simulated board: the verdict lines, what lands on the partitions and what
// the device saw. The lines are the interface scripts parse, so they are
// compared whole.
#include "install/read_back.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "install/execute.h"
#include "mtd/mtd_abi.h"
#include "rom/checksum.h"
#include "rom/result.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

using namespace install_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t BLOCK = 128u << 10;
const std::vector<std::pair<uint32_t, uint32_t>> FREE_2048 = {{2, 38}};
const std::vector<std::pair<uint32_t, uint32_t>> ECC_2048 = {{40, 24}};

std::string str(const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); }

// The page data bytes raw content takes (whole pages of 2048).
size_t blk_padded_pages(const std::string &content) {
  return (content.size() + 2047) / 2048 * 2048;
}

// The lines of the added steps (prefix "read-back:", "skip-unchanged:" or
// "mark-bad:"), in order.
std::string added_lines(const std::string &out) {
  std::string kept;
  size_t from = 0;
  while (from < out.size()) {
    size_t end = out.find('\n', from);
    std::string line = out.substr(from, end == std::string::npos ? std::string::npos : end - from);
    for (const char *p : {"read-back:", "skip-unchanged:", "mark-bad:"}) {
      if (line.rfind(p, 0) == 0) kept += line + "\n";
    }
    if (end == std::string::npos) break;
    from = end + 1;
  }
  return kept;
}

class ReadBackTest : public testing::Test {
 public:
  // mtd0 carries the block under test; the rest of the board is fixed.
  void start(const std::string &mtd0 = "") {
    sim = std::make_unique<sim_fixture>("mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2 " +
                                        mtd0 +
                                        "\n"
                                        "mtd1 nor size=256K erase=64K\n"
                                        "mtd2 ram size=128K erase=16K\n");
    image = sim->path("image.rom");
  }
  void TearDown() override { sim.reset(); }

  int execute(const install_settings &s) {
    CaptureStdout();
    int r = rom_execute(image.c_str(), s);
    out = GetCapturedStdout();
    return r;
  }
  // Writes a page of zeros at offset of partition n (stale data).
  void scribble(int n, uint32_t offset, uint32_t len = 2048) {
    unique_fd fd(sim->open(n), plat_close);
    std::vector<uint8_t> zeros(len, 0);
    ASSERT_EQ(plat().lseek(fd.fd, offset, SEEK_SET), off_t(offset));
    ASSERT_EQ(plat().write(fd.fd, zeros.data(), len), ssize_t(len));
  }
  std::vector<std::string> changes(const std::string &mtd = "") {
    return device_changes(sim->events(), mtd);
  }
  // What the good blocks of mtd0 must hold after the block was programmed
  // around the bad ones (a block marked bad keeps what was written into it
  // before it failed; nothing reads it).
  void expect_nand0(const std::string &bytes, bool oob, const std::vector<uint32_t> &bad) {
    nand_geom g{1u << 20, BLOCK, 2048, 64, bad, FREE_2048};
    std::string data, oobs;
    nand_expect(g, padded(bytes, oob ? 2112 : 2048, 0xFF), oob, &data, &oobs);
    std::string got = str(sim->data(0));
    std::string got_oob = without_ranges(str(sim->oob(0)), 64, ECC_2048);
    for (uint32_t b : bad) {
      got.replace(size_t{b} * BLOCK, BLOCK, BLOCK, '\xFF');
      got_oob.replace(size_t{b} * 64 * 64, 64 * 64, 64 * 64, '\xFF');
    }
    EXPECT_TRUE(got == data);
    EXPECT_TRUE(got_oob == oobs);
  }

  std::unique_ptr<sim_fixture> sim;
  std::string image, out;
};

// Raw NAND over a bad block, page records, NOR and RAM: read back whole,
// each with its count of bytes compared (page data with the pad, and the
// free OOB bytes of page records), the ECC counters where there are any.
TEST_F(ReadBackTest, AGoodInstallReadsBackOnEveryKindOfPartition) {
  start();
  const std::string raw = firmware_like(300000), recs = pattern(2112 * 70), nor = pattern(70001, 3),
                    ram = pattern(5000, 4);
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "k", ROM_BLK_CT_CYPHER1, raw},
                      {ROM_BLK_TYPE_NOR, 1, "env", ROM_BLK_CT_NONE, nor},
                      {ROM_BLK_TYPE_NOR, 2, "ram", ROM_BLK_CT_CYPHER3, ram}});
  ASSERT_EQ(execute({.read_back = true}), 0) << out;
  EXPECT_EQ(added_lines(out),
            "read-back: mtd0 ok bytes=301056 ecc-corrected=0 ecc-failed=0\n"
            "read-back: mtd1 ok bytes=70001 ecc-corrected=0 ecc-failed=0\n"
            "read-back: mtd2 ok bytes=5000 ecc-corrected=0 ecc-failed=0\n");
  expect_nand0(raw, false, {2});

  build_image(image, {{ROM_BLK_TYPE_NAND_OOB, 0, "fs", ROM_BLK_CT_NONE, recs}});
  ASSERT_EQ(execute({.read_back = true}), 0) << out;
  EXPECT_EQ(added_lines(out), "read-back: mtd0 ok bytes=" + std::to_string(70 * (2048 + 38)) +
                                  " ecc-corrected=0 ecc-failed=0\n");
  expect_nand0(recs, true, {2});
}

// What a read-back finds, one board setting per row: the driver's ECC
// corrects a weak bit (the block passes, the count shows it); two in one
// step, a flip without ECC and a failing read fail the block and name the
// first erase block concerned.
TEST_F(ReadBackTest, DifferencesAndReadFailuresFailTheBlock) {
  struct row {
    const char *mtd0;
    int result;
    const char *line;
  } rows[] = {
      {"weak=0x20100:4", 0, "read-back: mtd0 ok bytes=301056 ecc-corrected=1 ecc-failed=0\n"},
      // The last of the blocks 0, 1 and 3 (2 is bad).
      {"weak=0x60100:4,0x60101:1", RES_FAULT,
       "read-back: mtd0 differs bytes=301056 ecc-corrected=0 ecc-failed=1 block=0x00060000\n"},
      {"ecc=none weak=0x30:0", RES_FAULT,
       "read-back: mtd0 differs bytes=131072 ecc-corrected=0 ecc-failed=0 block=0x00000000\n"},
      {"fail=read:2:EIO", RES_FAULT,
       "read-back: mtd0 unreadable bytes=131072 ecc-corrected=0 ecc-failed=0 block=0x00020000 "
       "error=Input/output error\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.mtd0);
    const std::string next = "read-back: mtd1 ok bytes=100 ecc-corrected=0 ecc-failed=0\n";
    // Without -s a failed block ends the walk; with it the walk goes on,
    // and still fails: the flash holds wrong bytes.
    for (bool skip_bad : {false, true}) {
      start(r.mtd0);
      build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "k", ROM_BLK_CT_NONE, pattern(300000)},
                          {ROM_BLK_TYPE_NOR, 1, "env", ROM_BLK_CT_NONE, pattern(100)}});
      EXPECT_EQ(execute({.skip_bad = skip_bad, .read_back = true}), r.result);
      EXPECT_EQ(added_lines(out), r.line + (r.result == 0 || skip_bad ? next : ""));
      TearDown();
    }
  }
}

// A NAND erase block that fails with EIO is marked bad and its chunk goes
// to the next good block; the partition then reads like an install around
// that bad block. Other errors, and no --mark-bad, fail as before and mark
// nothing.
TEST_F(ReadBackTest, MarkBadMovesTheChunkOfAWornBlock) {
  const std::string bytes = pattern(400000, 9);
  struct row {
    const char *mtd0;
    bool mark_bad;
    int result;
    std::vector<uint32_t> bad;  // after the run
    const char *lines;
  } rows[] = {
      // Page 70 is in erase block 1.
      {"fail=write:70:EIO",
       true,
       0,
       {1, 2},
       "mark-bad: mtd0 block=0x00020000 op=write marked\n"
       "read-back: mtd0 ok bytes=401408 ecc-corrected=0 ecc-failed=0\n"},
      {"fail=erase:1:EIO",
       true,
       0,
       {0, 2},
       "mark-bad: mtd0 block=0x00000000 op=erase marked\n"
       "read-back: mtd0 ok bytes=401408 ecc-corrected=0 ecc-failed=0\n"},
      // Writes 71 to 134 fill block 3, the 135th is the first of block 4.
      {"fail=write:70:EIO fail=write:135:EIO",
       true,
       0,
       {1, 2, 4},
       "mark-bad: mtd0 block=0x00020000 op=write marked\n"
       "mark-bad: mtd0 block=0x00080000 op=write marked\n"
       "read-back: mtd0 ok bytes=401408 ecc-corrected=0 ecc-failed=0\n"},
      {"fail=write:70:EROFS", true, RES_FAULT, {2}, ""},
      {"fail=write:70:EIO", false, RES_FAULT, {2}, ""},
      {"fail=erase:1:EIO", false, RES_FAULT, {2}, ""},
      {"fail=markbad:1:EOPNOTSUPP fail=write:70:EIO",
       true,
       RES_FAULT,
       {2},
       "mark-bad: mtd0 block=0x00020000 op=write failed error=Operation not supported\n"},
      // Out of good blocks: 4 blocks of data, 7 good blocks, 4 fail in turn.
      {"fail=write:1+:EIO",
       true,
       RES_FAULT,
       {0, 1, 2, 3, 4, 5, 6, 7},
       "mark-bad: mtd0 block=0x00000000 op=write marked\n"
       "mark-bad: mtd0 block=0x00020000 op=write marked\n"
       "mark-bad: mtd0 block=0x00060000 op=write marked\n"
       "mark-bad: mtd0 block=0x00080000 op=write marked\n"
       "mark-bad: mtd0 block=0x000a0000 op=write marked\n"
       "mark-bad: mtd0 block=0x000c0000 op=write marked\n"
       "mark-bad: mtd0 block=0x000e0000 op=write marked\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(std::string(r.mtd0) + (r.mark_bad ? " --mark-bad" : ""));
    start(r.mtd0);
    build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "k", ROM_BLK_CT_NONE, bytes}});
    EXPECT_EQ(execute({.read_back = true, .mark_bad = r.mark_bad}), r.result) << out;
    EXPECT_EQ(added_lines(out), r.lines);
    std::vector<uint32_t> bad = sim_partition(0)->bad;
    std::sort(bad.begin(), bad.end());
    EXPECT_EQ(bad, r.bad);
    const size_t marks = r.bad.size() - 1;
    EXPECT_EQ(sim->events().find("\nmarkbad mtd0 ") != std::string::npos, marks > 0);
    if (r.result == 0) expect_nand0(bytes, false, r.bad);
    TearDown();
  }
}

// No more than MARK_BAD_LIMIT marks for one block: a device that fails
// everything with EIO is not marked bad from end to end.
TEST_F(ReadBackTest, MarkingStopsAtTheLimit) {
  sim = std::make_unique<sim_fixture>(
      "mtd0 nand size=4M erase=128K page=2048 oob=64 fail=write:1+:EIO\n");
  image = sim->path("image.rom");
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "k", ROM_BLK_CT_NONE, pattern(1000)}});
  EXPECT_EQ(execute({.mark_bad = true}), RES_FAULT);
  EXPECT_EQ(sim_partition(0)->bad.size(), size_t{MARK_BAD_LIMIT});
  EXPECT_NE(out.find("mark-bad: mtd0 block=0x00100000 op=write limit=8\n"), std::string::npos)
      << out;
}

// A second install of the same image leaves every partition alone; what
// makes a partition differ from a fresh install (its content, stale data
// past the written range, a free OOB byte, a block gone bad since) has it
// erased and programmed as before, naming the first erase block that
// differs.
TEST_F(ReadBackTest, SkipUnchangedLeavesOnlyEqualPartitionsAlone) {
  const std::vector<blk_input> blocks = {
      {ROM_BLK_TYPE_NAND_OOB, 0, "fs", ROM_BLK_CT_NONE, pattern(2112 * 100, 1)},
      {ROM_BLK_TYPE_NOR, 1, "env", ROM_BLK_CT_CYPHER1, firmware_like(70000, 2)},
      {ROM_BLK_TYPE_NAND_RAW, 9, "x", ROM_BLK_CT_NONE, "left alone: no such partition"},
  };
  const install_settings skip{.skip_bad = true, .read_back = true, .skip_unchanged = true};
  struct row {
    const char *what;
    std::function<void(ReadBackTest *)> edit;
    const char *line0, *line1;
  } rows[] = {
      {"nothing", [](ReadBackTest *) {}, "skip-unchanged: mtd0 unchanged\n",
       "skip-unchanged: mtd1 unchanged\n"},
      {"stale page past the data", [](ReadBackTest *t) { t->scribble(0, 5 * BLOCK + 2048); },
       "skip-unchanged: mtd0 changed block=0x000a0000\n", "skip-unchanged: mtd1 unchanged\n"},
      {"the rest of the last written block",
       [](ReadBackTest *t) { t->scribble(0, BLOCK + 36 * 2048); },  // 64 + 36 pages
       "skip-unchanged: mtd0 changed block=0x00020000\n", "skip-unchanged: mtd1 unchanged\n"},
      {"a free OOB byte",
       [](ReadBackTest *t) {
         unique_fd fd(t->sim->open(0), plat_close);
         uint8_t cleared = 0x00;
         mtd_oob_buf b{BLOCK + 2048 * 5 + 39, 1, &cleared};
         ASSERT_EQ(plat().ioctl(fd.fd, MEMWRITEOOB, &b), 0);
       },
       "skip-unchanged: mtd0 changed block=0x00020000\n", "skip-unchanged: mtd1 unchanged\n"},
      // The second chunk would now go to block 3, which is erased.
      {"a block gone bad", [](ReadBackTest *) { sim_mark_bad(0, 1); },
       "skip-unchanged: mtd0 changed block=0x00060000\n", "skip-unchanged: mtd1 unchanged\n"},
      {"NOR past the data", [](ReadBackTest *t) { t->scribble(1, 200000, 1); },
       "skip-unchanged: mtd0 unchanged\n", "skip-unchanged: mtd1 changed block=0x00030000\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start();
    build_image(image, blocks);
    ASSERT_EQ(execute({.skip_bad = true}), 0) << out;
    r.edit(this);
    const std::string before = sim->events();
    ASSERT_EQ(execute(skip), 0) << out;
    const std::string after = sim->events().substr(before.size());
    std::string want = r.line0;
    if (want.find(" changed ") != std::string::npos)
      want += "read-back: mtd0 ok bytes=208600 ecc-corrected=0 ecc-failed=0\n";
    want += r.line1;
    if (std::string(r.line1).find(" changed ") != std::string::npos)
      want += "read-back: mtd1 ok bytes=70000 ecc-corrected=0 ecc-failed=0\n";
    EXPECT_EQ(added_lines(out), want);
    for (const char *mtd : {"mtd0", "mtd1"}) {
      bool changed =
          want.find(std::string("skip-unchanged: ") + mtd + " changed") != std::string::npos;
      EXPECT_EQ(device_changes(after, mtd).empty(), !changed) << mtd;
    }
    // Whatever was done, the partitions hold what a fresh install leaves.
    expect_nand0(blocks[0].content, true,
                 std::string(r.what) == "a block gone bad" ? std::vector<uint32_t>{1, 2}
                                                           : std::vector<uint32_t>{2});
    std::string nor = str(sim->data(1));
    EXPECT_TRUE(nor == blocks[1].content + std::string((256u << 10) - 70000, '\xFF'));
    TearDown();
  }
}

// Stored damage a plain read hides: a bit flipped in the stored data (the
// ECC corrects it on the way out), and two bits of a step's ECC code (the
// step can no longer be corrected; the data is as written).
void flip_stored(const sim_fixture &sim, uint32_t offset, int bit) {
  std::string data = e2e::read_file(sim.path("mtd0.data"));
  unique_fd fd(::open(sim.path("mtd0.data").c_str(), O_WRONLY));
  const char flipped = static_cast<char>(data.at(offset) ^ (1 << bit));
  ASSERT_EQ(pwrite(fd.fd, &flipped, 1, offset), 1);
}
void damage_ecc_step(const sim_fixture &sim, uint32_t page_offset) {
  unique_fd fd(sim.open(0), plat_close);
  uint8_t code[3];
  mtd_oob_buf rd{page_offset + 40, 3, code};
  ASSERT_EQ(plat().ioctl(fd.fd, MEMREADOOB, &rd), 0);
  int cleared = 0;
  for (int i = 0; i < 24 && cleared < 2; i++) {
    if (code[i / 8] & (1 << (i % 8))) {
      code[i / 8] = static_cast<uint8_t>(code[i / 8] & ~(1 << (i % 8)));
      ++cleared;
    }
  }
  ASSERT_EQ(cleared, 2);
  mtd_oob_buf wr{page_offset + 40, 3, code};
  ASSERT_EQ(plat().ioctl(fd.fd, MEMWRITEOOB, &wr), 0);
}

// What a plain install would change that the page data alone does not show:
// free OOB bytes the writer would leave erased (or place), and data that
// reads equal only because the ECC mends it. Each row installs one image,
// changes the board, and installs another with --skip-unchanged, which must
// find the partition changed and leave it as a fresh install does.
TEST_F(ReadBackTest, SkipUnchangedComparesTheOOBAndWantsCleanReads) {
  const std::string recs = pattern(2112 * 100, 1);
  std::string pages;  // the page data of the records
  for (size_t i = 0; i < 100; i++) pages += recs.substr(i * 2112, 2048);
  // Two erase blocks of records, the second of erased data with OOB tags.
  std::string tagged = recs.substr(0, 2112 * 64);
  for (int i = 0; i < 64; i++) tagged += std::string(2048, '\xFF') + pattern(64, i);
  const std::string raw = pattern(300000, 2);
  auto none = [](const sim_fixture &) {};
  struct row {
    const char *what;
    blk_input first;
    std::function<void(const sim_fixture &)> edit;
    blk_input second;
    const char *line;
  } rows[] = {
      {"raw data twice",
       {ROM_BLK_TYPE_NAND_RAW, 0, "k", 0, raw},
       none,
       {ROM_BLK_TYPE_NAND_RAW, 0, "k", 0, raw},
       "skip-unchanged: mtd0 unchanged\n"},
      {"page records, then their page data raw: the free OOB bytes were placed",
       {ROM_BLK_TYPE_NAND_OOB, 0, "fs", 0, recs},
       none,
       {ROM_BLK_TYPE_NAND_RAW, 0, "fs", 0, pages},
       "skip-unchanged: mtd0 changed block=0x00000000\n"},
      {"page records, then their first erase block: the later one keeps OOB tags",
       {ROM_BLK_TYPE_NAND_OOB, 0, "fs", 0, tagged},
       none,
       {ROM_BLK_TYPE_NAND_OOB, 0, "fs", 0, tagged.substr(0, 2112 * 64)},
       "skip-unchanged: mtd0 changed block=0x00020000\n"},
      {"a stored bit the ECC corrects",
       {ROM_BLK_TYPE_NAND_RAW, 0, "k", 0, raw},
       [](const sim_fixture &sim) { flip_stored(sim, 0x20100, 3); },
       {ROM_BLK_TYPE_NAND_RAW, 0, "k", 0, raw},
       "skip-unchanged: mtd0 changed block=0x00020000\n"},
      {"a step whose ECC code is damaged",
       {ROM_BLK_TYPE_NAND_RAW, 0, "k", 0, raw},
       [](const sim_fixture &sim) { damage_ecc_step(sim, 0x60000 + 5 * 2048); },
       {ROM_BLK_TYPE_NAND_RAW, 0, "k", 0, raw},
       "skip-unchanged: mtd0 changed block=0x00060000\n"},
      {"three corrected bits and a damaged step",
       {ROM_BLK_TYPE_NAND_RAW, 0, "k", 0, raw},
       [](const sim_fixture &sim) {
         flip_stored(sim, 0x100, 0);
         flip_stored(sim, 0x20900, 7);
         flip_stored(sim, 0x61000, 2);
         damage_ecc_step(sim, 0x60000);
       },
       {ROM_BLK_TYPE_NAND_RAW, 0, "k", 0, raw},
       "skip-unchanged: mtd0 changed block=0x00000000\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    start();
    build_image(image, {r.first});
    ASSERT_EQ(execute({}), 0) << out;
    r.edit(*sim);
    build_image(image, {r.second});
    const std::string before = sim->events();
    ASSERT_EQ(execute({.read_back = true, .skip_unchanged = true}), 0) << out;
    const bool unchanged = std::string(r.line).find(" unchanged") != std::string::npos;
    EXPECT_EQ(added_lines(out),
              r.line + std::string(unchanged ? ""
                                             : "read-back: mtd0 ok bytes=" +
                                                   std::to_string(
                                                       r.second.type == ROM_BLK_TYPE_NAND_OOB
                                                           ? 64 * (2048 + 38)
                                                           : blk_padded_pages(r.second.content)) +
                                                   " ecc-corrected=0 ecc-failed=0\n"));
    EXPECT_EQ(device_changes(sim->events().substr(before.size()), "mtd0").empty(), unchanged);
    expect_nand0(r.second.content, r.second.type == ROM_BLK_TYPE_NAND_OOB, {2});
    TearDown();
  }
}

// --read-back on data that compares equal while a step of it is beyond the
// ECC: the block differs.
TEST_F(ReadBackTest, AStepTheECCCannotCorrectDiffersThoughTheDataIsEqual) {
  start();
  const std::string bytes = pattern(BLOCK, 5);
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "k", ROM_BLK_CT_NONE, bytes}});
  ASSERT_EQ(execute({}), 0) << out;
  damage_ecc_step(*sim, 3 * 2048);
  mtd_device dev = sim->device(0);
  ASSERT_EQ(mtd_query(&dev), MTD_CLASS_NAND);
  flash_written w;
  ASSERT_EQ(flash_written_begin(&w, dev, ROM_BLK_TYPE_NAND_RAW, {}), 0);
  w.records.push_back({0, BLOCK, crc32(0, bytes.data(), BLOCK), 0});
  CaptureStdout();
  EXPECT_EQ(read_back_check(w), RES_FAULT);
  EXPECT_EQ(GetCapturedStdout(),
            "read-back: mtd0 differs bytes=131072 ecc-corrected=0 ecc-failed=1 "
            "block=0x00000000\n");
}

// -m and -z program nothing, so the added options do nothing with them.
TEST_F(ReadBackTest, SimulateAndDiscardTakeNoneOfTheAddedSteps) {
  start("fail=read:1+:EIO");
  build_image(image, {{ROM_BLK_TYPE_NAND_RAW, 0, "k", ROM_BLK_CT_NONE, pattern(3000)}});
  auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(sim->dir().path());
  const install_settings all{.read_back = true, .skip_unchanged = true, .mark_bad = true};
  install_settings m = all, z = all;
  m.simulate = true;
  z.discard = true;
  EXPECT_EQ(execute(m), 0);
  EXPECT_EQ(added_lines(out), "");
  EXPECT_EQ(execute(z), 0);
  EXPECT_EQ(added_lines(out), "");
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(changes().empty());
}

}  // namespace
}  // namespace korvane
