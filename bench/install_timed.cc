// SPDX-License-Identifier: MIT
// Runs korvane's execute walk on the simulated board with the flash time
// model, for the flash time figures of scripts/bench.sh:
//   korvane_install_timed BOARD_FILE STATE_DIR IMAGE [skip-erased]
// The state folder is kept between runs, so a run installs over what the
// one before left. "skip-erased" sets the switch the update sets (leave
// NOR blocks that read erased and units of 0xFF alone), which no option
// of korvane -e reaches. Prints one line on standard output:
//   total-ns T busy-ns B cpu-ns C wait-ns W erases E programs P reads R status S
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "install/execute.h"
#include "sim/sim.h"
#include "sim/sim_board.h"
#include "sim/sim_time.h"

int main(int argc, char **argv) {
  const bool skip = argc == 5 && std::strcmp(argv[4], "skip-erased") == 0;
  if (argc != 4 && !skip) {
    std::fprintf(stderr, "usage: %s BOARD_FILE STATE_DIR IMAGE [skip-erased]\n", argv[0]);
    return 2;
  }
  korvane::sim_board board;
  std::string error;
  if (korvane::sim_board_load(argv[1], &board, &error) != 0 ||
      korvane::sim_start(board, argv[2], &error) != 0) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  korvane::install_settings s;
  s.skip_erased = skip;
  // The install's own lines go to standard error, so that standard output
  // holds the figures alone.
  std::fflush(stdout);
  const int out = dup(1);
  dup2(2, 1);
  const int r = korvane::rom_execute(argv[3], s);
  std::fflush(stdout);
  dup2(out, 1);
  const korvane::sim_time_totals t = korvane::sim_time_result();
  korvane::sim_stop();
  std::printf("%s status %d\n", korvane::sim_time_line(t).c_str(), r);
  return r < 0 ? 1 : 0;
}
