// SPDX-License-Identifier: MIT
#include "rom/append.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/names.h"
#include "rom/result.h"
#include "rom/walk.h"

namespace korvane {
namespace {

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

struct flash_block {
  int index;
  uint32_t type, id;
  uint64_t offset;
  std::string name;
};

// An image as the header commits it.
struct committed {
  rom_walk walk;  // the image, open read-only
  struct stat st;
  rom_hdr hdr;
  uint32_t hsize;
  uint64_t end;   // hsize + length: where the next block goes
  uint64_t tail;  // bytes after it, taken back by the append
  std::vector<flash_block> flash;
};

int refuse(std::string *error, const std::string &why) {
  *error = why;
  return APPEND_REFUSED;
}

int cannot_read(std::string *error, int err) {
  *error = std::string("cannot read it: ") + std::strerror(err);
  return APPEND_FAILED;
}

int note_flash(void *ctx, const rom_walk_blk &b) {
  const blk_hdr &h = b.buf.hdr;
  if (blk_type_is_flash(h.type.get()))
    static_cast<committed *>(ctx)->flash.push_back(
        {b.index, h.type.get(), h.id.get(), b.offset, text_field(h.name)});
  return 0;
}

// The first block of a second pass, and no more.
struct tail_block {
  bool seen = false;
  rom_walk_blk b;
};

int first_only(void *ctx, const rom_walk_blk &b) {
  auto *t = static_cast<tail_block *>(ctx);
  t->seen = true;
  t->b = b;
  return -1;
}

// The rom header, then the blocks it counts (a walk over the first hsize +
// length bytes), then what follows them (a walk of one block from there).
int inspect(const char *path, committed *c, std::string *error) {
  unique_fd fd{open(path, O_RDONLY | O_CLOEXEC), rom_close};
  if (fd.fd < 0) {
    *error = std::string("cannot open it: ") + std::strerror(errno);
    return APPEND_FAILED;
  }
  if (fstat(fd.fd, &c->st) != 0) return cannot_read(error, errno);
  if (!S_ISREG(c->st.st_mode)) return refuse(error, "it is not a regular file");
  uint64_t size = static_cast<uint64_t>(c->st.st_size);
  if (size < ROM_HDR_SIZE)
    return refuse(error,
                  "it is not a rom image: " + std::to_string(size) + " bytes, less than a header");
  alignas(4) uint8_t first[ROM_HDR_SIZE];
  if (!read_at(fd.fd, first, ROM_HDR_SIZE, 0)) return cannot_read(error, errno);
  rom_hdr &h = c->hdr;
  std::memcpy(&h, first, sizeof h);
  if (h.magic.get() == BLK_MAGIC)
    return refuse(error, "it is a block file, not a rom image (blocks are appended to rom images)");
  if (h.magic.get() != ROM_MAGIC)
    return refuse(error, "it is not a rom image (magic " + hex(h.magic.get()) + ")");
  c->hsize = h.hsize.get();
  if (c->hsize > ROM_HDR_SIZE || c->hsize < offsetof(rom_hdr, dev_id))
    return refuse(
        error, "its header size " + std::to_string(c->hsize) + " does not fit the header's fields");
  std::memset(first + HDR_HCRC_OFFSET, 0, 4);
  uint32_t computed = crc32(0, first, c->hsize);
  if (computed != h.hcrc.get())
    return refuse(error, "its header CRC does not match (" + hex(h.hcrc.get()) + " stored, " +
                             hex(computed) + " computed)");

  c->end = uint64_t{c->hsize} + h.length.get();
  if (size < c->end)
    return refuse(error, "it is " + std::to_string(size) +
                             " bytes, shorter than its header says (" + std::to_string(c->end) +
                             "): it was cut short");

  // The blocks the header counts: they fill its length exactly, every one
  // with its magic, and korvane's walk reaches every one of them.
  rom_walk &w = c->walk;
  rom_walk_attach(&w, fd.release(), path, c->end, ROM_CHECK_ROM, h, c->hsize);
  rom_walk_rules rules;
  rules.need_magic = true;
  rules.quiet = true;
  rom_walk_steps steps;
  steps.ctx = c;
  steps.block = note_flash;
  rom_walk_blocks(&w, steps, rules);
  const rom_walk_end &e = w.end;
  const std::string where = "the block at offset " + std::to_string(e.offset);
  const std::string not_at_end =
      "its blocks do not end where its header says (offset " + std::to_string(c->end) + "): ";
  switch (e.why) {
    case rom_walk_stop::seek_failed:
    case rom_walk_stop::read_failed:
      return cannot_read(error, e.error);
    case rom_walk_stop::bad_magic:
      return refuse(error, where + " has no block magic (" + hex(e.value) + ")");
    case rom_walk_stop::hsize_limit:
      return refuse(error, where + " has a header size of " + std::to_string(e.value) +
                               ", where korvane's walk stops");
    case rom_walk_stop::total_small:
      return refuse(error,
                    where + " has a total of " + std::to_string(e.value) + ", less than a header");
    case rom_walk_stop::total_wraps:
      return refuse(error, where + " has a total of " + std::to_string(e.value) +
                               ", which reaches past 4 GiB");
    default:
      break;
  }
  if (e.offset < c->end)
    return refuse(error, not_at_end + "a block header at offset " + std::to_string(e.offset) +
                             " runs past it");
  if (e.offset > c->end)
    return refuse(error, not_at_end + "the last one ends at " + std::to_string(e.offset));
  if (static_cast<uint32_t>(e.blocks) != h.blocks.get())
    return refuse(error, "its header counts " + std::to_string(h.blocks.get()) +
                             " blocks, but its " + std::to_string(h.length.get()) +
                             " bytes of blocks hold " + std::to_string(e.blocks));

  // Bytes after the counted blocks: a block cut short is taken back; a whole
  // block is something the header should count, and is not dropped.
  c->tail = size - c->end;
  if (c->tail >= ROM_HDR_SIZE) {
    w.first = c->end;
    w.size = size;
    tail_block t;
    rom_walk_steps one;
    one.ctx = &t;
    one.block = first_only;
    rom_walk_blocks(&w, one, rules);
    if (w.end.why == rom_walk_stop::seek_failed || w.end.why == rom_walk_stop::read_failed)
      return cannot_read(error, w.end.error);
    const rom_walk_blk &b = t.b;
    if (t.seen && b.hcrc_ok && b.total >= ROM_HDR_SIZE && b.offset + b.total <= size &&
        b.payload <= size)
      return refuse(error, "the " + std::to_string(c->tail) +
                               " bytes after the blocks its header counts hold a whole block "
                               "(at offset " +
                               std::to_string(c->end) +
                               ") that the header does not count; cut the image to " +
                               std::to_string(c->end) + " bytes to drop them");
  }
  return 0;
}

int check_same_id(const committed &c, bool have_block, uint32_t type, uint32_t id,
                  const append_options &opts, std::string *error) {
  if (!have_block || opts.allow_same_id || !blk_type_is_flash(type)) return 0;
  for (const flash_block &f : c.flash) {
    if (f.id != id) continue;
    return refuse(error, "block " + std::to_string(f.index) + " ('" + f.name + "', " +
                             blk_type_name(f.type) + " at offset " + std::to_string(f.offset) +
                             ") already goes to mtd" + std::to_string(id) +
                             ": a second flash block for it would replace the first on the "
                             "board (--allow-same-id adds it anyway)");
  }
  return 0;
}

}  // namespace

int rom_append_check(const char *path, bool have_block, uint32_t type, uint32_t id,
                     const append_options &opts, std::string *error) {
  committed c;
  int r = inspect(path, &c, error);
  if (r != 0) return r;
  return check_same_id(c, have_block, type, id, opts, error);
}

int rom_append_built(const char *path, const uint8_t *blk, uint32_t total,
                     const append_options &opts, std::string *error, std::string *note) {
  note->clear();
  committed c;
  int r = inspect(path, &c, error);
  if (r != 0) return r;
  blk_hdr b;
  std::memcpy(&b, blk, sizeof b);
  r = check_same_id(c, true, b.type.get(), b.id.get(), opts, error);
  if (r != 0) return r;
  if (c.end + total - c.hsize > UINT32_MAX)
    return refuse(error, "the block would take the image past 4 GiB of blocks");

  rom_hdr h = c.hdr;
  h.length.set(static_cast<uint32_t>(c.end + total - c.hsize));
  h.blocks.set(h.blocks.get() + 1);
  h.hcrc.set(0);
  alignas(4) uint8_t sealed[ROM_HDR_SIZE];
  std::memcpy(sealed, &h, sizeof h);
  h.hcrc.set(crc32(0, sealed, c.hsize));
  std::memcpy(sealed, &h, sizeof h);

  staged_file s;
  s.progress = opts.progress;
  s.progress.total = c.end + total;
  if (staged_open(path, c.st.st_mode, &s, error) != 0) return APPEND_FAILED;
  if (c.st.st_uid != geteuid() || c.st.st_gid != getegid())
    (void)fchown(s.fd, c.st.st_uid, c.st.st_gid);  // kept where we may
  if (staged_copy(&s, c.walk.fd.fd, c.end, error) != 0 ||
      staged_write(&s, blk, total, error) != 0 ||
      staged_pwrite(&s, sealed, c.hsize, 0, error) != 0 || staged_commit(&s, error) != 0)
    return APPEND_FAILED;
  if (c.tail)
    *note = "took back " + std::to_string(c.tail) +
            " bytes after the blocks its header counts (a block cut short by an interrupted "
            "write)";
  return 0;
}

}  // namespace korvane
