// SPDX-License-Identifier: MIT
// `korvane --preflight -e` over valid images damaged by a program of edits
// (tests/support/image_mutation.h: flips, cuts, header and stream-header
// edits, every checksum computed again), so that the damage gets past the
// CRCs a random input rarely gets past. For every image: the preflight
// refuses with nothing changed on the board, or the install that follows on
// the same descriptor succeeds.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "install/execute.h"
#include "install/preflight.h"
#include "rom/walk.h"
#include "sim/sim.h"
#include "sim/sim_board.h"
#include "tests/support/image_mutation.h"

using namespace korvane;

namespace {

std::string *events_path;

bool changes_in(const std::string &events) {
  for (const char *word : {"erase ", "write ", "oobwrite ", "markbad "}) {
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
  if (sim_board_parse(mutation::BOARD, "board", &board, &error) != 0 ||
      sim_start(board, state, &error) != 0)
    fuzz::check_failed(__FILE__, __LINE__, error.c_str());
  events_path = new std::string(state + "/events.log");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string image = fuzz::scratch() + "/image";
  const std::string bytes = mutation::mutate(data, size);
  fuzz::write_input(image, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  FUZZ_CHECK(truncate(events_path->c_str(), 0) == 0);
  const int fds = fuzz::open_fds();
  {
    rom_walk w;
    if (rom_walk_open(&w, image.c_str(), O_RDONLY) >= 0) {
      install_settings s;
      s.block_align = size > 0 && (data[0] & 0x80);
      int r = preflight_check(&w, s);
      FUZZ_CHECK(r == 0 || r == -14);
      if (r != 0) FUZZ_CHECK(!changes_in(read_all(*events_path)));
      if (r == 0) FUZZ_CHECK(rom_execute_walk(&w, s) == 0);
    }
  }
  FUZZ_CHECK(fuzz::open_fds() == fds);
  return 0;
}
