// SPDX-License-Identifier: MIT
// korvane-mkrom: builds, lists, extracts and checks rom images on a PC.
// Each subcommand lives in a file of its own (mkrom_create.cc, mkrom_add.cc,
// mkrom_list.cc, mkrom_extract.cc, mkrom_check.cc, mkrom_keygen.cc,
// mkrom_sign.cc, mkrom_verify.cc) with a parse function,
// which fills the request and returns instead of ending the process, and a
// run function. mkrom.cc holds the table of subcommands and the dispatch;
// mkrom_common.cc the shared helpers.
//
// Standard output carries what a command produces (the block summary of
// add and block, the listing); everything korvane-mkrom says about a
// failure goes to standard error. Exit status: 0 done, 1 failed, 2
// command-line error.
#pragma once

#include <getopt.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rom/build.h"

namespace korvane::mkrom {

inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_CMDLINE = 2;
/// parse results: go on and run the command.
inline constexpr int GO_ON = -1;

inline constexpr const char *PROG = "korvane-mkrom";

struct create_args {
  std::string image;
  uint32_t dev_id = 0, flags = 0;
  std::string dev_name, oem, version;
};

struct block_args {  // add and block
  blk_desc desc;
  uint64_t offset = 0;
  std::string first;  // IMAGE or OUT
  std::string file;   // the input; "-" is standard input
  bool allow_same_id = false;
};

struct list_args {
  std::string image;
  bool json = false;
};

struct extract_args {
  std::string image, out;
  uint32_t index = 0;
  bool decode = false, header = false;
};

struct check_args {
  std::string image, board;
  bool block_align = false;
  bool json = false;  // --json: one JSON document on standard output
};

struct key_args {  // keygen, sign, verify
  std::string image, secret;
  std::vector<std::string> public_keys;
};

struct command;

/// A parsed command line.
struct request {
  const command *cmd = nullptr;
  std::string self;  // "korvane-mkrom add": the prefix of every message
  create_args create;
  block_args block;
  list_args list;
  extract_args extract;
  check_args check;
  key_args keys;
};

struct command {
  const char *name;
  const char *help;  // one line for the command list; `COMMAND --help` says more
  /// Parses the arguments after the command word (argv[0] is the word).
  /// @return GO_ON, or the exit status (help printed: 0; a mistake: 2).
  int (*parse)(request *req, int argc, char **argv);
  int (*run)(const request &req);
};

/// The whole command line, as main() receives it, into *req without running
/// anything or ending the process (a fuzz target can call it).
/// @return GO_ON, or the exit status with the help, version or error printed.
int parse(int argc, char **argv, request *req);

/// The program: parse, then run. @return the exit status.
int main(int argc, char **argv);

// ---- the subcommands ------------------------------------------------------

int parse_create(request *req, int argc, char **argv);
int run_create(const request &req);
int parse_add(request *req, int argc, char **argv);
int run_add(const request &req);
int parse_block(request *req, int argc, char **argv);
int run_block(const request &req);
int parse_list(request *req, int argc, char **argv);
int run_list(const request &req);
int parse_extract(request *req, int argc, char **argv);
int run_extract(const request &req);
int parse_check(request *req, int argc, char **argv);
int run_check(const request &req);
int parse_keygen(request *req, int argc, char **argv);
int run_keygen(const request &req);
int parse_sign(request *req, int argc, char **argv);
int run_sign(const request &req);
int parse_verify(request *req, int argc, char **argv);
int run_verify(const request &req);

// ---- shared helpers (mkrom_common.cc) ---------------------------------------

/// A command-line error: "SELF: message", a pointer to the help; status 2.
int cmdline_error(const std::string &self, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

/// A failure: "SELF: message" on standard error; status 1.
int failed(const std::string &self, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/// Decimal, or hexadecimal after "0x"; nothing else.
bool parse_number(const char *text, uint64_t max, uint64_t *value);

/// Runs getopt_long over a command's arguments; the positional arguments
/// are left in *args. on_option(c, optarg) returns GO_ON or an exit status.
/// @return GO_ON, or the exit status (usage printed for -h/--help).
template <typename F>
int parse_options(const std::string &self, int argc, char **argv, const char *shorts,
                  const option *longs, const std::string &usage, std::vector<std::string> *args,
                  F on_option) {
  std::string name = self;
  std::vector<char *> av(argv, argv + argc);
  av[0] = name.data();  // getopt's own messages name the command
  av.push_back(nullptr);
  optind = 0;  // a fresh scan
  opterr = 1;
  for (;;) {
    int c = getopt_long(argc, av.data(), shorts, longs, nullptr);
    if (c == -1) break;
    if (c == 'h') {
      std::fputs(usage.c_str(), stdout);
      return EXIT_DONE;
    }
    if (c == '?' || c == ':') {
      std::fprintf(stderr, "Try '%s --help'.\n", self.c_str());
      return EXIT_CMDLINE;
    }
    int status = on_option(c, optarg);
    if (status != GO_ON) return status;
  }
  args->assign(av.begin() + optind, av.begin() + argc);
  return GO_ON;
}

/// parse_options for a command whose only option is -h/--help.
inline int parse_help_only(const std::string &self, int argc, char **argv, const std::string &usage,
                           std::vector<std::string> *args) {
  static const option longs[] = {
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  return parse_options(self, argc, argv, "h", longs, usage, args,
                       [](int, const char *) { return GO_ON; });
}

/// Collects what the library reports (report()) while it lives, so that a
/// failure can be said in one line; restores the stream when it goes.
class captured_report {
 public:
  captured_report();
  ~captured_report();
  captured_report(const captured_report &) = delete;
  captured_report &operator=(const captured_report &) = delete;
  /// Stops collecting. @return the lines, joined by "; ", without the final newline.
  std::string take();

 private:
  char *buf_ = nullptr;
  size_t len_ = 0;
  FILE *mem_ = nullptr;
  FILE *before_ = nullptr;
};

/// A progress line on standard error, shown only when it is a terminal and
/// the work is large; redrawn a few times a second by a thread of its own
/// and cleared when the step ends. Nothing is printed otherwise.
class progress_line {
 public:
  /// Work from this many bytes on is large.
  static constexpr uint64_t LARGE = 4 << 20;

  explicit progress_line(const std::string &self) : self_(self) {}
  ~progress_line() { end(); }
  progress_line(const progress_line &) = delete;
  progress_line &operator=(const progress_line &) = delete;

  /// Starts a step: "SELF: WHAT 42 %" (or the seconds spent when total is
  /// 0, for work whose end is not known). large: whether to show it at all.
  void begin(const std::string &what, uint64_t total, bool large);
  void set(uint64_t done) { done_ = done; }
  /// For staged_progress and the like.
  static void step(void *ctx, uint64_t done, uint64_t total);
  void end();

 private:
  void draw();
  std::string self_, what_;
  std::atomic<uint64_t> total_{0};
  std::atomic<uint64_t> done_{0};
  std::thread ticker_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
};

/// The words of the block options, for messages and help.
extern const char TYPE_WORDS[];
extern const char CYPHER_WORDS[];
extern const char FLAG_WORDS[];

}  // namespace korvane::mkrom
