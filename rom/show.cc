// SPDX-License-Identifier: MIT
#include "rom/show.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "codec/cypher.h"
#include "codec/cypher_table.h"
#include "rom/dump.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/names.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/walk.h"

namespace korvane {
namespace {

constexpr size_t NAME_MAX_BYTES = 4096;  // extracted file names, directory included

// The name part of an extracted file: the block's name with every '/'
// turned into '_', so that no name reaches outside the output directory.
std::string safe_name(const blk_hdr &h) {
  std::string name = text_field(h.name);
  for (char &c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

// Writes one block into the file `name`. @return 0, or RES_FAULT after the
// message when the copy or the decode failed.
int extract_blk(int rom_fd, const blk_hdr &h, uint64_t offset, int with_header, int out,
                const char *name) {
  uint32_t hsize = h.hsize.get();
  uint32_t length = h.length.get();
  uint32_t total = h.total.get();
  bool ok;
  if (with_header) {
    int r = cypher_copy_file(rom_fd, offset, total, out, 0);
    ok = r >= 0 && static_cast<uint32_t>(r) == total;
  } else {
    uint32_t cypher = h.cypher.get();
    int r = cypher_decode_file(cypher, rom_fd, offset + hsize, length, out);
    // An empty payload, or a stream that declares no bytes, decodes to an
    // empty file. Every type but a stream yields exactly the stored length,
    // so a shorter result there is a payload cut off by the end of the file.
    const cypher_type *t = cypher_find(cypher);
    bool stream = t && t->decoding == cypher_decoding::stream;
    ok = r >= 0 && (stream || static_cast<uint32_t>(r) == length);
  }
  if (!ok) {
    report("failed to copy file,%m,%s\n", name);
    return RES_FAULT;
  }
  return 0;
}

// Opens the file a block is extracted to, emptied. O_NOFOLLOW: a link planted
// under the name is not followed. The image itself is never emptied (a block
// file extracted in its own folder bears the name of its block): *is_image
// is set instead. @return the descriptor, or -1 (errno set unless is_image).
int create_output(const char *name, const struct stat &image, bool *is_image) {
  unique_fd fd{open(name, O_RDWR | O_CREAT | O_NOFOLLOW, 0777)};
  if (fd.fd < 0) return -1;
  struct stat st;
  if (fstat(fd.fd, &st) != 0) return -1;
  if (st.st_dev == image.st_dev && st.st_ino == image.st_ino) {
    *is_image = true;
    return -1;
  }
  // What O_TRUNC does: only a regular file is emptied.
  if (S_ISREG(st.st_mode) && ftruncate(fd.fd, 0) != 0) return -1;
  return fd.release();
}

struct show_ctx {
  const char *dir;
  int with_header;
  const struct stat *image;  // the image's status: never emptied
  bool skipped;              // a block whose file could not be created
};

void show_at(void *, int index, uint64_t offset, const blk_hdr *h) {
  report("============block %d================\n", index);
  dump_dec("blk offset", static_cast<uint32_t>(offset));
  if (h) dump_dec("blk header", h->hsize.get());
}

int show_blk(void *ctx, const rom_walk_blk &b) {
  auto &c = *static_cast<show_ctx *>(ctx);
  const blk_hdr &h = b.buf.hdr;
  char name[NAME_MAX_BYTES] = "";
  bool name_fits = true;
  if (c.dir) {
    int n = std::snprintf(name, sizeof name, b.hcrc_ok ? "%s/%d-%d-%s-%s" : "%s/%d-%d-%s-bad-%s",
                          c.dir, b.index, static_cast<int32_t>(h.id.get()),
                          blk_type_name(h.type.get()), safe_name(h).c_str());
    name_fits = n >= 0 && static_cast<size_t>(n) < sizeof name;
    report("extract to %s ,%s\n", name, c.with_header ? "with header" : "no header");
  }
  dump_hdr(BLK_INFO_LINES, &h, {b.hcrc_ok, b.verified});
  if (!c.dir) return 0;

  unique_fd out;
  bool is_image = false;
  if (name_fits) {
    out.fd = create_output(name, *c.image, &is_image);
  } else {
    errno = ENAMETOOLONG;
  }
  if (is_image) {
    report("failed to create file,is the image itself,%s\n", name);
    c.skipped = true;
    return 0;
  }
  if (out.fd <= 0) {
    report("failed to create file,%m,%s\n", name);
    c.skipped = true;  // the other blocks are still extracted
    return 0;
  }
  return extract_blk(b.fd, h, b.offset, c.with_header, out.fd, name);
}

}  // namespace

int rom_show(const char *path, const char *dir, uint32_t flags, int with_header, int all) {
  rom_walk w;
  if (rom_walk_open(&w, path, O_RDONLY) < 0) return RES_FAULT;
  return rom_show_walk(&w, dir, flags, with_header, all);
}

int rom_show_walk(rom_walk *pw, const char *dir, uint32_t flags, int with_header, int all) {
  rom_walk &w = *pw;
  if (w.kind == ROM_CHECK_ROM) {
    report("============ROM<%s>=============\n", w.path);
    dump_hdr(ROM_HDR_LINES, &w.rom);
  }
  if (!dir && !all) return 0;
  struct stat image {};  // left zero (matching no file) if the status cannot be had
  if (dir) fstat(w.fd.fd, &image);

  show_ctx c{dir, with_header, &image, false};
  rom_walk_steps steps;
  steps.ctx = &c;
  steps.at = show_at;
  steps.block = show_blk;
  rom_walk_rules rules;
  rules.verify = flags;
  if (rom_walk_blocks(&w, steps, rules) < 0) return RES_FAULT;
  return c.skipped ? RES_FAULT : 0;
}

}  // namespace korvane
