// SPDX-License-Identifier: MIT
// korvane-mkrom: builds rom images and block files on a PC.
//
//   korvane-mkrom create IMAGE [--dev-id N] [--dev-name TEXT] [--oem TEXT] [--version TEXT] [-f
//   FLAGS] korvane-mkrom add IMAGE FILE -t TYPE -p CYPHER [block options] korvane-mkrom block OUT
//   FILE -t TYPE -p CYPHER [block options]
//
// Standard output carries what the image writer prints (the block summary
// lines and its messages); the tool's own messages go to standard error.
// Exit status: 0 done, 1 building failed, 2 command-line error.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/cypher_table.h"
#include "rom/build.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/names.h"
#include "rom/result.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace korvane {
namespace {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_CMDLINE = 2;

constexpr const char *PROG = "korvane-mkrom";

struct subcommand {
  const char *name;
  const char *help;  // one line for the command list; `COMMAND --help` says more
  int (*run)(const char *self, int argc, char **argv);
};

// A command-line error: the message, a pointer to the help, status 2.
int cmdline_error(const char *self, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int cmdline_error(const char *self, const char *fmt, ...) {
  std::fprintf(stderr, "%s: ", self);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "\nTry '%s --help'.\n", self);
  return EXIT_CMDLINE;
}

// A build that did not succeed: the writer has printed why on stdout.
int build_failed(const char *self, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int build_failed(const char *self, const char *fmt, ...) {
  std::fprintf(stderr, "%s: ", self);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  return EXIT_FAILED;
}

// Decimal, or hexadecimal after "0x"; nothing else (no sign, no blanks, no
// trailing text, nothing out of range).
bool parse_number(const char *text, uint64_t max, uint64_t *value) {
  int base = 10;
  const char *digits = text;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text + 2;
  }
  if (!*digits) return false;
  for (const char *p = digits; *p; ++p) {
    bool ok = base == 10 ? (*p >= '0' && *p <= '9') : std::isxdigit(static_cast<unsigned char>(*p));
    if (!ok) return false;
  }
  errno = 0;
  char *end = nullptr;
  unsigned long long v = std::strtoull(digits, &end, base);
  if (errno == ERANGE || *end || v > max) return false;
  *value = v;
  return true;
}

// A text for a header field: refused when longer than the field, never cut.
bool set_text(const char *self, const char *option, char *field, size_t width, const char *text,
              int *status) {
  size_t n = std::strlen(text);
  if (n > width) {
    *status = cmdline_error(self, "%s '%s' is %zu bytes long; the header field holds %zu", option,
                            text, n, width);
    return false;
  }
  set_text_field(field, width, text);
  return true;
}

const char TYPE_WORDS[] = "none, bin, tool, file, nand-raw, nand-oob, nor, script, exe";
const char CYPHER_WORDS[] =
    "none, cypher1 (c1, 7zip), cypher2 (c2, gzip), cypher3 (c3), cypher4 (c4), AES, DES";
const char FLAG_WORDS[] = "a comma-separated list of force, tool, crc, checksum";

// Option numbers of the long-only options.
enum {
  OPT_ID = 256,
  OPT_NAME,
  OPT_VERSION,
  OPT_OFFSET,
  OPT_DEV_ID,
  OPT_DEV_NAME,
  OPT_OEM,
};

// Runs getopt_long over a command's arguments; the positional arguments are
// left in *args. @return -1 to go on, or the exit status.
template <typename F>
int parse_options(const char *self, int argc, char **argv, const char *shorts, const option *longs,
                  const char *usage, std::vector<char *> *args, F on_option) {
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
      std::fputs(usage, stdout);
      return EXIT_DONE;
    }
    if (c == '?' || c == ':') {
      std::fprintf(stderr, "Try '%s --help'.\n", self);
      return EXIT_CMDLINE;
    }
    int status = on_option(c, optarg);
    if (status >= 0) return status;
  }
  args->assign(av.begin() + optind, av.begin() + argc);
  return -1;
}

// ---- create ---------------------------------------------------------------

const char CREATE_USAGE[] =
    "Usage: korvane-mkrom create IMAGE [options]\n"
    "Create (or truncate) IMAGE as a rom image holding only its header.\n"
    "\n"
    "      --dev-id N        device id (default 0)\n"
    "      --dev-name TEXT   device name, at most 16 bytes\n"
    "      --oem TEXT        OEM name, at most 16 bytes\n"
    "      --version TEXT    image version, at most 24 bytes\n"
    "  -f, --flags FLAGS     flag word: a comma-separated list of force, tool, crc, checksum\n"
    "  -h, --help            show this help\n"
    "Numbers are decimal, or hexadecimal after 0x.\n";

int run_create(const char *self, int argc, char **argv) {
  static const option longs[] = {
      {"dev-id", required_argument, nullptr, OPT_DEV_ID},
      {"dev-name", required_argument, nullptr, OPT_DEV_NAME},
      {"oem", required_argument, nullptr, OPT_OEM},
      {"version", required_argument, nullptr, OPT_VERSION},
      {"flags", required_argument, nullptr, 'f'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  rom_hdr fields{};  // only the text fields are used: they bound the lengths
  uint32_t dev_id = 0, flags = 0;
  std::vector<char *> args;
  int status = parse_options(
      self, argc, argv, "f:h", longs, CREATE_USAGE, &args, [&](int c, const char *arg) {
        int st = -1;
        uint64_t v = 0;
        switch (c) {
          case OPT_DEV_ID:
            if (!parse_number(arg, UINT32_MAX, &v))
              return cmdline_error(self, "--dev-id needs a number from 0 to 4294967295, not '%s'",
                                   arg);
            dev_id = static_cast<uint32_t>(v);
            return -1;
          case OPT_DEV_NAME:
            set_text(self, "--dev-name", fields.dev_name, sizeof fields.dev_name, arg, &st);
            return st;
          case OPT_OEM:
            set_text(self, "--oem", fields.oem_name, sizeof fields.oem_name, arg, &st);
            return st;
          case OPT_VERSION:
            set_text(self, "--version", fields.version, sizeof fields.version, arg, &st);
            return st;
          case 'f':
            if (!parse_flag_list(arg, &flags))
              return cmdline_error(self, "unknown flags '%s' (%s)", arg, FLAG_WORDS);
            return -1;
        }
        return -1;
      });
  if (status >= 0) return status;
  if (args.size() != 1)
    return cmdline_error(self, args.empty() ? "missing IMAGE" : "too many arguments");

  // The fields may be full without a NUL: hand the writer terminated copies.
  std::string dev_name = text_field(fields.dev_name);
  std::string oem = text_field(fields.oem_name);
  std::string version = text_field(fields.version);
  if (rom_create(args[0], dev_id, dev_name.c_str(), oem.c_str(), version.c_str(), flags) != 0)
    return build_failed(self, "could not create %s", args[0]);
  return EXIT_DONE;
}

// ---- block options, add and block ----------------------------------------

const char ADD_USAGE[] =
    "Usage: korvane-mkrom add IMAGE FILE -t TYPE -p CYPHER [options]\n"
    "Append one block built from FILE to the rom image IMAGE and bring the\n"
    "image's header up to date. On failure IMAGE is left as it was.\n";

const char BLOCK_USAGE[] =
    "Usage: korvane-mkrom block OUT FILE -t TYPE -p CYPHER [options]\n"
    "Write one block built from FILE to OUT as a block file. On failure OUT\n"
    "is left as it was.\n";

const char BLOCK_OPTIONS[] =
    "\n"
    "  -t, --type TYPE       block type: none, bin, tool, file, nand-raw, nand-oob, nor,\n"
    "                        script, exe\n"
    "  -p, --cypher CYPHER   payload encoding: none, cypher1 (c1, 7zip), cypher2 (c2, gzip),\n"
    "                        cypher3 (c3), cypher4 (c4); AES and DES are stored as none\n"
    "  -d, --data DATA       data kind: raw (default) or file\n"
    "  -f, --flags FLAGS     flag word: a comma-separated list of force, tool, crc, checksum\n"
    "                        (crc or checksum: how the payload is checked)\n"
    "      --id N            block id; for flash types the N of /dev/mtdN (default 0)\n"
    "      --name TEXT       block name, at most 16 bytes\n"
    "      --version TEXT    block version, at most 24 bytes\n"
    "      --offset N        build from byte N of FILE on (default 0)\n"
    "  -h, --help            show this help\n"
    "Numbers are decimal, or hexadecimal after 0x.\n"
    "The words are those korvane accepts for -t, -p, -d and -f.\n";

struct block_args {
  blk_desc desc;
  uint64_t offset = 0;
  const char *first = nullptr;  // IMAGE or OUT
  const char *file = nullptr;   // the input
};

// @return -1 to go on, or the exit status.
int parse_block_args(const char *self, int argc, char **argv, const std::string &usage,
                     const char *first, block_args *out) {
  static const option longs[] = {
      {"type", required_argument, nullptr, 't'},
      {"cypher", required_argument, nullptr, 'p'},
      {"cypher-type", required_argument, nullptr, 'p'},
      {"data", required_argument, nullptr, 'd'},
      {"data-type", required_argument, nullptr, 'd'},
      {"flags", required_argument, nullptr, 'f'},
      {"id", required_argument, nullptr, OPT_ID},
      {"name", required_argument, nullptr, OPT_NAME},
      {"version", required_argument, nullptr, OPT_VERSION},
      {"offset", required_argument, nullptr, OPT_OFFSET},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  bool have_type = false, have_cypher = false;
  blk_desc &d = out->desc;
  std::vector<char *> args;
  int status = parse_options(
      self, argc, argv, "t:p:d:f:h", longs, usage.c_str(), &args, [&](int c, const char *arg) {
        int st = -1;
        uint64_t v = 0;
        switch (c) {
          case 't':
            if (!parse_blk_type(arg, &d.type))
              return cmdline_error(self, "unknown type '%s' (one of %s)", arg, TYPE_WORDS);
            have_type = true;
            return -1;
          case 'p':
            if (!parse_blk_cypher(arg, &d.cypher))
              return cmdline_error(self, "unknown cypher type '%s' (one of %s)", arg, CYPHER_WORDS);
            have_cypher = true;
            return -1;
          case 'd':
            if (!parse_blk_data(arg, &d.data))
              return cmdline_error(self, "unknown data type '%s' (raw or file)", arg);
            return -1;
          case 'f':
            if (!parse_flag_list(arg, &d.flags))
              return cmdline_error(self, "unknown flags '%s' (%s)", arg, FLAG_WORDS);
            return -1;
          case OPT_ID:
            if (!parse_number(arg, UINT32_MAX, &v))
              return cmdline_error(self, "--id needs a number from 0 to 4294967295, not '%s'", arg);
            d.id = static_cast<uint32_t>(v);
            return -1;
          case OPT_OFFSET:
            if (!parse_number(arg, UINT64_MAX, &v))
              return cmdline_error(self, "--offset needs a number of bytes, not '%s'", arg);
            out->offset = v;
            return -1;
          case OPT_NAME:
            set_text(self, "--name", d.name, sizeof d.name, arg, &st);
            return st;
          case OPT_VERSION:
            set_text(self, "--version", d.version, sizeof d.version, arg, &st);
            return st;
        }
        return -1;
      });
  if (status >= 0) return status;
  if (args.size() < 2)
    return cmdline_error(self, args.empty() ? "missing %s and FILE" : "missing FILE", first);
  if (args.size() > 2) return cmdline_error(self, "too many arguments");
  if (!have_type) return cmdline_error(self, "missing -t TYPE (one of %s)", TYPE_WORDS);
  if (!have_cypher) return cmdline_error(self, "missing -p CYPHER (one of %s)", CYPHER_WORDS);
  out->first = args[0];
  out->file = args[1];
  return -1;
}

int run_add(const char *self, int argc, char **argv) {
  block_args a;
  int status =
      parse_block_args(self, argc, argv, std::string(ADD_USAGE) + BLOCK_OPTIONS, "IMAGE", &a);
  if (status >= 0) return status;
  // The writer refuses anything but a rom image; say which case this is, as a
  // block file passes its checks silently.
  int fd = -1;
  uint64_t size = 0;
  int kind = rom_open(a.first, &fd, &size, O_RDONLY);
  if (fd >= 0) rom_close(fd);
  if (kind == ROM_CHECK_BLK)
    return build_failed(
        self, "%s is a block file, not a rom image; blocks are appended to rom images", a.first);
  if (kind != ROM_CHECK_ROM) return build_failed(self, "%s is not a usable rom image", a.first);
  if (rom_append_blk(a.first, a.file, a.offset, &a.desc) != 0)
    return build_failed(self, "could not append %s to %s; the image is unchanged", a.file, a.first);
  return EXIT_DONE;
}

// Writes the block so that OUT is either the whole block or what it was
// before: a regular file goes through a temporary file beside it and a
// rename; anything else (a device, a pipe) is written in place.
int write_block_file(const char *self, const char *out, const uint8_t *blk, uint32_t total) {
  struct stat st;
  bool in_place = stat(out, &st) == 0 && !S_ISREG(st.st_mode);
  if (in_place) {
    int fd = open(out, O_WRONLY | O_TRUNC);
    if (fd < 0) return build_failed(self, "cannot open %s: %s", out, std::strerror(errno));
    bool ok = write_all(fd, blk, total);
    int err = errno;
    if (close(fd) != 0 && ok) {
      ok = false;
      err = errno;
    }
    if (!ok) return build_failed(self, "cannot write %s: %s", out, std::strerror(err));
    return EXIT_DONE;
  }
  std::string tmp = std::string(out) + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return build_failed(self, "cannot create %s: %s", tmp.c_str(), std::strerror(errno));
  mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, blk, total) && fsync(fd) == 0;
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(tmp.c_str(), out) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    return build_failed(self, "cannot write %s: %s", out, std::strerror(err));
  }
  return EXIT_DONE;
}

int run_block(const char *self, int argc, char **argv) {
  block_args a;
  int status =
      parse_block_args(self, argc, argv, std::string(BLOCK_USAGE) + BLOCK_OPTIONS, "OUT", &a);
  if (status >= 0) return status;
  blk_buffer blk;
  uint32_t total = 0;
  if (rom_build_blk(a.file, a.offset, &a.desc, &blk, &total) != 0)
    return build_failed(self, "could not build a block from %s", a.file);
  return write_block_file(self, a.first, blk.get(), total);
}

// ---- the program ------------------------------------------------------------

const subcommand commands[] = {
    {"create", "create a rom image holding only its header", run_create},
    {"add", "append a block built from a file to a rom image", run_add},
    {"block", "write a single block file built from a file", run_block},
};

void print_usage(FILE *to) {
  std::fprintf(to,
               "Usage: %s COMMAND ARGS...\n"
               "Builds rom images and block files for korvane.\n"
               "\n"
               "Commands:\n",
               PROG);
  for (const subcommand &c : commands) std::fprintf(to, "  %-8s %s\n", c.name, c.help);
  std::fprintf(to,
               "\n"
               "  %s COMMAND --help   help on one command\n"
               "  %s --version        show the version\n"
               "Exit status: 0 done, 1 building failed, 2 command-line error.\n",
               PROG, PROG);
}

int mkrom_main(int argc, char **argv) {
  if (argc < 2) {
    print_usage(stderr);
    return EXIT_CMDLINE;
  }
  const char *word = argv[1];
  if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0 ||
      std::strcmp(word, "help") == 0) {
    print_usage(stdout);
    return EXIT_DONE;
  }
  if (std::strcmp(word, "--version") == 0) {
    std::printf("%s %s\n", PROG, KORVANE_VERSION);
    return EXIT_DONE;
  }
  for (const subcommand &c : commands) {
    if (std::strcmp(word, c.name) != 0) continue;
    std::string self = std::string(PROG) + " " + c.name;
    return c.run(self.c_str(), argc - 1, argv + 1);
  }
  std::fprintf(stderr, "%s: unknown command '%s'\nTry '%s --help'.\n", PROG, word, PROG);
  return EXIT_CMDLINE;
}

}  // namespace
}  // namespace korvane

int main(int argc, char **argv) { return korvane::mkrom_main(argc, argv); }
