// SPDX-License-Identifier: MIT
// --read-back, --skip-unchanged and --mark-bad end to end through
// korvane-sim: exit statuses, the lines, the event log, and the marks a
// later run finds in the state folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rom/layout.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

using namespace install_test;
using e2e::bin;
using e2e::scratch_dir;

struct board_run {
  scratch_dir dir;

  explicit board_run(const std::string &mtd2 = "") {
    e2e::write_file(dir / "board",
                    "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2\n"
                    "mtd1 nor size=512K erase=64K\n"
                    "mtd2 nand size=1M erase=128K page=2048 oob=64 bad=5 " +
                        mtd2 + "\nproc /proc/keypad/watchdog /proc/dsplink/reset\n");
  }
  void image(const std::string &name, int seed) const {
    build_image(dir / name,
                {{ROM_BLK_TYPE_NAND_RAW, 0, "kernel", ROM_BLK_CT_CYPHER1, firmware_like(300000, 1)},
                 {ROM_BLK_TYPE_NOR, 1, "env", ROM_BLK_CT_NONE, pattern(70000, 2)},
                 {ROM_BLK_TYPE_NAND_OOB, 2, "rootfs", ROM_BLK_CT_NONE, pattern(2112 * 150, seed)}});
  }
  e2e::run_result korvane(const std::vector<std::string> &words) const {
    std::vector<std::string> args = {bin("korvane-sim"), "--board", "board",
                                     "--state",          "state",   "--"};
    args.insert(args.end(), words.begin(), words.end());
    return e2e::run(args, dir.path());
  }
  std::string events() const { return e2e::read_file(dir / "state/events.log"); }
};

bool has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST(ReadBackSim, ReinstallingWritesOnlyWhatChanged) {
  board_run b;
  b.image("one.rom", 3);
  b.image("two.rom", 4);  // only the root file system differs
  e2e::run_result r = b.korvane({"--read-back", "-e", "one.rom"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "read-back: mtd0 ok bytes=301056 ecc-corrected=0 ecc-failed=0\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "read-back: mtd1 ok bytes=70000 "));
  EXPECT_TRUE(has(r.out, "read-back: mtd2 ok bytes=" + std::to_string(150 * (2048 + 38)) + " "));

  std::string before = b.events();
  r = b.korvane({"--preflight", "--skip-unchanged", "--read-back", "-e", "one.rom"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out,
                  "skip-unchanged: mtd0 unchanged\nskip-unchanged: mtd1 unchanged\n"
                  "skip-unchanged: mtd2 unchanged\n"))
      << r.out;
  EXPECT_FALSE(has(r.out, "read-back:")) << "nothing was programmed";
  EXPECT_TRUE(device_changes(b.events().substr(before.size())).empty());

  before = b.events();
  r = b.korvane({"--skip-unchanged", "-e", "two.rom"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "skip-unchanged: mtd2 changed block=0x00000000\n")) << r.out;
  const std::string after = b.events().substr(before.size());
  EXPECT_TRUE(device_changes(after, "mtd0").empty());
  EXPECT_TRUE(device_changes(after, "mtd1").empty());
  EXPECT_FALSE(device_changes(after, "mtd2").empty());
}

TEST(ReadBackSim, FailedReadBacksExitOneAndNameTheBlock) {
  for (const char *mtd2 : {"fail=read:1+:EIO", "weak=0x100:0,0x101:0"}) {
    SCOPED_TRACE(mtd2);
    board_run b(mtd2);
    b.image("one.rom", 3);
    e2e::run_result r = b.korvane({"--read-back", "-e", "one.rom"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "block=0x00000000")) << r.out;
    EXPECT_TRUE(has(r.out, "read-back: mtd2 ")) << r.out;
    // -s goes on past it, as past any failed block, but the run fails: the
    // flash holds wrong bytes. No reset follows it with -r.
    r = b.korvane({"-s", "-r", "--read-back", "-e", "one.rom"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "!!!!!!<<<skip 2 bad block>>>!!!!!!")) << r.out;
    EXPECT_FALSE(has(b.events(), "proc /proc/dsplink/reset")) << "no reset";
  }
  // The blocks after the failed one are still installed and read back.
  scratch_dir dir;
  e2e::write_file(dir / "board",
                  "mtd0 nand size=1M erase=128K page=2048 oob=64 fail=read:1+:EIO\n"
                  "mtd1 nor size=512K erase=64K\n"
                  "mtd2 nand size=1M erase=128K page=2048 oob=64\n"
                  "proc /proc/keypad/watchdog\n");
  build_image(dir / "one.rom",
              {{ROM_BLK_TYPE_NAND_RAW, 0, "kernel", ROM_BLK_CT_NONE, pattern(300000, 1)},
               {ROM_BLK_TYPE_NOR, 1, "env", ROM_BLK_CT_NONE, pattern(70000, 2)}});
  e2e::run_result r = e2e::run({bin("korvane-sim"), "--board", "board", "--state", "state", "--",
                                "-V", "-s", "--read-back", "-e", "one.rom"},
                               dir.path());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "read-back: mtd0 unreadable ")) << r.out;
  EXPECT_TRUE(has(r.out, "!!!!!!<<<skip 0 bad block>>>!!!!!!\n")) << r.out;
  EXPECT_TRUE(has(r.out, "read-back: mtd1 ok bytes=70000 ")) << r.out;
  EXPECT_FALSE(has(r.out, "rom execute:done")) << r.out;
  // Any other failed block with -s keeps the status it always had (here a
  // partition the board lacks), with --read-back too.
  build_image(dir / "two.rom", {{ROM_BLK_TYPE_NOR, 7, "gone", ROM_BLK_CT_NONE, pattern(100, 3)},
                                {ROM_BLK_TYPE_NOR, 1, "env", ROM_BLK_CT_NONE, pattern(70000, 2)}});
  r = e2e::run({bin("korvane-sim"), "--board", "board", "--state", "state", "--", "-s",
                "--read-back", "-e", "two.rom"},
               dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "!!!!!!<<<skip 0 bad block>>>!!!!!!\n")) << r.out;
}

TEST(ReadBackSim, AWornBlockIsMarkedAndStaysBad) {
  board_run b("fail=write:70:EIO");
  b.image("one.rom", 3);
  const std::string payload = pattern(2112 * 150, 3);
  e2e::run_result r = b.korvane({"--mark-bad", "--read-back", "-e", "one.rom"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "mark-bad: mtd2 block=0x00020000 op=write marked\n")) << r.out;
  EXPECT_TRUE(has(b.events(), "\nmarkbad mtd2 131072\n"));
  // Reading the good blocks in order gives the payload's page data.
  const std::string data = e2e::read_file(b.dir / "state/mtd2.data");
  std::string got;
  for (uint32_t block : {0u, 2u, 3u}) got += data.substr(size_t{block} << 17, 128u << 10);
  for (size_t page = 0; page < 150; ++page)
    ASSERT_EQ(got.substr(page * 2048, 2048), payload.substr(page * 2112, 2048)) << page;

  // The next run, without the fault, finds the block bad.
  e2e::write_file(b.dir / "board",
                  "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2\n"
                  "mtd1 nor size=512K erase=64K\n"
                  "mtd2 nand size=1M erase=128K page=2048 oob=64 bad=5\n");
  r = b.korvane({"-V", "-o", "2", "--skip-unchanged", "-e", "one.rom"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "skip-unchanged: mtd2 unchanged\n")) << r.out;

  // Without --mark-bad the same fault fails the install, as it always did.
  board_run plain("fail=write:70:EIO");
  plain.image("one.rom", 3);
  r = plain.korvane({"-e", "one.rom"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(has(plain.events(), "markbad"));
}

}  // namespace
}  // namespace korvane
