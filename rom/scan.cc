// SPDX-License-Identifier: MIT
#include "rom/scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/result.h"

namespace korvane {
namespace {

struct scan_ctx {
  image_scan *scan;
  const staged_progress *progress;
};

int keep_block(void *ctx, const rom_walk_blk &b) {
  auto *c = static_cast<scan_ctx *>(ctx);
  c->scan->blocks.push_back(b);
  const staged_progress *p = c->progress;
  if (p && p->step) p->step(p->ctx, b.payload + b.length, p->total);
  return 0;
}

}  // namespace

int image_scan_open(const char *path, image_scan *scan, bool verify,
                    const staged_progress *progress, std::string *error) {
  scan->blocks.clear();
  scan->rom_hcrc_ok = false;
  unique_fd fd{open(path, O_RDONLY | O_CLOEXEC), rom_close};
  struct stat st;
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
    *error = std::string("cannot open it: ") + std::strerror(errno);
    return -1;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  alignas(4) uint8_t first[ROM_HDR_SIZE];
  if (size < ROM_HDR_SIZE || !read_at(fd.fd, first, sizeof first, 0)) {
    *error =
        "not a rom image or block file: " + std::to_string(size) + " bytes, less than a header";
    return -1;
  }
  rom_hdr rom{};
  const uint32_t magic = reinterpret_cast<const be32 *>(first)->get();
  int kind;
  uint64_t start = 0;
  if (magic == ROM_MAGIC) {
    kind = ROM_CHECK_ROM;
    std::memcpy(&rom, first, sizeof rom);
    uint32_t hsize = rom.hsize.get();
    if (hsize > ROM_HDR_SIZE) {
      *error = "its rom header size " + std::to_string(hsize) + " is larger than a header";
      return -1;
    }
    std::memset(first + HDR_HCRC_OFFSET, 0, 4);
    scan->rom_hcrc_ok = crc32(0, first, hsize) == rom.hcrc.get();
    start = hsize;
  } else if (magic == BLK_MAGIC) {
    kind = ROM_CHECK_BLK;
  } else {
    char buf[64];
    std::snprintf(buf, sizeof buf, "not a rom image or block file (magic 0x%08x)", magic);
    *error = buf;
    return -1;
  }

  rom_walk &w = scan->walk;
  rom_walk_attach(&w, fd.release(), path, size, kind, rom, start);
  rom_walk_rules rules;
  rules.quiet = true;
  if (verify) rules.verify = ROM_VERIFY_MASK;
  staged_progress over_file;
  if (progress) {
    over_file = *progress;
    over_file.total = size;
  }
  scan_ctx ctx{scan, progress ? &over_file : nullptr};
  rom_walk_steps steps;
  steps.ctx = &ctx;
  steps.block = keep_block;
  rom_walk_blocks(&w, steps, rules);
  if (w.end.why == rom_walk_stop::seek_failed || w.end.why == rom_walk_stop::read_failed) {
    *error = std::string("cannot read it: ") + std::strerror(w.end.error);
    return -1;
  }
  return 0;
}

bool scan_reached_end(const image_scan &scan) {
  switch (scan.walk.end.why) {
    case rom_walk_stop::end_of_file:
    case rom_walk_stop::trailing:
    case rom_walk_stop::past_end:
    case rom_walk_stop::cut_short:
      return true;
    default:
      return false;
  }
}

const char *scan_end_name(const image_scan &scan) {
  if (scan_reached_end(scan)) return "end of file";
  switch (scan.walk.end.why) {
    case rom_walk_stop::hsize_limit:
      return "header size";
    case rom_walk_stop::total_small:
      return "total below a header";
    case rom_walk_stop::total_wraps:
      return "beyond 4 GiB";
    default:
      return "read error";
  }
}

int scan_payload_ok(const rom_walk_blk &b) {
  uint32_t kind = b.buf.hdr.flags.get() & ROM_VERIFY_MASK;
  if ((kind != ROM_VERIFY_CRC && kind != ROM_VERIFY_CHECKSUM) || b.verified == -1) return -1;
  return b.verified == 0 ? 1 : 0;
}

const char *verify_kind_name(uint32_t flags) {
  switch (flags & ROM_VERIFY_MASK) {
    case ROM_VERIFY_CRC:
      return "crc";
    case ROM_VERIFY_CHECKSUM:
      return "checksum";
    default:
      return "none";
  }
}

}  // namespace korvane
