// SPDX-License-Identifier: MIT
// korvane-sim map end to end: the map of a state folder after an install
// through korvane-sim, as text and as an SVG picture that a renderer draws.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::bin;
using e2e::run;
using e2e::scratch_dir;

e2e::run_result tool(const scratch_dir &dir, const std::string &program,
                     std::vector<std::string> args) {
  args.insert(args.begin(), bin(program));
  return run(args, dir.path());
}

const char board_text[] =
    "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=1\n"
    "mtd1 nor size=256K erase=64K\n";

// 300,000 bytes of kernel: erase blocks 0 and 2 (1 is bad) and 19 pages of
// block 3; 5,000 bytes of env: 10 of the 128 512-byte units of mtd1's block 0.
const char expected[] =
    "# one character per erase block: # programmed, + partly programmed, . erased, B bad\n"
    "mtd0 nand size=1M erase=128K page=2048 oob=64: 8 erase blocks\n"
    "      0  #B#+....\n"
    "  0           programmed 'kernel'\n"
    "  1           bad\n"
    "  2           programmed 'kernel'\n"
    "  3           partly     'kernel' 19 of 64 pages\n"
    "  4-7         erased\n"
    "mtd1 nor size=256K erase=64K: 4 erase blocks\n"
    "      0  +...\n"
    "  0           partly     'env' 10 of 128 512-byte units\n"
    "  1-3         erased\n";

TEST(SimMapE2e, DrawsTheFlashAfterAnInstall) {
  scratch_dir dir;
  e2e::write_file(dir / "board", board_text);
  e2e::write_file(dir / "kernel", e2e::pattern(300000, 1));
  e2e::write_file(dir / "env", e2e::pattern(5000, 2));
  ASSERT_EQ(tool(dir, "korvane-mkrom", {"create", "img.rom"}).status, 0);
  ASSERT_EQ(tool(dir, "korvane-mkrom",
                 {"add", "img.rom", "kernel", "-t", "nand-raw", "-p", "c1", "--id", "0", "--name",
                  "kernel"})
                .status,
            0);
  ASSERT_EQ(tool(dir, "korvane-mkrom",
                 {"add", "img.rom", "env", "-t", "nor", "-p", "none", "--id", "1", "--name", "env"})
                .status,
            0);
  e2e::run_result r =
      tool(dir, "korvane-sim", {"--board", "board", "--state", "st", "--", "-e", "img.rom"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // Once more for env alone: the names stay with the blocks.
  r = tool(dir, "korvane-sim",
           {"--board", "board", "--state", "st", "--", "-o", "1", "-e", "img.rom"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  r = tool(dir, "korvane-sim", {"map", "--board", "board", "--state", "st", "--svg", "map.svg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");

  // The picture: each block with what it holds, and a renderer draws it.
  const std::string svg = e2e::read_file(dir / "map.svg");
  EXPECT_NE(svg.find("<title>mtd0 block 3 at 0x00060000: partly by 'kernel', 19 of 64 "
                     "pages</title>"),
            std::string::npos);
  EXPECT_NE(svg.find("<title>mtd0 block 1 at 0x00020000: bad</title>"), std::string::npos);
  e2e::run_result png = run({"/usr/bin/rsvg-convert", "-o", dir / "map.png", dir / "map.svg"});
  ASSERT_EQ(png.status, 0) << "rsvg-convert (librsvg2-bin, scripts/packages.sh test): " << png.err;
  const std::string p = e2e::read_file(dir / "map.png");
  ASSERT_GT(p.size(), 24u);
  EXPECT_EQ(p.substr(1, 3), "PNG");
  // The width in the PNG header is the SVG's: 64 columns of 12 and two margins of 16.
  EXPECT_EQ(p.substr(16, 4), std::string("\0\0\x03\x20", 4));
}

TEST(SimMapE2e, Mistakes) {
  scratch_dir dir;
  struct row {
    std::vector<std::string> args;
    int status;
    std::string err;
  } rows[] = {
      {{"map", "--state", "nowhere"}, 1, "korvane-sim map: nowhere: no state folder there\n"},
      {{"map", "--frob"}, 2, "korvane-sim map: unknown argument '--frob'\n"},
      {{"map", "--svg"}, 2, "korvane-sim map: --svg needs a value\n"},
      {{"map", "--board", "absent"}, 2, "korvane-sim map: absent: cannot be read: "},
      {{"map", "--state", ".", "--svg", "no/such/folder/m.svg"},
       1,
       "korvane-sim map: no/such/folder/m.svg: cannot be written: "},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.args[1]);
    e2e::run_result got = tool(dir, "korvane-sim", r.args);
    EXPECT_EQ(got.status, r.status);
    EXPECT_EQ(got.err.rfind(r.err, 0), 0u) << got.err;
    EXPECT_EQ(got.out, "");
  }
}

}  // namespace
}  // namespace korvane
