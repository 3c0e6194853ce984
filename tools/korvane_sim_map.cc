// SPDX-License-Identifier: MIT
// korvane-sim map: draws the flash of a state folder, as text on standard
// output and, with --svg, as an SVG picture in a file.
#include "tools/korvane_sim_map.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/sim_board.h"
#include "sim/sim_map.h"

namespace {

constexpr const char *MAP_USAGE =
    "usage: korvane-sim map [--board FILE] [--state DIR] [--svg FILE]\n"
    "  --board FILE  the board the state folder was made with (default: the built-in board)\n"
    "  --state DIR   the state folder (default: ./korvane-sim-state)\n"
    "  --svg FILE    also draw the map as an SVG picture into FILE\n";

constexpr const char *MAP_HELP_MORE =
    "  --help        show this help\n"
    "\n"
    "Prints, for each partition of the board, its erase blocks in order: bad,\n"
    "erased, programmed (with the image block that programmed it, by the state\n"
    "folder's events.log) or partly programmed (with how many pages are). The\n"
    "state folder is only read. Exit status: 0, 1 when the state folder or the\n"
    "SVG file cannot be used, 2 for a mistake in the options or the board file.\n";

int map_usage_error(const std::string &what) {
  std::fprintf(stderr, "korvane-sim map: %s\n%s", what.c_str(), MAP_USAGE);
  return 2;
}

// Writes the file whole or not at all: into FILE.tmp-PID, then renamed.
bool write_whole(const std::string &path, const std::string &text, std::string *error) {
  const std::string tmp = path + ".tmp-" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      *error = path + ": cannot be written: " + std::strerror(errno);
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = path + ": cannot be written: " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int korvane_sim_map(int argc, char **argv) {
  std::string board_file, state = "korvane-sim-state", svg;
  bool have_board = false;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(MAP_USAGE, stdout);
      std::fputs(MAP_HELP_MORE, stdout);
      return 0;
    }
    int r = sim_take_value(argc, argv, &i, "--board", &board_file);
    if (r > 0) {
      have_board = true;
      continue;
    }
    if (r == 0) r = sim_take_value(argc, argv, &i, "--state", &state);
    if (r == 0) r = sim_take_value(argc, argv, &i, "--svg", &svg);
    if (r < 0) return map_usage_error(std::string(argv[i]) + " needs a value");
    if (r == 0) return map_usage_error(std::string("unknown argument '") + argv[i] + "'");
  }
  if (state.empty()) return map_usage_error("--state needs a folder");

  korvane::sim_board board;
  std::string error;
  int parsed = have_board ? korvane::sim_board_load(board_file, &board, &error)
                          : korvane::sim_board_parse(korvane::sim_default_board_text,
                                                     "built-in board", &board, &error);
  if (parsed != 0) {
    std::fprintf(stderr, "korvane-sim map: %s\n", error.c_str());
    return 2;
  }
  struct stat st;
  if (stat(state.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "korvane-sim map: %s: no state folder there\n", state.c_str());
    return 1;
  }
  korvane::sim_flash_map map;
  if (korvane::sim_map_read(board, state, &map, &error) != 0) {
    std::fprintf(stderr, "korvane-sim map: %s\n", error.c_str());
    return 1;
  }
  if (!svg.empty() && !write_whole(svg, korvane::sim_map_svg(map), &error)) {
    std::fprintf(stderr, "korvane-sim map: %s\n", error.c_str());
    return 1;
  }
  std::fputs(korvane::sim_map_text(map).c_str(), stdout);
  return 0;
}
