// SPDX-License-Identifier: MIT
// korvane-sim: runs the korvane driver against a simulated board.
//
//   korvane-sim [--board FILE] [--state DIR] [--count-ops] [--flash-time]
//               [--cut-at N [--cut-seed S]]
//               [--] KORVANE-ARGUMENTS
//   korvane-sim [--board FILE] [--state DIR] [--count-ops] [--cut-at N [--cut-seed S]]
//               --boot | --boot-fail
//   korvane-sim sweep --board FILE --config FILE --image FILE [...]
//   korvane-sim --help | --version
//
// The board comes from FILE (or the built-in board), its flash contents,
// control files and event log live in DIR (default ./korvane-sim-state).
// What korvane-sim says of its own goes to standard error, so standard
// output is exactly what korvane prints (its --help and --version aside).
// Each run starts with its mark in events.log.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "cli/settings.h"
#include "sim/sim.h"
#include "sim/sim_board.h"
#include "sim/sim_boot.h"
#include "sim/sim_mtd.h"
#include "sim/sim_power.h"
#include "sim/sim_time.h"
#include "tools/korvane_sim_map.h"
#include "tools/korvane_sim_sweep.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace {

constexpr const char *DEFAULT_STATE = "korvane-sim-state";

constexpr const char *USAGE =
    "usage: korvane-sim [--board FILE] [--state DIR] [--] KORVANE-ARGUMENTS\n"
    "       korvane-sim [--board FILE] [--state DIR] --boot | --boot-fail\n"
    "  --board FILE  board description (default: the built-in board)\n"
    "  --state DIR   flash contents, control files and events.log (default: ./korvane-sim-state)\n";

constexpr const char *HELP_MORE =
    "  --count-ops   print the number of flash-changing operations at the end of the run\n"
    "  --flash-time  print the modelled flash time and the CPU time at the end of the run\n"
    "  --cut-at N    cut power at the Nth flash-changing operation: it is left torn and\n"
    "                the run ends at once with exit status 3\n"
    "  --cut-seed S  the seed of the torn pattern (default 0)\n"
    "  --boot        power the board on: the boot loader and its script choose\n"
    "                a slot and boot it (a board with slots)\n"
    "  --boot-fail   the same, but the system booted never comes up\n"
    "  --help        show this help (korvane's own: korvane-sim -- --help)\n"
    "  --version     show korvane-sim's version (korvane's own: korvane-sim -- --version)\n"
    "\n"
    "Runs korvane with KORVANE-ARGUMENTS against a simulated board: /dev/mtdN and\n"
    "the /proc control files come from the board file and the state folder,\n"
    "signals, syncs and sleeps are recorded in DIR/events.log. Every argument\n"
    "before -- is korvane-sim's own; without --, korvane's arguments start at\n"
    "the first one that is not.\n"
    "Standard output is korvane's alone; korvane-sim's own errors go to\n"
    "standard error. Exit status: korvane's, or 2 for a mistake in korvane-sim's\n"
    "options or board file (no state folder is made then).\n"
    "\n"
    "korvane-sim map draws the state folder's flash (korvane-sim map --help).\n"
    "korvane-sim sweep cuts the power at every flash operation of an update and\n"
    "of the boots after it (korvane-sim sweep --help).\n"
    "\n"
    "--boot and --boot-fail print one \"boot:\" line to standard error and exit 0\n"
    "when the system came up, 1 when it did not, 2 when the board cannot boot.\n"
    "With --count-ops, --cut-at and --cut-seed they count and cut their\n"
    "environment stores.\n";

int usage_error(const std::string &what) {
  std::fprintf(stderr, "korvane-sim: %s\n%s", what.c_str(), USAGE);
  return 2;
}

// A decimal number of up to 64 bits, nothing else. @return whether it was.
bool parse_u64(const std::string &text, uint64_t *value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

// The count of flash-changing operations, once, at the end of the run:
// from main, or from exit() where korvane ends the process itself (the
// board's reset).
bool count_wanted = false;
void report_count() {
  if (!count_wanted || korvane::sim_state_dir().empty()) return;
  count_wanted = false;
  const auto n = static_cast<unsigned long long>(korvane::sim_power_count());
  korvane::sim_log("flash-operations %llu", n);
  std::fprintf(stderr, "korvane-sim: flash operations: %llu\n", n);
}

// The flash time model's figures, once, at the end of the run, as the
// count is.
bool time_wanted = false;
void report_time() {
  if (!time_wanted || korvane::sim_state_dir().empty()) return;
  time_wanted = false;
  const korvane::sim_time_totals t = korvane::sim_time_result();
  korvane::sim_log("flash-time %s", korvane::sim_time_line(t).c_str());
  auto s = [](uint64_t ns) { return static_cast<double>(ns) / 1e9; };
  std::fprintf(stderr,
               "korvane-sim: flash time: total %.6f s, flash busy %.6f s, cpu %.6f s, "
               "waiting %.6f s, erases %llu, programs %llu, reads %llu\n",
               s(t.total_ns), s(t.busy_ns), s(t.cpu_ns), s(t.wait_ns),
               static_cast<unsigned long long>(t.erases),
               static_cast<unsigned long long>(t.programs),
               static_cast<unsigned long long>(t.reads));
}

void report_end() {
  report_count();
  report_time();
}

// Whether korvane's own parser refuses its command line (a usage error,
// exit status 2), so that the state folder is made only for a command line
// that korvane takes. The parser is asked with its output thrown away and
// over a copy of the arguments, which getopt reorders.
bool korvane_refuses(const std::vector<char *> &args) {
  std::vector<char *> copy = args;
  std::fflush(nullptr);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  int out = dup(STDOUT_FILENO), err = dup(STDERR_FILENO);
  bool silenced = null_fd >= 0 && out >= 0 && err >= 0 && dup2(null_fd, STDOUT_FILENO) >= 0 &&
                  dup2(null_fd, STDERR_FILENO) >= 0;
  bool refused = false;
  if (silenced) {
    korvane::rom_options scanned;
    int status = 0;
    refused = !korvane::rom_opts_scan(static_cast<int>(copy.size()) - 1, copy.data(), &scanned,
                                      &status) &&
              status == korvane::EXIT_USAGE;
    std::fflush(nullptr);
  }
  // Then korvane itself says what is wrong, to the real streams.
  if (out >= 0) dup2(out, STDOUT_FILENO);
  if (err >= 0) dup2(err, STDERR_FILENO);
  for (int fd : {null_fd, out, err})
    if (fd >= 0) close(fd);
  return refused;
}

}  // namespace

int main(int argc, char **argv) {
  // Subcommands come first; anything else runs korvane.
  if (argc > 1 && std::strcmp(argv[1], "map") == 0) return korvane_sim_map(argc - 1, argv + 1);
  if (argc > 1 && std::strcmp(argv[1], "sweep") == 0) return korvane_sim_sweep(argc - 1, argv + 1);
  std::string board_file, state = DEFAULT_STATE;
  bool have_board = false;
  uint64_t cut_at = 0, cut_seed = 0;
  int boot = 0;      // 1: --boot, 2: --boot-fail
  int dashdash = 0;  // where "--" stands, if anywhere
  for (int j = 1; j < argc && !dashdash; j++) {
    if (std::strcmp(argv[j], "--") == 0) dashdash = j;
  }
  int i = 1;
  for (; i < argc; i++) {
    const char *arg = argv[i];
    if (std::strcmp(arg, "--") == 0) {
      i++;
      break;
    }
    if (std::strcmp(arg, "--help") == 0) {  // asked for: standard output, as --version
      std::fputs(USAGE, stdout);
      std::fputs(HELP_MORE, stdout);
      return 0;
    }
    if (std::strcmp(arg, "--version") == 0) {  // korvane's own: korvane-sim -- --version
      std::printf("korvane-sim %s\n", KORVANE_VERSION);
      return 0;
    }
    if (std::strcmp(arg, "--count-ops") == 0) {
      count_wanted = true;
      continue;
    }
    if (std::strcmp(arg, "--flash-time") == 0) {
      time_wanted = true;
      continue;
    }
    std::string number;
    int cut = sim_take_value(argc, argv, &i, "--cut-at", &number);
    if (cut > 0) {
      if (!parse_u64(number, &cut_at) || cut_at == 0)
        return usage_error("--cut-at takes a number of 1 or more, not '" + number + "'");
      continue;
    }
    if (cut == 0 && (cut = sim_take_value(argc, argv, &i, "--cut-seed", &number)) > 0) {
      if (!parse_u64(number, &cut_seed))
        return usage_error("--cut-seed takes a number, not '" + number + "'");
      continue;
    }
    if (cut < 0) return usage_error(std::string(arg) + " needs a value");
    if (std::strcmp(arg, "--boot") == 0 || std::strcmp(arg, "--boot-fail") == 0) {
      if (boot) return usage_error("give --boot or --boot-fail once");
      boot = arg[6] ? 2 : 1;
      continue;
    }
    int r = sim_take_value(argc, argv, &i, "--board", &board_file);
    if (r > 0) {
      have_board = true;
      continue;
    }
    if (r == 0) r = sim_take_value(argc, argv, &i, "--state", &state);
    if (r < 0) return usage_error(std::string(arg) + " needs a value");
    if (r > 0) continue;
    // Not ours. Before "--" every argument is korvane-sim's; without "--"
    // korvane's arguments start here, unless it is a long option that
    // korvane does not know either (a mistyped --board, say).
    if (dashdash || (std::strncmp(arg, "--", 2) == 0 && !korvane::rom_opts_long_option(arg)))
      return usage_error(std::string("unknown option '") + arg +
                         "' (korvane's arguments go after --)");
    break;
  }
  if (state.empty()) return usage_error("--state needs a folder");

  korvane::sim_board board;
  std::string error;
  int parsed = have_board ? korvane::sim_board_load(board_file, &board, &error)
                          : korvane::sim_board_parse(korvane::sim_default_board_text,
                                                     "built-in board", &board, &error);
  if (parsed != 0) {
    std::fprintf(stderr, "korvane-sim: %s\n", error.c_str());
    return 2;
  }

  if (boot) {
    if (i < argc)
      return usage_error("--boot and --boot-fail run no korvane; drop the korvane arguments");
    if (board.slots.empty())
      return usage_error("--boot needs a board with slots (slot and env lines)");
    if (korvane::sim_start(board, state, &error) != 0) {
      std::fprintf(stderr, "korvane-sim: %s\n", error.c_str());
      return 2;
    }
    // The boot step's stores are flash operations like korvane's: counted,
    // and cut as --cut-at says.
    if (cut_at > 0) count_wanted = true;
    korvane::sim_power_arm(cut_at, cut_seed);
    int status = korvane::sim_boot(boot == 2, stderr);
    report_count();
    korvane::sim_stop();
    return status;
  }

  std::vector<char *> args;
  static char program[] = "korvane";
  args.push_back(program);
  for (; i < argc; i++) args.push_back(argv[i]);
  args.push_back(nullptr);
  int count = static_cast<int>(args.size()) - 1;
  // A command line that korvane refuses ends with its usage text and status
  // 2, as korvane's would, before any state is made.
  if (korvane_refuses(args)) return korvane::korvane_main(count, args.data());

  if (korvane::sim_start(board, state, &error) != 0) {
    std::fprintf(stderr, "korvane-sim: %s\n", error.c_str());
    return 2;
  }
  korvane::sim_mark_run({args.begin(), args.begin() + count});
  if (cut_at > 0) count_wanted = true;  // a run that ends before the cut says how far it got
  korvane::sim_power_arm(cut_at, cut_seed);
  std::atexit(report_end);
  // With korvane -h the parent ends at once and the child does the work:
  // the child's count and time are the run's. The child's CPU clock starts
  // afresh.
  pthread_atfork(
      nullptr, [] { count_wanted = time_wanted = false; },
      [] { korvane::sim_time_clock(nullptr); });
  int status = korvane::korvane_main(count, args.data());
  report_end();
  korvane::sim_stop();
  return status;
}

int sim_take_value(int argc, char **argv, int *i, const char *name, std::string *value) {
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
