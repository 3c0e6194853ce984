// SPDX-License-Identifier: MIT
// The flash map of a state folder: for each partition of the board, its
// erase blocks in order and what each holds (bad, erased, programmed by
// which image block, or partly programmed), drawn as text for a terminal or
// as a self-contained SVG picture.
//
// What a block holds comes from its bytes (STATE/mtdN.data and .oob, and
// in a block that holds something the units the log wrote since its last
// erase) and the bad blocks (the board's and STATE/mtdN.bad); which image block
// programmed it comes from replaying STATE/events.log ("program", "erase",
// "write" and "oobwrite" lines). A block whose bytes say programmed but the
// log does not name keeps no name.
//
// On a board with an "env" line the map also shows the boot loader's
// environment (STATE/uboot.env and, redundant, STATE/uboot-redund.env):
// each copy with its size, whether its CRC holds and its flag, the copy the
// boot loader reads, and from that copy the variables of the A/B update. The
// partitions of an A/B board's slots carry their slot's letter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bootenv.h"
#include "sim/sim_board.h"

namespace korvane {

enum class map_state { bad, erased, programmed, partly };

struct map_block {
  map_state state = map_state::erased;
  std::string image_block;        // the image block that programmed it ("" unknown or none)
  uint32_t units_programmed = 0;  // pages (NAND) or 512-byte units (NOR, RAM) not erased
  uint32_t units = 0;             // of the erase block
  /// What the block holds besides the image's data, drawn beside its state
  /// ("" for nothing).
  std::string role;
};

struct map_partition {
  sim_mtd mtd;
  char slot = 0;  // 'A' or 'B' for a partition of a slot, else 0
  std::vector<map_block> blocks;
};

/// What one copy of the environment is: "valid" (its CRC holds),
/// "damaged", "missing" (no file) or "erased" (every byte 0xFF).
struct map_env_copy {
  std::string file;  // its name in the state folder
  std::string state;
  uint64_t bytes = 0;  // the file's size
  int flag = -1;       // of a valid copy of a redundant environment, else -1
};

struct map_env {
  uint32_t size = 0;  // of one copy; 0: the board has no environment
  bool redundant = false;
  std::vector<map_env_copy> copies;
  int current = -1;   // the copy the boot loader reads; -1: none is valid
  bootenv_vars vars;  // of the current copy
};

struct sim_flash_map {
  std::vector<map_partition> parts;
  map_env env;
};

/// The variables of the A/B update that the map shows, in its order.
extern const char *const map_env_names[7];

/// The word of a state in the text and the SVG ("bad", "erased",
/// "programmed", "partly").
const char *map_state_name(map_state s);

/// Reads the map of the state folder for the board (missing partitions are
/// left out). A flash file that is absent or short reads as erased.
/// @return 0, or -1 with *error set when a file cannot be read.
int sim_map_read(const sim_board &board, const std::string &state_dir, sim_flash_map *map,
                 std::string *error);

/// The map as text: per partition a heading, a strip of one character per
/// erase block and one line per run of blocks alike; then, for a board with
/// an environment, its section.
std::string sim_map_text(const sim_flash_map &map);

/// The map as one self-contained SVG document.
std::string sim_map_svg(const sim_flash_map &map);

}  // namespace korvane
