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
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_board.h"

namespace korvane {

enum class map_state { bad, erased, programmed, partly };

struct map_block {
  map_state state = map_state::erased;
  std::string image_block;        // the image block that programmed it ("" unknown or none)
  uint32_t units_programmed = 0;  // pages (NAND) or 512-byte units (NOR, RAM) not erased
  uint32_t units = 0;             // of the erase block
  /// What the block holds besides the image's data, drawn beside its state
  /// ("" for nothing). The boot environment's copies are to be marked here.
  std::string role;
};

struct map_partition {
  sim_mtd mtd;
  std::vector<map_block> blocks;
};

struct sim_flash_map {
  std::vector<map_partition> parts;
};

/// The word of a state in the text and the SVG ("bad", "erased",
/// "programmed", "partly").
const char *map_state_name(map_state s);

/// Reads the map of the state folder for the board (missing partitions are
/// left out). A flash file that is absent or short reads as erased.
/// @return 0, or -1 with *error set when a file cannot be read.
int sim_map_read(const sim_board &board, const std::string &state_dir, sim_flash_map *map,
                 std::string *error);

/// The map as text: per partition a heading, a strip of one character per
/// erase block and one line per run of blocks alike.
std::string sim_map_text(const sim_flash_map &map);

/// The map as one self-contained SVG document.
std::string sim_map_svg(const sim_flash_map &map);

}  // namespace korvane
