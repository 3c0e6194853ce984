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

#include "codec/blkfmt.h"
#include "codec/cypher.h"
#include "rom/checksum.h"
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

constexpr uint32_t PIECE = 65536;

// Decodes a cypher2 payload (the run-length block format) into out, and
// checks the result against the unpacked size and CRC-32 its header
// records. @return 0, or -1 with *error set.
int decode_cypher2(int fd, const scan_block &b, int out, std::string *error) {
  uint32_t length = b.length();
  if (length < BLKFMT_HDR_SIZE) {
    *error = "its cypher2 payload is shorter than the block format's header";
    return -1;
  }
  std::vector<uint64_t> storage(
      (blkfmt_dec_size(PIECE + BLKFMT_HDR_SIZE + BLKFMT_DEC_ROOM_EXTRA) + 7) / 8);
  auto *ctx = reinterpret_cast<blkfmt_dec *>(storage.data());
  blkfmt_dec_init(ctx, storage.size() * 8);
  std::vector<uint32_t> out_words((2 * PIECE + BLKFMT_DEC_ROOM_EXTRA) / 4 + 1);
  auto *decoded = reinterpret_cast<uint8_t *>(out_words.data());
  std::vector<uint8_t> in(PIECE + BLKFMT_HDR_SIZE);
  uint64_t produced = 0;
  uint32_t crc = 0;
  for (uint32_t done = 0; done < length;) {
    uint32_t want = std::min<uint32_t>(length - done, done == 0 ? PIECE + BLKFMT_HDR_SIZE : PIECE);
    if (pread(fd, in.data(), want, static_cast<off_t>(b.payload() + done)) !=
        static_cast<ssize_t>(want)) {
      *error = std::string("cannot read its payload: ") + (errno ? std::strerror(errno) : "short");
      return -1;
    }
    if (blkfmt_dec_feed(ctx, in.data(), static_cast<int>(want)) != 0) {
      *error = "its cypher2 payload is not in the block format";
      return -1;
    }
    done += want;
    int count = 0;
    while (blkfmt_dec_step(ctx, decoded, &count) == 0) {
      if (!write_all(out, decoded, static_cast<size_t>(count))) {
        *error = std::string("cannot write the output: ") + std::strerror(errno);
        return -1;
      }
      crc = crc32(crc, decoded, static_cast<uint32_t>(count));
      produced += static_cast<uint64_t>(count);
      blkfmt_dec_take(ctx, decoded, count);
    }
  }
  uint32_t unpacked = 0, user1 = 0;
  blkfmt_get_sizes(&ctx->hdr, &unpacked, nullptr);
  blkfmt_get_user(&ctx->hdr, &user1, nullptr);
  if (ctx->buffered != 0 || produced != unpacked) {
    *error = "its cypher2 payload ends after " + std::to_string(produced) + " of " +
             std::to_string(unpacked) + " bytes";
    return -1;
  }
  if (crc != user1) {
    *error = "its cypher2 content does not match the CRC-32 its header records";
    return -1;
  }
  return 0;
}

// Writes what was asked for into out. @return 0, or -1 with *error set.
int write_block(const request &req, int fd, const scan_block &b, int out, std::string *error) {
  const extract_args &a = req.extract;
  captured_report said;
  int r;
  if (a.header) {
    uint32_t total = b.hdr.total.get();
    r = cypher_copy_file(fd, b.offset, total, out, 0);
    if (r != static_cast<int>(total)) r = -1;
  } else if (!a.decode) {
    r = cypher_copy_file(fd, b.payload(), b.length(), out, 0);
    if (r != static_cast<int>(b.length())) r = -1;
  } else if (b.hdr.cypher.get() == ROM_BLK_CT_CYPHER2) {
    said.take();
    return decode_cypher2(fd, b, out, error);
  } else {
    r = cypher_decode_file(b.hdr.cypher.get(), fd, b.payload(), b.length(), out);
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
  unique_fd fd;
  image_scan scan;
  std::string error;
  if (image_scan_open(a.image.c_str(), &fd, &scan, &error) != 0)
    return failed(req.self, "%s: %s", a.image.c_str(), error.c_str());
  if (a.index >= scan.blocks.size())
    return failed(req.self, "%s has %zu blocks; there is no block %u", a.image.c_str(),
                  scan.blocks.size(), a.index);
  const scan_block &b = scan.blocks[a.index];
  uint64_t end = a.header ? b.offset + b.hdr.total.get() : b.payload() + b.length();
  if (end > scan.size)
    return failed(req.self, "block %u of %s is cut short by the end of the file", a.index,
                  a.image.c_str());
  if (!b.hcrc_ok)
    std::fprintf(stderr, "%s: the header CRC of block %u of %s does not match\n", req.self.c_str(),
                 a.index, a.image.c_str());

  const char *what = a.header ? "" : a.decode ? " decoded" : " as stored";
  if (a.out == "-") {
    if (write_block(req, fd.fd, b, STDOUT_FILENO, &error) != 0)
      return failed(req.self, "cannot extract block %u%s: %s", a.index, what, error.c_str());
    return EXIT_DONE;
  }
  mode_t mask = umask(0);
  umask(mask);
  staged_file s;
  if (staged_open(a.out.c_str(), 0666 & ~mask, &s, &error) != 0)
    return failed(req.self, "cannot write %s: %s", a.out.c_str(), error.c_str());
  if (write_block(req, fd.fd, b, s.fd, &error) != 0)
    return failed(req.self, "cannot extract block %u%s into %s: %s", a.index, what, a.out.c_str(),
                  error.c_str());
  if (staged_commit(&s, &error) != 0)
    return failed(req.self, "cannot write %s: %s", a.out.c_str(), error.c_str());
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
