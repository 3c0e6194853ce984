// SPDX-License-Identifier: MIT
// The flash map of a state folder, against a board programmed here through
// the simulated devices as an install programs it.
#include "sim/sim_map.h"

// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "sim/sim.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

const char board_text[] =
    "mtd0 nand size=128K erase=16K page=512 oob=16 bad=3\n"
    "mtd1 nor size=64K erase=16K\n"
    "mtd2 nand size=32K erase=16K page=512 oob=16 missing\n";

int erase(int fd, uint32_t start, uint32_t length) {
  erase_info_user e{start, length};
  return plat().ioctl(fd, MEMERASE, &e);
}

int write_at(int fd, uint32_t at, const std::string &bytes) {
  if (plat().lseek(fd, at, SEEK_SET) != at) return -1;
  return plat().write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) ? 0 : -1;
}

TEST(SimMap, DrawsWhatLandedAndWhoWroteIt) {
  sim_board board;
  std::string error;
  ASSERT_EQ(sim_board_parse(board_text, "test board", &board, &error), 0) << error;
  {
    sim_fixture sim(board_text);
    int nand = sim.open(0), nor = sim.open(1);
    ASSERT_GE(nand, 0);
    ASSERT_GE(nor, 0);
    // "boot": blocks 0 and 1 whole, 5 pages of block 2; block 3 is bad.
    plat().programming(0, "boot");
    for (uint32_t b : {0u, 1u, 2u, 4u, 5u, 6u, 7u}) ASSERT_EQ(erase(nand, b * 16384, 16384), 0);
    ASSERT_EQ(write_at(nand, 0, std::string(2 * 16384 + 5 * 512, 'k')), 0);
    // "rootfs" then block 4 only, one of its pages all 0xFF (programmed all
    // the same); block 5 was written by boot, then erased.
    plat().programming(0, "rootfs");
    std::string rootfs(16384, 'r');
    rootfs.replace(3 * 512, 512, 512, '\xff');
    ASSERT_EQ(write_at(nand, 4 * 16384, rootfs), 0);
    // Block 7 turns bad.
    loff_t at = 7 * 16384;
    ASSERT_EQ(plat().ioctl(nand, MEMSETBADBLOCK, &at), 0);
    // NOR: 1000 bytes of "env" touch two 512-byte units.
    plat().programming(1, "env");
    ASSERT_EQ(erase(nor, 0, 65536), 0);
    ASSERT_EQ(write_at(nor, 0, std::string(1000, 'e')), 0);
    plat().close(nand);
    plat().close(nor);
    sim_flash_map map;
    ASSERT_EQ(sim_map_read(board, sim.dir().path(), &map, &error), 0) << error;
    EXPECT_EQ(sim_map_text(map),
              "# one character per erase block: # programmed, + partly programmed, . erased, B "
              "bad\n"
              "mtd0 nand size=128K erase=16K page=512 oob=16: 8 erase blocks\n"
              "      0  ##+B#..B\n"
              "  0-1         programmed 'boot'\n"
              "  2           partly     'boot' 5 of 32 pages\n"
              "  3           bad\n"
              "  4           programmed 'rootfs'\n"
              "  5-6         erased\n"
              "  7           bad\n"
              "mtd1 nor size=64K erase=16K: 4 erase blocks\n"
              "      0  +...\n"
              "  0           partly     'env' 2 of 32 512-byte units\n"
              "  1-3         erased\n");
    EXPECT_EQ(map.parts.size(), 2u) << "the missing partition is left out";
  }
}

// A state folder never used is all erased, whatever an old log says; without
// the log's "program" lines the bytes still say what each block holds, with
// no name.
TEST(SimMap, BytesAloneWithoutTheLog) {
  sim_board board;
  std::string error;
  ASSERT_EQ(sim_board_parse("mtd0 nand size=64K erase=16K page=512 oob=16\n", "b", &board, &error),
            0);
  e2e::scratch_dir state;
  e2e::write_file(state / "events.log", "program mtd0 old\nwrite mtd0 0 16384\n");
  sim_flash_map map;
  ASSERT_EQ(sim_map_read(board, state.path(), &map, &error), 0) << error;
  EXPECT_EQ(sim_map_text(map).substr(sim_map_text(map).find("mtd0")),
            "mtd0 nand size=64K erase=16K page=512 oob=16: 4 erase blocks\n"
            "      0  ....\n"
            "  0-3         erased\n");
  // A page whose data is erased but whose OOB bytes are not counts as programmed.
  std::string data(65536, '\xff'), oob(128 * 16, '\xff');
  data[16384] = 0;
  oob[2 * 32 * 16 + 5] = 0;  // block 2, page 0
  e2e::write_file(state / "mtd0.data", data);
  e2e::write_file(state / "mtd0.oob", oob);
  e2e::write_file(state / "events.log", "write mtd0 16384 512\n");
  ASSERT_EQ(sim_map_read(board, state.path(), &map, &error), 0) << error;
  const std::string text = sim_map_text(map);
  EXPECT_NE(text.find("      0  .++.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  1           partly     1 of 32 pages\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace korvane
