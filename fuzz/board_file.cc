// SPDX-License-Identifier: MIT
// korvane-sim's board file: any text. A board that parses holds only
// partitions the simulated devices can serve (whole erase blocks of whole
// pages, bad blocks and OOB ranges inside the partition, each number once),
// control files under /proc, and slots of partitions it describes; a text
// that does not parse names its line.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/fuzz_support.h"
#include "sim/sim_board.h"

using namespace korvane;

// The parser makes many small allocations; with ASan's quarantine they add
// up to the RSS limit without being a leak.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  sim_board board;
  std::string error;
  if (sim_board_parse(text, "board", &board, &error) != 0) {
    FUZZ_CHECK(error.rfind("board line ", 0) == 0);
    return 0;
  }
  std::set<int> numbers;
  for (const sim_mtd &m : board.mtds) {
    FUZZ_CHECK(m.number >= 0 && m.number <= 255 && numbers.insert(m.number).second);
    FUZZ_CHECK(m.size > 0 && m.erasesize > 0 && m.writesize > 0);
    FUZZ_CHECK(m.size % m.erasesize == 0 && m.erasesize % m.writesize == 0);
    FUZZ_CHECK(m.is_nand() || (m.oobsize == 0 && m.bad.empty()));
    for (uint32_t b : m.bad) FUZZ_CHECK(b < m.size / m.erasesize);
    FUZZ_CHECK(m.oobfree.size() <= 8);
    for (const auto &[off, len] : m.oobfree) FUZZ_CHECK(uint64_t{off} + len <= m.oobsize);
  }
  // Slots: none, or A and B with an environment, each partition once.
  FUZZ_CHECK(board.slots.empty() || (board.slots.size() == 2 && board.env.size > 0));
  std::set<int> in_slots;
  for (const sim_slot &slot : board.slots) {
    for (int n : slot.mtds) FUZZ_CHECK(board.find(n) && in_slots.insert(n).second);
  }
  std::set<std::string> files;
  for (const std::string &f : board.proc_files) {
    FUZZ_CHECK(f.rfind("/proc/", 0) == 0 && files.insert(f).second);
  }
  return 0;
}
