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
#include "rom/names.h"

namespace korvane {
namespace {

bool is_flash(uint32_t type) {
  return type == ROM_BLK_TYPE_NAND_RAW || type == ROM_BLK_TYPE_NAND_OOB || type == ROM_BLK_TYPE_NOR;
}

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

struct flash_block {
  uint32_t index, type, id;
  uint64_t offset;
  std::string name;
};

// An image as the header commits it.
struct committed {
  struct stat st;
  alignas(4) uint8_t hdr[ROM_HDR_SIZE];
  uint32_t hsize;
  uint64_t end;   // hsize + length: where the next block goes
  uint64_t tail;  // bytes after it, taken back by the append
  std::vector<flash_block> flash;
};

// The CRC of a block header over its hsize bytes (up to 144: the bytes
// after the first 128 are the next bytes of the file), hcrc taken as zero.
bool block_hcrc_ok(int fd, uint64_t offset, uint64_t size, const blk_hdr &h) {
  uint32_t hsize = h.hsize.get();
  if (hsize > ROM_BLK_HSIZE_MAX || offset + hsize > size) return false;
  alignas(4) uint8_t buf[ROM_BLK_HSIZE_MAX] = {};
  std::memcpy(buf, &h, ROM_HDR_SIZE);
  if (hsize > ROM_HDR_SIZE &&
      !read_at(fd, buf + ROM_HDR_SIZE, hsize - ROM_HDR_SIZE, offset + ROM_HDR_SIZE))
    return false;
  std::memset(buf + HDR_HCRC_OFFSET, 0, 4);
  return crc32(0, buf, hsize) == h.hcrc.get();
}

int refuse(std::string *error, const std::string &why) {
  *error = why;
  return APPEND_REFUSED;
}

int inspect(int fd, committed *c, std::string *error) {
  if (fstat(fd, &c->st) != 0) {
    *error = std::string("cannot read it: ") + std::strerror(errno);
    return APPEND_FAILED;
  }
  if (!S_ISREG(c->st.st_mode)) return refuse(error, "it is not a regular file");
  uint64_t size = static_cast<uint64_t>(c->st.st_size);
  if (size < ROM_HDR_SIZE)
    return refuse(error,
                  "it is not a rom image: " + std::to_string(size) + " bytes, less than a header");
  if (!read_at(fd, c->hdr, ROM_HDR_SIZE, 0)) {
    *error = std::string("cannot read it: ") + std::strerror(errno);
    return APPEND_FAILED;
  }
  rom_hdr h;
  std::memcpy(&h, c->hdr, sizeof h);
  if (h.magic.get() == BLK_MAGIC)
    return refuse(error, "it is a block file, not a rom image (blocks are appended to rom images)");
  if (h.magic.get() != ROM_MAGIC)
    return refuse(error, "it is not a rom image (magic " + hex(h.magic.get()) + ")");
  c->hsize = h.hsize.get();
  if (c->hsize > ROM_HDR_SIZE || c->hsize < offsetof(rom_hdr, dev_id))
    return refuse(
        error, "its header size " + std::to_string(c->hsize) + " does not fit the header's fields");
  alignas(4) uint8_t check[ROM_HDR_SIZE];
  std::memcpy(check, c->hdr, ROM_HDR_SIZE);
  std::memset(check + HDR_HCRC_OFFSET, 0, 4);
  uint32_t computed = crc32(0, check, c->hsize);
  if (computed != h.hcrc.get())
    return refuse(error, "its header CRC does not match (" + hex(h.hcrc.get()) + " stored, " +
                             hex(computed) + " computed)");

  c->end = uint64_t{c->hsize} + h.length.get();
  if (size < c->end)
    return refuse(error, "it is " + std::to_string(size) +
                             " bytes, shorter than its header says (" + std::to_string(c->end) +
                             "): it was cut short");
  // The blocks the header counts: they fill its length exactly, and korvane
  // reaches every one of them.
  uint64_t at = c->hsize;
  uint32_t count = 0;
  while (at < c->end) {
    blk_hdr b;
    if (at + ROM_HDR_SIZE > c->end)
      return refuse(error, "its blocks do not end where its header says (offset " +
                               std::to_string(c->end) + "): a block header at offset " +
                               std::to_string(at) + " runs past it");
    if (!read_at(fd, &b, sizeof b, at)) {
      *error = std::string("cannot read it: ") + std::strerror(errno);
      return APPEND_FAILED;
    }
    std::string where = "the block at offset " + std::to_string(at);
    if (b.magic.get() != BLK_MAGIC)
      return refuse(error, where + " has no block magic (" + hex(b.magic.get()) + ")");
    if (b.hsize.get() > ROM_BLK_HSIZE_MAX)
      return refuse(error, where + " has a header size of " + std::to_string(b.hsize.get()) +
                               ", where korvane's walk stops");
    if (b.total.get() < ROM_HDR_SIZE)
      return refuse(error, where + " has a total of " + std::to_string(b.total.get()) +
                               ", less than a header");
    if (is_flash(b.type.get()))
      c->flash.push_back({count, b.type.get(), b.id.get(), at, text_field(b.name)});
    at += b.total.get();
    ++count;
  }
  if (at != c->end)
    return refuse(error, "its blocks do not end where its header says (offset " +
                             std::to_string(c->end) + "): the last one ends at " +
                             std::to_string(at));
  if (count != h.blocks.get())
    return refuse(error, "its header counts " + std::to_string(h.blocks.get()) +
                             " blocks, but its " + std::to_string(h.length.get()) +
                             " bytes of blocks hold " + std::to_string(count));

  // Bytes after the counted blocks: a block cut short is taken back; a whole
  // block is something the header should count, and is not dropped.
  c->tail = size - c->end;
  if (c->tail >= ROM_HDR_SIZE) {
    blk_hdr b;
    if (!read_at(fd, &b, sizeof b, c->end)) {
      *error = std::string("cannot read it: ") + std::strerror(errno);
      return APPEND_FAILED;
    }
    if (b.magic.get() == BLK_MAGIC && b.total.get() >= ROM_HDR_SIZE &&
        c->end + b.total.get() <= size && block_hcrc_ok(fd, c->end, size, b))
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
  if (!have_block || opts.allow_same_id || !is_flash(type)) return 0;
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

// Opens the image into *fd and inspects it.
int open_and_inspect(const char *path, unique_fd *fd, committed *c, std::string *error) {
  fd->fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd->fd < 0) {
    *error = std::string("cannot open it: ") + std::strerror(errno);
    return APPEND_FAILED;
  }
  return inspect(fd->fd, c, error);
}

}  // namespace

int rom_append_check(const char *path, bool have_block, uint32_t type, uint32_t id,
                     const append_options &opts, std::string *error) {
  unique_fd fd;
  committed c;
  int r = open_and_inspect(path, &fd, &c, error);
  if (r != 0) return r;
  return check_same_id(c, have_block, type, id, opts, error);
}

int rom_append_built(const char *path, const uint8_t *blk, uint32_t total,
                     const append_options &opts, std::string *error, std::string *note) {
  note->clear();
  unique_fd fd;
  committed c;
  int r = open_and_inspect(path, &fd, &c, error);
  if (r != 0) return r;
  blk_hdr b;
  std::memcpy(&b, blk, sizeof b);
  r = check_same_id(c, true, b.type.get(), b.id.get(), opts, error);
  if (r != 0) return r;
  if (c.end + total - c.hsize > UINT32_MAX)
    return refuse(error, "the block would take the image past 4 GiB of blocks");

  rom_hdr h;
  std::memcpy(&h, c.hdr, sizeof h);
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
  if (staged_copy(&s, fd.fd, c.end, error) != 0 || staged_write(&s, blk, total, error) != 0 ||
      staged_pwrite(&s, sealed, c.hsize, 0, error) != 0 || staged_commit(&s, error) != 0)
    return APPEND_FAILED;
  if (c.tail)
    *note = "took back " + std::to_string(c.tail) +
            " bytes after the blocks its header counts (a block cut short by an interrupted "
            "write)";
  return 0;
}

}  // namespace korvane
