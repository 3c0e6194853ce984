// SPDX-License-Identifier: MIT
// korvane-sim: runs the korvane driver against a simulated board.
//
//   korvane-sim [--board FILE] [--state DIR] [--] KORVANE-ARGUMENTS
//   korvane-sim --help | --version
//
// The board comes from FILE (or the built-in board), its flash contents,
// control files and event log live in DIR (default ./korvane-sim-state).
// What korvane-sim says of its own goes to standard error, so standard
// output is exactly what korvane prints.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "sim/sim.h"
#include "sim/sim_board.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace {

constexpr const char *DEFAULT_STATE = "korvane-sim-state";

constexpr const char *USAGE =
    "usage: korvane-sim [--board FILE] [--state DIR] [--] KORVANE-ARGUMENTS\n"
    "  --board FILE  board description (default: the built-in board)\n"
    "  --state DIR   flash contents, control files and events.log (default: ./korvane-sim-state)\n";

int usage_error(const std::string &what) {
  std::fprintf(stderr, "korvane-sim: %s\n%s", what.c_str(), USAGE);
  return 2;
}

// Takes "--name VALUE" or "--name=VALUE" at argv[*i]. @return 1 when it
// matched, 0 when not, -1 when the value is missing.
int take_value(int argc, char **argv, int *i, const char *name, std::string *value) {
  const char *arg = argv[*i];
  size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0) return 0;
  if (arg[n] == '=') {
    *value = arg + n + 1;
    return 1;
  }
  if (arg[n] != '\0') return 0;
  if (*i + 1 >= argc) return -1;
  *value = argv[++*i];
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::string board_file, state = DEFAULT_STATE;
  bool have_board = false;
  int i = 1;
  for (; i < argc; i++) {
    const char *arg = argv[i];
    if (std::strcmp(arg, "--") == 0) {
      i++;
      break;
    }
    if (std::strcmp(arg, "--help") == 0) {
      std::fputs(USAGE, stderr);
      return 0;
    }
    if (std::strcmp(arg, "--version") == 0) {  // korvane's own: korvane-sim -- --version
      std::printf("korvane-sim %s\n", KORVANE_VERSION);
      return 0;
    }
    int r = take_value(argc, argv, &i, "--board", &board_file);
    if (r > 0) {
      have_board = true;
      continue;
    }
    if (r == 0) r = take_value(argc, argv, &i, "--state", &state);
    if (r < 0) return usage_error(std::string(arg) + " needs a value");
    if (r == 0) break;  // the first argument that is not ours starts korvane's
  }
  if (state.empty()) return usage_error("--state needs a folder");

  korvane::sim_board board;
  std::string error;
  int parsed = have_board ? korvane::sim_board_load(board_file, &board, &error)
                          : korvane::sim_board_parse(korvane::sim_default_board_text,
                                                     "built-in board", &board, &error);
  if (parsed != 0 || korvane::sim_start(board, state, &error) != 0) {
    std::fprintf(stderr, "korvane-sim: %s\n", error.c_str());
    return 2;
  }

  std::vector<char *> args;
  static char program[] = "korvane";
  args.push_back(program);
  for (; i < argc; i++) args.push_back(argv[i]);
  args.push_back(nullptr);
  int status = korvane::korvane_main(static_cast<int>(args.size()) - 1, args.data());
  korvane::sim_stop();
  return status;
}
