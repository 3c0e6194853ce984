// SPDX-License-Identifier: MIT
// korvane-mkrom extract IMAGE INDEX OUT [--decode] [--header]: one block to
// a file of its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/cypher.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "rom/result.h"
#include "rom/scan.h"
#include "rom/staged.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char EXTRACT_USAGE[] =
    "Usage: korvane-mkrom extract IMAGE INDEX OUT [--decode | --header]\n"
    "Write block INDEX of IMAGE (0 is the first) to OUT (- for standard output):\n"
    "its payload as stored, or\n"
    "\n"
    "      --decode          the payload decoded: the bytes the block was built from,\n"
    "                        for every cypher (cypher2 through its block format)\n"
    "      --header          the block as stored with its header: a block file\n"
    "  -h, --help            show this help\n"
    "OUT is replaced in one step: on failure it is left as it was.\n";

enum { OPT_DECODE = 256, OPT_HEADER };

// Writes what was asked for into out. @return 0, or -1 with *error set.
int write_block(const request &req, int fd, const rom_walk_blk &b, int out, std::string *error) {
  const extract_args &a = req.extract;
  captured_report said;
  int r;
  if (a.header) {
    r = cypher_copy_file(fd, b.offset, b.total, out, 0);
    if (r != static_cast<int>(b.total)) r = -1;
  } else if (!a.decode) {
    r = cypher_copy_file(fd, b.payload, b.length, out, 0);
    if (r != static_cast<int>(b.length)) r = -1;
  } else {
    r = cypher_source_file(b.buf.hdr.cypher.get(), fd, b.payload, b.length, out);
  }
  if (r < 0) {
    std::string why = said.take();
    *error = why.empty() ? std::string("cannot copy it") : why;
    return -1;
  }
  return 0;
}

}  // namespace

int parse_extract(request *req, int argc, char **argv) {
  static const option longs[] = {
      {"decode", no_argument, nullptr, OPT_DECODE},
      {"header", no_argument, nullptr, OPT_HEADER},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  extract_args &a = req->extract;
  std::vector<std::string> args;
  int status = parse_options(req->self, argc, argv, "h", longs, EXTRACT_USAGE, &args,
                             [&](int c, const char *) {
                               if (c == OPT_DECODE) a.decode = true;
                               if (c == OPT_HEADER) a.header = true;
                               return GO_ON;
                             });
  if (status != GO_ON) return status;
  if (args.size() < 3)
    return cmdline_error(req->self, args.empty()       ? "missing IMAGE, INDEX and OUT"
                                    : args.size() == 1 ? "missing INDEX and OUT"
                                                       : "missing OUT");
  if (args.size() > 3) return cmdline_error(req->self, "too many arguments");
  if (a.decode && a.header)
    return cmdline_error(req->self, "--decode and --header exclude each other");
  uint64_t index = 0;
  if (!parse_number(args[1].c_str(), UINT32_MAX, &index))
    return cmdline_error(req->self, "INDEX needs a block number (0 is the first), not '%s'",
                         args[1].c_str());
  a.image = args[0];
  a.index = static_cast<uint32_t>(index);
  a.out = args[2];
  return GO_ON;
}

int run_extract(const request &req) {
  const extract_args &a = req.extract;
  image_scan scan;
  std::string error;
  if (image_scan_open(a.image.c_str(), &scan, false, nullptr, &error) != 0)
    return failed(req.self, "%s: %s", a.image.c_str(), error.c_str());
  if (a.index >= scan.blocks.size())
    return failed(req.self, "%s has %zu blocks; there is no block %u", a.image.c_str(),
                  scan.blocks.size(), a.index);
  const rom_walk_blk &b = scan.blocks[a.index];
  const int fd = scan.walk.fd.fd;
  uint64_t end = a.header ? b.offset + b.total : b.payload + b.length;
  if (end > scan.walk.size)
    return failed(req.self, "block %u of %s is cut short by the end of the file", a.index,
                  a.image.c_str());
  if (!b.hcrc_ok)
    std::fprintf(stderr, "%s: the header CRC of block %u of %s does not match\n", req.self.c_str(),
                 a.index, a.image.c_str());

  const char *what = a.header ? "" : a.decode ? " decoded" : " as stored";
  if (a.out == "-") {
    if (write_block(req, fd, b, STDOUT_FILENO, &error) != 0)
      return failed(req.self, "cannot extract block %u%s: %s", a.index, what, error.c_str());
    return EXIT_DONE;
  }
  mode_t mask = umask(0);
  umask(mask);
  staged_file s;
  if (staged_open(a.out.c_str(), 0666 & ~mask, &s, &error) != 0)
    return failed(req.self, "cannot write %s: %s", a.out.c_str(), error.c_str());
  if (write_block(req, fd, b, s.fd, &error) != 0)
    return failed(req.self, "cannot extract block %u%s into %s: %s", a.index, what, a.out.c_str(),
                  error.c_str());
  if (staged_commit(&s, &error) != 0)
    return failed(req.self, "cannot write %s: %s", a.out.c_str(), error.c_str());
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
