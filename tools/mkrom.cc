// SPDX-License-Identifier: MIT
// korvane-mkrom: the table of subcommands and the dispatch.
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "rom/output.h"
#include "rom/staged.h"
#include "tools/mkrom.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace korvane::mkrom {
namespace {

const command commands[] = {
    {"create", "create a rom image holding only its header", parse_create, run_create},
    {"add", "append a block built from a file to a rom image", parse_add, run_add},
    {"block", "write a single block file built from a file", parse_block, run_block},
    {"list", "list the rom header and every block (--json for scripts)", parse_list, run_list},
    {"extract", "write one block to a file, as stored or decoded", parse_extract, run_extract},
    {"check", "check an image against a board file before it leaves the PC", parse_check,
     run_check},
    {"keygen", "write a new key pair for signing images", parse_keygen, run_keygen},
    {"sign", "sign a rom image: append its signature block", parse_sign, run_sign},
    {"verify", "check a signed image against public keys", parse_verify, run_verify},
};

void print_usage(FILE *to) {
  std::fprintf(to,
               "Usage: %s COMMAND ARGS...\n"
               "Builds rom images and block files for korvane.\n"
               "\n"
               "Commands:\n",
               PROG);
  for (const command &c : commands) std::fprintf(to, "  %-8s %s\n", c.name, c.help);
  std::fprintf(to,
               "\n"
               "  %s COMMAND --help   help on one command (or: %s help COMMAND)\n"
               "  %s --version        show the version\n"
               "Exit status: 0 done, 1 failed (check: a problem found), 2 command-line error.\n",
               PROG, PROG, PROG);
}

const command *find_command(const char *word) {
  for (const command &c : commands) {
    if (std::strcmp(word, c.name) == 0) return &c;
  }
  return nullptr;
}

int unknown_command(const char *word) {
  std::fprintf(stderr, "%s: unknown command '%s'\nTry '%s --help'.\n", PROG, word, PROG);
  return EXIT_CMDLINE;
}

// "help COMMAND": that command's help, as "COMMAND --help" prints it.
int help_on(int argc, char **argv) {
  if (argc > 1) {
    std::fprintf(stderr, "%s help: too many arguments (one command)\nTry '%s --help'.\n", PROG,
                 PROG);
    return EXIT_CMDLINE;
  }
  const command *c = find_command(argv[0]);
  if (!c) return unknown_command(argv[0]);
  request req;
  req.self = std::string(PROG) + " " + c->name;
  char help[] = "--help";
  char *args[] = {argv[0], help, nullptr};
  int status = c->parse(&req, 2, args);
  return status == GO_ON ? EXIT_CMDLINE : status;  // every command takes --help
}

}  // namespace

int parse(int argc, char **argv, request *req) {
  if (argc < 2) {
    print_usage(stderr);
    return EXIT_CMDLINE;
  }
  const char *word = argv[1];
  if (std::strcmp(word, "help") == 0 && argc > 2) return help_on(argc - 2, argv + 2);
  if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0 ||
      std::strcmp(word, "help") == 0) {
    print_usage(stdout);
    return EXIT_DONE;
  }
  if (std::strcmp(word, "--version") == 0) {
    std::printf("%s %s\n", PROG, KORVANE_VERSION);
    return EXIT_DONE;
  }
  if (const command *c = find_command(word)) {
    req->cmd = c;
    req->self = std::string(PROG) + " " + c->name;
    return c->parse(req, argc - 1, argv + 1);
  }
  return unknown_command(word);
}

int main(int argc, char **argv) {
  // The library's messages are about failures: they go with korvane-mkrom's
  // own to standard error. A write past the file-size limit fails with EFBIG
  // (and is taken back) instead of killing the process halfway.
  report_to(stderr);
  signal(SIGXFSZ, SIG_IGN);
  staged_remove_on_signals();
  request req;
  int status = parse(argc, argv, &req);
  if (status != GO_ON) return status;
  return req.cmd->run(req);
}

}  // namespace korvane::mkrom
