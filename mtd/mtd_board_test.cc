// SPDX-License-Identifier: MIT
// Reading the board from a /sys tree as the kernel lays it out, for what
// the simulated board does not publish: the read-only nodes, other types,
// attributes that cannot be read, devices that cannot be opened.
#include "mtd/mtd_board.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

// The devices refuse to open, as for a user without the right to them.
int open_no_devices(const char *path, int flags, mode_t mode) {
  if (std::strncmp(path, "/dev/", 5) == 0) {
    errno = EACCES;
    return -1;
  }
  return ::open(path, flags, mode);
}

void partition(const e2e::scratch_dir &sys, const std::string &node, const std::string &name,
               const std::string &type, const std::string &size, const std::string &erase,
               const std::string &page, const std::string &oob) {
  const std::string dir = sys / ("class/mtd/" + node);
  std::filesystem::create_directories(dir);
  for (const auto &[attr, value] : {std::pair<const char *, std::string>{"name", name},
                                    {"type", type},
                                    {"size", size},
                                    {"erasesize", erase},
                                    {"writesize", page},
                                    {"oobsize", oob}}) {
    if (value != "-") e2e::write_file(dir + "/" + attr, value + "\n");
  }
}

TEST(MtdBoard, ReadsTheSysTreeAsTheKernelLaysItOut) {
  e2e::scratch_dir sys;
  partition(sys, "mtd0", "u-boot", "nor", "262144", "65536", "1", "0");
  partition(sys, "mtd0ro", "u-boot", "nor", "262144", "65536", "1", "0");  // passed over
  partition(sys, "mtd10", "data", "ram", "65536", "4096", "1", "0");       // after mtd2
  partition(sys, "mtd2", "ubi:rootfs", "ubi", "1048576", "126976", "2048", "0");
  partition(sys, "mtd3", "big", "nor", "8589934592", "65536", "1", "0");
  partition(sys, "mtd4", "nand", "nand", "1048576", "131072", "2048", "64");
  partition(sys, "mtd5", "half", "nor", "-", "65536", "1", "0");
  std::filesystem::create_directories(sys / "class/mtd/mtdblock0");  // not a partition node
  platform_ops ops = platform_linux;
  ops.sys_root = sys.path().c_str();
  ops.open = open_no_devices;
  const platform_ops *prev = platform_install(&ops);
  std::vector<mtd_board_part> parts;
  std::string error;
  int r = mtd_board_read(&parts, &error);
  platform_install(prev);
  ASSERT_EQ(r, 0) << error;
  EXPECT_EQ(mtd_board_text(parts),
            "# the running board, from /sys/class/mtd and /dev/mtdN (korvane --board-file)\n"
            "mtd0 nor size=256K erase=64K name=\"u-boot\"\n"
            "# mtd2: not described: its type 'ubi' is none a board file describes (nand, nor, "
            "ram)\n"
            "# mtd3: not described: its size of 8589934592 bytes is 4 GiB or more\n"
            "# mtd4: bad blocks not read: /dev/mtd4: Permission denied\n"
            "mtd4 nand size=1M erase=128K page=2048 oob=64 name=\"nand\"\n"
            "# mtd5: size: No such file or directory\n"
            "# mtd5: not described: its size or erase size is not known\n"
            "mtd10 ram size=64K erase=4K name=\"data\"\n");
}

TEST(MtdBoard, NoSysTree) {
  e2e::scratch_dir sys;
  platform_ops ops = platform_linux;
  ops.sys_root = sys.path().c_str();
  const platform_ops *prev = platform_install(&ops);
  std::vector<mtd_board_part> parts;
  std::string error;
  EXPECT_EQ(mtd_board_read(&parts, &error), -1);
  platform_install(prev);
  EXPECT_EQ(error, "cannot list /sys/class/mtd: No such file or directory");
}

TEST(MtdBoard, QuotedValues) {
  EXPECT_EQ(mtd_board_quoted("a \"b\" \\ \t\xc3\xa9"), "\"a \\\"b\\\" \\\\ \\x09\\xc3\\xa9\"");
}

}  // namespace
}  // namespace korvane
