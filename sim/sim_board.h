// SPDX-License-Identifier: MIT
// The description of a simulated board: its MTD partitions (geometry, bad
// blocks, scheduled faults) and the /proc control files it publishes. It is
// read from a small line-oriented text file; the syntax is described in the
// README ("The simulated board").
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_time.h"

namespace korvane {

/// Operations of a simulated device that faults and refusals attach to.
/// SIM_IOCTL is every ioctl of the device, counted together.
enum sim_op : int {
  SIM_OPEN,
  SIM_READ,
  SIM_WRITE,
  SIM_SEEK,
  SIM_GETINFO,   // MEMGETINFO
  SIM_ERASE,     // MEMERASE
  SIM_OOBWRITE,  // MEMWRITEOOB
  SIM_OOBSEL,    // MEMGETOOBSEL
  SIM_BADBLOCK,  // MEMGETBADBLOCK
  SIM_IOCTL,
  SIM_OOBREAD,   // MEMREADOOB
  SIM_ECCSTATS,  // ECCGETSTATS
  SIM_MARKBAD,   // MEMSETBADBLOCK
  SIM_OP_COUNT
};

/// The word of an operation in board files and the event log ("erase", ...).
const char *sim_op_name(sim_op op);
/// @return the operation named, or -1.
int sim_op_parse(const std::string &name);

/// The nth call (1-based, counted per device and operation from the start of
/// the simulation) fails with errno err; with onward set, every later one too.
struct sim_fault {
  sim_op op;
  unsigned nth;
  bool onward;
  int err;
};

/// One partition. type is the kernel's MTD type: MTD_NANDFLASH, MTD_NORFLASH
/// or MTD_RAM.
struct sim_mtd {
  int number = -1;
  std::string name;  // the kernel's partition name ("" when not given)
  uint8_t type = 0;
  uint32_t size = 0;          // bytes
  uint32_t erasesize = 0;     // bytes
  uint32_t writesize = 0;     // bytes; 1 on NOR and RAM unless given
  uint32_t oobsize = 0;       // bytes per page; 0 on NOR and RAM
  std::vector<uint32_t> bad;  // erase-block numbers of bad blocks (NAND only)
  bool missing = false;       // listed but absent: opening fails with ENOENT
  bool read_only = false;     // not writeable: MEMGETINFO lacks MTD_WRITEABLE, opening for
                              // writing fails with EACCES
  unsigned refused = 0;       // bit (1 << op): the operation fails with EOPNOTSUPP
  bool soft_ecc = true;       // page writes also program the ECC bytes into the OOB area
  int useecc = -1;            // MEMGETOOBSEL useecc; -1: the kernel's (autoplacement)
  std::vector<std::pair<uint32_t, uint32_t>> oobfree;  // replaces the kernel's free ranges
  std::vector<sim_fault> faults;
  /// Weak cells: (partition offset, bit 0-7) that read back flipped, before
  /// the ECC looks at them; what is stored stays as programmed.
  std::vector<std::pair<uint32_t, uint8_t>> weak;
  /// The chip's timings for the flash time model; the board file sets the
  /// defaults of its type (sim_timing_default) and what it names.
  sim_timing timing;

  bool is_nand() const;
  bool is_bad(uint32_t block) const;
};

/// Where the board keeps the boot loader's environment (sim/sim_env.h):
/// size 0 when it has none.
struct sim_env_place {
  uint32_t size = 0;       // bytes of one copy
  bool redundant = false;  // two copies
};

/// A slot of an A/B board: the partitions an update writes together.
struct sim_slot {
  char name = 'A';        // 'A' or 'B'
  std::vector<int> mtds;  // partition numbers
};

struct sim_board {
  std::vector<sim_mtd> mtds;
  std::vector<std::string> proc_files;  // "/proc/keypad/watchdog", ...
  sim_env_place env;
  std::vector<sim_slot> slots;  // none, or A and B

  sim_mtd *find(int number);
  const sim_mtd *find(int number) const;
};

/// The board korvane-sim uses when no board file is given.
extern const char *const sim_default_board_text;

/// Parses a board description; source names it in messages.
/// @return 0, or -1 with *error set to "SOURCE line N: what is wrong".
int sim_board_parse(const std::string &text, const std::string &source, sim_board *board,
                    std::string *error);

/// Reads and parses a board file. @return 0 or -1 with *error set.
int sim_board_load(const std::string &path, sim_board *board, std::string *error);

/// @return the errno named ("EIO") or given in decimal ("5"), or -1.
int sim_errno_parse(const std::string &word);

}  // namespace korvane
