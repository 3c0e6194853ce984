// SPDX-License-Identifier: MIT
// The running board described from what the kernel publishes: the
// partitions under /sys/class/mtd, and the bad blocks their devices answer
// MEMGETBADBLOCK for, written as a board file (the syntax korvane-sim and
// korvane-mkrom check read).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

/// One partition of the running board.
struct mtd_board_part {
  int number = -1;
  std::string name;           // the kernel's partition name
  std::string type;           // the kernel's type word: "nand", "nor", "ram", "mlc-nand", ...
  uint64_t size = 0;          // bytes
  uint32_t erasesize = 0;     // bytes
  uint32_t writesize = 0;     // bytes
  uint32_t oobsize = 0;       // bytes per page
  std::vector<uint32_t> bad;  // erase-block numbers answered bad
  std::string problem;        // what could not be read, "" when nothing was missed
};

/// Reads every partition listed under /sys/class/mtd (platform's sys_root)
/// in number order; for NAND, opens /dev/mtdN read-only and asks each erase
/// block whether it is bad. A partition whose attributes or bad blocks cannot
/// be read keeps what was read and says what was not in problem.
/// Prints nothing. @return 0, or -1 with *error set when the folder cannot
/// be listed.
int mtd_board_read(std::vector<mtd_board_part> *parts, std::string *error);

/// The board file of the partitions: one mtdN line each, and a comment line
/// for each partition a board file cannot describe or whose reading missed
/// something (starting "# mtdN: ").
std::string mtd_board_text(const std::vector<mtd_board_part> &parts);

/// A board-file value in double quotes: a quote, a backslash and any byte
/// outside printable ASCII written as \", \\ and \xNN.
std::string mtd_board_quoted(const std::string &value);

/// korvane --board-file: prints the running board's board file.
/// @return 0, or 1 when the folder cannot be listed or a partition could not
///         be read whole (what was read is printed, and comment lines say
///         what was not).
int mtd_board_print();

}  // namespace korvane
