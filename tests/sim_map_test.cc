// SPDX-License-Identifier: MIT
// korvane-sim map end to end: the map of a state folder after an install
// through korvane-sim, as text and as an SVG picture that a renderer draws;
// on a two-slot board, the slots and the boot loader's environment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rom/layout.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

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

const char ab_board[] =
    "mtd0 nor size=256K erase=64K name=kernel_a\n"
    "mtd1 nor size=256K erase=64K name=kernel_b\n"
    "mtd2 nor size=64K erase=64K name=data\n"
    "env size=4K redundant\n"
    "slot A mtd0\n"
    "slot B mtd1\n";

const char ab_config[] =
    "[board]\n"
    "device = board\n"
    "device-id = 7\n"
    "[slot.A]\n"
    "0 = kernel_a\n"
    "[slot.B]\n"
    "0 = kernel_b\n"
    "[bootloader]\n"
    "type = u-boot\n"
    "boot-attempts = 2\n";

// The environment's section of a map: from its heading to the end.
std::string env_section(const std::string &map) {
  const size_t at = map.find("\nenv ");
  return at == std::string::npos ? std::string() : map.substr(at + 1);
}

TEST(SimMapE2e, SlotsAndEnvironmentAfterAnUpdate) {
  scratch_dir dir;
  e2e::write_file(dir / "board", ab_board);
  e2e::write_file(dir / "system.conf", ab_config);
  install_test::build_image(dir / "v2.rom", {{ROM_BLK_TYPE_NOR, 0, "kernel", ROM_BLK_CT_NONE,
                                              install_test::pattern(100000, 3), ROM_VERIFY_CRC}});
  auto korvane = [&](std::vector<std::string> words) {
    words.insert(words.begin(),
                 {"--board", "board", "--state", "st", "--", "--config", "system.conf"});
    return tool(dir, "korvane-sim", words);
  };
  e2e::run_result r = korvane({"--update", "v2.rom"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = tool(dir, "korvane-sim", {"--board", "board", "--state", "st", "--boot"});
  ASSERT_EQ(r.status, 0) << r.err;

  // The update wrote copy 1 (flag 3) and the boot copy 0 (flag 4).
  r = tool(dir, "korvane-sim", {"map", "--board", "board", "--state", "st", "--svg", "map.svg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("mtd0 nor size=256K erase=64K: 4 erase blocks, slot A\n"
                       "      0  ....\n"
                       "  0-3         erased\n"
                       "mtd1 nor size=256K erase=64K: 4 erase blocks, slot B\n"
                       "      0  #+..\n"
                       "  0           programmed 'kernel'\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("mtd2 nor size=64K erase=64K: 1 erase blocks\n"), std::string::npos);
  EXPECT_EQ(env_section(r.out),
            "env size=4K redundant: current copy 0\n"
            "  copy 0 uboot.env valid bytes=4096 flag=4 current\n"
            "  copy 1 uboot-redund.env valid bytes=4096 flag=3\n"
            "  korvane_next=B\n"
            "  korvane_good=A\n"
            "  korvane_A=good\n"
            "  korvane_B=pending\n"
            "  upgrade_available=1\n"
            "  bootcount=1\n"
            "  bootlimit=2\n");
  const std::string svg = e2e::read_file(dir / "map.svg");
  for (const char *text :
       {">mtd1 nor size=256K erase=64K: 4 erase blocks, slot B</text>",
        ">env size=4K redundant: current copy 0</text>",
        ">copy 1 uboot-redund.env valid bytes=4096 flag=3</text>", ">bootcount=1</text>"})
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  e2e::run_result png = run({"/usr/bin/rsvg-convert", "-o", dir / "map.png", dir / "map.svg"});
  EXPECT_EQ(png.status, 0) << png.err;

  // Each copy spoilt in turn; what the boot loader would read then.
  const std::string copy0 = e2e::read_file(dir / "st/uboot.env");
  const std::string copy1 = e2e::read_file(dir / "st/uboot-redund.env");
  std::string flipped = copy0;
  flipped[100] = static_cast<char>(flipped[100] ^ 0x10);
  const std::string after_update =
      "  korvane_next=B\n"
      "  korvane_good=A\n"
      "  korvane_A=good\n"
      "  korvane_B=pending\n"
      "  upgrade_available=1\n"
      "  bootcount=0\n"
      "  bootlimit=2\n";
  struct row {
    const char *what;
    std::string c0, c1;  // the copies' bytes; "-" for no file
    std::string section;
  } rows[] = {
      {"a byte flipped in the newer copy", flipped, copy1,
       "env size=4K redundant: current copy 1\n"
       "  copy 0 uboot.env damaged bytes=4096\n"
       "  copy 1 uboot-redund.env valid bytes=4096 flag=3 current\n" +
           after_update},
      {"the newer copy cut short", copy0.substr(0, 100), copy1,
       "env size=4K redundant: current copy 1\n"
       "  copy 0 uboot.env damaged bytes=100\n"
       "  copy 1 uboot-redund.env valid bytes=4096 flag=3 current\n" +
           after_update},
      {"the older copy gone", copy0, "-",
       "env size=4K redundant: current copy 0\n"
       "  copy 0 uboot.env valid bytes=4096 flag=4 current\n"
       "  copy 1 uboot-redund.env missing\n"
       "  korvane_next=B\n"
       "  korvane_good=A\n"
       "  korvane_A=good\n"
       "  korvane_B=pending\n"
       "  upgrade_available=1\n"
       "  bootcount=1\n"
       "  bootlimit=2\n"},
      {"neither valid", flipped, std::string(4096, '\xff'),
       "env size=4K redundant: no valid copy\n"
       "  copy 0 uboot.env damaged bytes=4096\n"
       "  copy 1 uboot-redund.env erased bytes=4096\n"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.what);
    std::remove((dir / "st/uboot.env").c_str());
    std::remove((dir / "st/uboot-redund.env").c_str());
    if (c.c0 != "-") e2e::write_file(dir / "st/uboot.env", c.c0);
    if (c.c1 != "-") e2e::write_file(dir / "st/uboot-redund.env", c.c1);
    r = tool(dir, "korvane-sim", {"map", "--board", "board", "--state", "st"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(env_section(r.out), c.section);
  }
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
