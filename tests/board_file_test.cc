// SPDX-License-Identifier: MIT
// korvane --board-file end to end on korvane-sim: the board file it prints
// is the board's, korvane-sim and korvane-mkrom check read it back, and
// nothing on the flash is touched.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::bin;
using e2e::run;
using e2e::scratch_dir;

e2e::run_result sim(const scratch_dir &dir, std::vector<std::string> args) {
  args.insert(args.begin(), bin("korvane-sim"));
  return run(args, dir.path());
}

// Names with blanks, quotes and a '#', a missing partition, a RAM one, and
// bad blocks from the board file and from a mark an earlier run left.
const char board_text[] =
    "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2 name=\"NAND simulator partition 0\"\n"
    "mtd1 nor size=256K erase=64K name=\"u-boot \\\"env\\\" #1\"\n"
    "mtd2 nand size=512K erase=16K page=512 oob=16 missing\n"
    "mtd3 nand size=512K erase=16K page=512 oob=16 bad=0 name=rootfs\n"
    "mtd4 ram size=64K erase=4K\n";

const char printed[] =
    "# the running board, from /sys/class/mtd and /dev/mtdN (korvane --board-file)\n"
    "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2 name=\"NAND simulator partition 0\"\n"
    "mtd1 nor size=256K erase=64K name=\"u-boot \\\"env\\\" #1\"\n"
    "mtd3 nand size=512K erase=16K page=512 oob=16 bad=0,5 name=\"rootfs\"\n"
    "mtd4 ram size=64K erase=4K\n";

TEST(BoardFile, PrintsTheBoardAndReadsItBack) {
  scratch_dir dir;
  e2e::write_file(dir / "board", board_text);
  std::filesystem::create_directories(dir / "st");
  e2e::write_file(dir / "st/mtd3.bad", "5\n");
  e2e::run_result r = sim(dir, {"--board", "board", "--state", "st", "--", "--board-file"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, printed);
  EXPECT_EQ(r.err, "");
  // Only questions were asked of the flash.
  const std::string log = e2e::read_file(dir / "st/events.log");
  EXPECT_EQ(log.find("erase "), std::string::npos) << log;
  EXPECT_EQ(log.find("write "), std::string::npos) << log;
  EXPECT_NE(log.find("badblock mtd3 81920 1"), std::string::npos) << log;

  // What it prints is a board: korvane-sim on it prints it again.
  e2e::write_file(dir / "printed", r.out);
  e2e::run_result again = sim(dir, {"--board", "printed", "--state", "st2", "--", "--board-file"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(again.out, printed);
}

TEST(BoardFile, SaysWhatItCouldNotRead) {
  scratch_dir dir;
  e2e::write_file(dir / "board",
                  "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2 refuse=badblock\n"
                  "mtd1 nor size=256K erase=64K\n");
  e2e::run_result r = sim(dir, {"--board", "board", "--state", "st", "--", "--board-file"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "# the running board, from /sys/class/mtd and /dev/mtdN (korvane --board-file)\n"
            "# mtd0: bad blocks not read: /dev/mtd0: MEMGETBADBLOCK at block 0: Operation not "
            "supported\n"
            "mtd0 nand size=1M erase=128K page=2048 oob=64\n"
            "mtd1 nor size=256K erase=64K\n");
}

// korvane-mkrom check takes the printed board as its --board, with the
// blocks the board has marked bad since its board file was written.
TEST(BoardFile, CheckUsesThePrintedBoard) {
  scratch_dir dir;
  e2e::write_file(dir / "board", board_text);
  std::filesystem::create_directories(dir / "st");
  e2e::write_file(dir / "st/mtd3.bad", "5\n");
  e2e::run_result r = sim(dir, {"--board", "board", "--state", "st", "--", "--board-file"});
  ASSERT_EQ(r.status, 0) << r.out;
  e2e::write_file(dir / "printed", r.out);
  auto mkrom = [&](std::vector<std::string> args) {
    args.insert(args.begin(), bin("korvane-mkrom"));
    return run(args, dir.path());
  };
  // mtd3 has 30 good erase blocks of 32 (0 and 5 bad): 30 fit, 31 do not.
  e2e::write_file(dir / "fits", e2e::pattern(30 * 16384, 1));
  e2e::write_file(dir / "too-big", e2e::pattern(31 * 16384, 2));
  ASSERT_EQ(mkrom({"create", "img.rom"}).status, 0);
  ASSERT_EQ(
      mkrom({"add", "img.rom", "fits", "-t", "nand-raw", "-p", "none", "--id", "3", "--name", "r"})
          .status,
      0);
  e2e::run_result ok = mkrom({"check", "img.rom", "--board", "printed"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out.rfind("img.rom: 1 flash blocks fit printed\n", 0), 0u) << ok.out;

  ASSERT_EQ(mkrom({"create", "big.rom"}).status, 0);
  ASSERT_EQ(mkrom({"add", "big.rom", "too-big", "-t", "nand-raw", "-p", "none", "--id", "3",
                   "--name", "r"})
                .status,
            0);
  e2e::run_result no = mkrom({"check", "big.rom", "--board", "printed"});
  EXPECT_EQ(no.status, 1);
  EXPECT_NE(no.err.find("it needs 31 erase blocks"), std::string::npos) << no.err;
  EXPECT_NE(no.err.find("has 30 good of 32 (2 bad)"), std::string::npos) << no.err;
}

}  // namespace
}  // namespace korvane
