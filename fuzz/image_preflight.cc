// SPDX-License-Identifier: MIT
// The preflight of `korvane --preflight -e` over any bytes as a rom image or
// block file, on a small simulated board. The walk ends on every input and
// hands back every descriptor; the preflight changes nothing on the board
// (its event log gains no erase or write); and an image it passes installs:
// rom_execute then succeeds on the same descriptor, so a verdict of ok is
// never wrong about what the install will do.
#include <unistd.h>

#include <fcntl.h>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "install/execute.h"
#include "install/preflight.h"
#include "rom/walk.h"
#include "sim/sim.h"
#include "sim/sim_board.h"

using namespace korvane;

namespace {

// Small partitions, so that an image that passes installs fast: a NAND with
// a bad block, a NOR, and a small-page NAND; the ids of the seeds are 0 to 5.
constexpr const char *BOARD =
    "mtd0 nand size=512K erase=128K page=2048 oob=64 bad=1\n"
    "mtd1 nor size=64K erase=16K\n"
    "mtd2 nand size=64K erase=16K page=512 oob=16\n"
    "mtd4 nand size=256K erase=16K page=256 oob=8 bad=3\n";

std::string *events_path;

bool changes_in(const std::string &events) {
  for (const char *word : {"erase ", "write ", "oobwrite "}) {
    if (events.rfind(word, 0) == 0 || events.find(std::string("\n") + word) != std::string::npos)
      return true;
  }
  return false;
}

std::string read_all(const std::string &path) {
  std::string s;
  int fd = open(path.c_str(), O_RDONLY);
  char buf[4096];
  for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
    s.append(buf, static_cast<size_t>(n));
  if (fd >= 0) close(fd);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_stdout();
  sim_board board;
  std::string error;
  const std::string state = fuzz::scratch() + "/board";
  if (sim_board_parse(BOARD, "board", &board, &error) != 0 || sim_start(board, state, &error) != 0)
    fuzz::check_failed(__FILE__, __LINE__, error.c_str());
  events_path = new std::string(state + "/events.log");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string image = fuzz::scratch() + "/image";
  fuzz::write_input(image, data, size);
  FUZZ_CHECK(truncate(events_path->c_str(), 0) == 0);  // one run's events at a time
  const int fds = fuzz::open_fds();
  {
    rom_walk w;
    if (rom_walk_open(&w, image.c_str(), O_RDONLY) >= 0) {
      const install_settings s;
      int r = preflight_check(&w, s);
      FUZZ_CHECK(r == 0 || r == -14);
      FUZZ_CHECK(!changes_in(read_all(*events_path)));
      if (r == 0) FUZZ_CHECK(rom_execute_walk(&w, s) == 0);
    }
  }
  FUZZ_CHECK(fuzz::open_fds() == fds);
  return 0;
}
