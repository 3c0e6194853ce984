// SPDX-License-Identifier: MIT
// What an install does, as the command line asks it. The driver (cli/)
// reads its options once and hands this record down as a const reference;
// nothing in install/ reads the global settings. The defaults are those of
// "korvane -e IMAGE" without other options, so a test or a benchmark sets
// only what it means: install_settings s{.verbose = true, .ids = {3, 5}}.
// A new option of the install is a new field here, set by the driver.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

/// Told of every chunk programmed (bytes as handed to the writer).
struct install_progress {
  void (*written)(void *ctx, uint32_t bytes) = nullptr;
  void *ctx = nullptr;
};

struct install_settings {
  uint32_t flags = 0;         // -f: the flag word; only its verify kind is read
  bool verify = true;         // -v (always on): payloads with a verify kind are checked for display
  bool verbose = false;       // -V: every step
  bool skip_bad = false;      // -s: a failed block does not end the walk
  bool simulate = false;      // -m: data into fake-mtdN-NAME files, no erase
  bool discard = false;       // -z: decode and chunk, never erase or write
  bool block_align = false;   // -a block-align (else page-align): the last chunk's alignment
  uint8_t pad = 0xFF;         // -a pad=0xNN: the byte that pads the last chunk
  std::vector<int> ids = {};  // -o: the MTD numbers to program; empty: every block
  // The options added since the first release (long only).
  bool preflight = false;                       // --preflight: check image and board first
  std::optional<std::string> device_name = {};  // --device: the rom header's device name
  std::optional<uint32_t> device_id = {};       // --device-id: the rom header's device id
  bool read_back = false;                       // --read-back: compare each programmed block
  bool skip_unchanged = false;                  // --skip-unchanged: leave equal partitions alone
  bool mark_bad = false;                        // --mark-bad: mark NAND blocks failing with EIO
  // The update into a slot: block id -> the MTD number its block goes to.
  // Empty: every block goes to /dev/mtd<its id>.
  std::map<int, int> partitions = {};
  // Told of each chunk programmed where the read-back or --mark-bad hook
  // is set (the update's progress bar).
  install_progress progress = {};
  // Set by the update, not by an option of -e: on NOR, leave erase blocks
  // that read erased unerased and write units of 0xFF unwritten. The flash
  // ends byte for byte the same; the operations on it differ.
  bool skip_erased = false;
};

}  // namespace korvane
