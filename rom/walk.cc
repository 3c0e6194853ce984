// SPDX-License-Identifier: MIT
#include "rom/walk.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "rom/checksum.h"
#include "rom/load.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

// Ends the walk: records why and where, and unless quiet says so.
int finish(rom_walk *w, const rom_walk_rules &rules, rom_walk_stop why, int result, uint64_t offset,
           uint32_t value = 0, int error = 0) {
  rom_walk_end &e = w->end;
  e.why = why;
  e.result = result;
  e.offset = offset;
  e.value = value;
  e.error = error;
  if (!rules.quiet) rom_walk_report(e, w->path);
  return result;
}

}  // namespace

int rom_walk_open(rom_walk *w, const char *path, int open_flags) {
  w->path = path;
  w->end = {};
  int fd = -1;
  int kind = rom_open(path, &fd, &w->size, open_flags);
  w->fd.reset(fd);
  if (kind != ROM_CHECK_ROM && kind != ROM_CHECK_BLK) {
    w->fd.reset();
    return RES_FAULT;
  }
  w->kind = kind;
  w->rom = {};
  w->first = 0;
  if (lseek(w->fd.fd, 0, SEEK_SET) < 0) {
    report("failed to seek file,%m,%s\n", path);
    w->fd.reset();
    return RES_FAULT;
  }
  if (kind == ROM_CHECK_ROM) {
    if (read_full(w->fd.fd, &w->rom, sizeof w->rom) != static_cast<ssize_t>(sizeof w->rom)) {
      report("failed to read rom or block file,%m,%s\n", path);
      w->fd.reset();
      return RES_FAULT;
    }
    w->first = w->rom.hsize.get();
  }
  return kind;
}

void rom_walk_attach(rom_walk *w, int fd, const char *path, uint64_t size, int kind,
                     const rom_hdr &rom, uint64_t first) {
  w->fd.reset(fd);
  w->path = path;
  w->size = size;
  w->kind = kind;
  w->rom = rom;
  w->first = first;
  w->end = {};
}

int rom_walk_blocks(rom_walk *w, const rom_walk_steps &steps, const rom_walk_rules &rules) {
  rom_walk_end &e = w->end;
  e = {};
  const int fd = w->fd.fd;
  const uint64_t size = w->size;
  const uint64_t hsize_limit = rules.hsize_to_file ? size : ROM_BLK_HSIZE_MAX;
  uint64_t offset = w->first;
  uint64_t last_end = 0;  // where the last block's payload ends
  rom_walk_blk b{};
  b.fd = fd;
  for (int index = 0; offset + ROM_HDR_SIZE <= size; ++index) {
    b.index = index;
    b.offset = offset;
    b.buf = {};
    blk_hdr &h = b.buf.hdr;
    // The header is read before the step hears of it, and a failure is
    // reported after, so that what the step prints stands before it.
    bool read = false;
    rom_walk_stop why = rom_walk_stop::seek_failed;
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0) {
      why = rom_walk_stop::read_failed;
      read = read_full(fd, &h, sizeof h) == static_cast<ssize_t>(sizeof h);
    }
    const int error = read ? 0 : errno;
    if (steps.at) steps.at(steps.ctx, index, offset, read ? &h : nullptr);
    if (!read) return finish(w, rules, why, RES_FAULT, offset, 0, error);

    if (rules.need_magic && h.magic.get() != BLK_MAGIC)
      return finish(w, rules, rom_walk_stop::bad_magic, RES_FAULT, offset, h.magic.get());
    const uint32_t hsize = h.hsize.get();
    // Images padded with 0xFF end here.
    if (hsize > hsize_limit)
      return finish(w, rules, rom_walk_stop::hsize_limit, RES_OK, offset, hsize);
    const uint32_t in_buf = std::min(hsize, ROM_BLK_HSIZE_MAX);
    if (in_buf > ROM_HDR_SIZE && read_full(fd, b.buf.extra, in_buf - ROM_HDR_SIZE) < 0)
      return finish(w, rules, rom_walk_stop::read_failed, RES_FAULT, offset, 0, errno);

    b.hsize = hsize;
    b.hcrc = h.hcrc.get();
    h.hcrc.set(0);
    b.hcrc_ok = hsize <= ROM_BLK_HSIZE_MAX && crc32(0, &b.buf, hsize) == b.hcrc;
    h.hcrc.set(b.hcrc);
    b.payload = offset + hsize;
    b.length = h.length.get();
    b.total = h.total.get();
    b.cut_short = b.payload + b.length > size;
    b.verified = -1;
    if ((rules.verify & ROM_VERIFY_MASK) && (h.flags.get() & ROM_VERIFY_MASK))
      b.verified = rom_verify_blk(&h, fd, b.payload, b.length, rules.quiet);

    if (steps.block) {
      int r = steps.block(steps.ctx, b);
      if (r < 0) return finish(w, rules, rom_walk_stop::step_failed, r, offset);
    }
    // A total below one header would not move the walk forward (or would
    // move it into the block's own header); one past 32 bits cannot name a
    // block.
    if (b.total < ROM_HDR_SIZE)
      return finish(w, rules, rom_walk_stop::total_small, RES_FAULT, offset, b.total);
    if (offset + b.total > ROM_WALK_LIMIT)
      return finish(w, rules, rom_walk_stop::total_wraps, RES_FAULT, offset, b.total);
    offset += b.total;
    last_end = b.payload + b.length;
    ++e.blocks;
  }
  rom_walk_stop why = offset == size  ? rom_walk_stop::end_of_file
                      : offset < size ? rom_walk_stop::trailing
                                      : rom_walk_stop::past_end;
  if (e.blocks && last_end > size) why = rom_walk_stop::cut_short;
  return finish(w, rules, why, RES_OK, offset);
}

void rom_walk_report(const rom_walk_end &end, const char *path) {
  const uint32_t at = static_cast<uint32_t>(end.offset);
  switch (end.why) {
    case rom_walk_stop::seek_failed:
      errno = end.error;
      report("failed to seek block,%m,%s\n", path);
      break;
    case rom_walk_stop::read_failed:
      errno = end.error;
      report("failed to read block,%m,%s\n", path);
      break;
    case rom_walk_stop::hsize_limit:
      report("suck ,invalid blk header size,%d\n", static_cast<int32_t>(end.value));
      break;
    case rom_walk_stop::bad_magic:
      report("invalid block magic found:0x%08x\n", end.value);
      break;
    case rom_walk_stop::total_small:
      report("invalid blk total,%u at offset %u,smaller than a header\n", end.value, at);
      break;
    case rom_walk_stop::total_wraps:
      report("invalid blk total,%u at offset %u,beyond 4GiB\n", end.value, at);
      break;
    default:
      break;  // the ends at the end of the file, and a step's own failure
  }
}

}  // namespace korvane
