// SPDX-License-Identifier: MIT
#include "install/read_back.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "mtd/mtd_read.h"
#include "rom/checksum.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

using ranges = std::vector<std::pair<uint32_t, uint32_t>>;

constexpr uint8_t ERASED = 0xFF;

// CRC-32 of n bytes after crc, wherever they lie (crc32 takes 4-byte
// aligned buffers only; OOB bytes and page records need not be).
uint32_t crc_any(uint32_t crc, const uint8_t *p, uint32_t n) {
  if ((reinterpret_cast<uintptr_t>(p) & 3u) == 0) return crc32(crc, p, n);
  alignas(8) uint8_t piece[4096];
  while (n) {
    uint32_t k = std::min<uint32_t>(n, sizeof piece);
    std::memcpy(piece, p, k);
    crc = crc32(crc, piece, k);
    p += k;
    n -= k;
  }
  return crc;
}

// CRC-32 of n bytes of 0xFF after crc.
uint32_t crc_erased(uint32_t crc, uint32_t n) {
  alignas(8) static const auto ff = [] {
    std::array<uint8_t, 4096> a;
    a.fill(ERASED);
    return a;
  }();
  while (n) {
    uint32_t k = std::min<uint32_t>(n, static_cast<uint32_t>(ff.size()));
    crc = crc32(crc, ff.data(), k);
    n -= k;
  }
  return crc;
}

// CRC-32 of the free ranges of one page's OOB bytes, after crc.
uint32_t crc_free(uint32_t crc, const uint8_t *oob, const ranges &free) {
  for (const auto &[off, len] : free) crc = crc_any(crc, oob + off, len);
  return crc;
}

uint32_t free_bytes(const ranges &free) {
  uint32_t n = 0;
  for (const auto &r : free) n += r.second;
  return n;
}

bool all_erased(const uint8_t *p, uint32_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == ERASED; });
}

// The first good erase block at or after offset (rounded down to its
// block). @return its offset, the partition size when none is left, or -1
// when the bad-block question fails (errno set).
int64_t good_block_from(const mtd_device &dev, uint32_t offset) {
  const uint32_t es = dev.geo.erasesize;
  for (uint64_t b = offset - offset % es; b < dev.geo.size; b += es) {
    int bad = mtd_block_bad(dev, static_cast<uint32_t>(b));
    if (bad < 0) return -1;
    if (bad == 0) return static_cast<int64_t>(b);
  }
  return dev.geo.size;
}

// Page data bytes and pages of a chunk of len bytes in the writer's mode.
struct chunk_shape {
  uint32_t pages;
  uint32_t data;  // page data bytes the writer programs, its pad included
};

chunk_shape shape_of(const flash_written &w, uint32_t len) {
  const mtd_geometry &g = w.dev->geo;
  if (g.cls != MTD_CLASS_NAND) return {0, len};
  if (w.mode == WRITE_WITH_OOB) {
    uint32_t pages = len / (g.writesize + g.oobsize);
    return {pages, pages * g.writesize};
  }
  uint32_t pages = (len + g.writesize - 1) / g.writesize;
  return {pages, pages * g.writesize};
}

// The digest of a chunk as the writer lays it on flash.
flash_written::record digest(const flash_written &w, const uint8_t *buf, uint32_t len,
                             uint32_t block) {
  const mtd_geometry &g = w.dev->geo;
  chunk_shape sh = shape_of(w, len);
  flash_written::record r{block, sh.data, 0, 0};
  if (g.cls == MTD_CLASS_NAND && w.mode == WRITE_WITH_OOB) {
    const uint32_t rec = g.writesize + g.oobsize;
    for (uint32_t i = 0; i < sh.pages; i++) {
      r.crc = crc_any(r.crc, buf + i * rec, g.writesize);
      r.oob_crc = crc_free(r.oob_crc, buf + i * rec + g.writesize, w.oob_free);
    }
  } else {
    r.crc = crc_erased(crc_any(0, buf, len), sh.data - len);  // the writer pads a short page
  }
  return r;
}

const char *op_word(bool erase) { return erase ? "erase" : "write"; }

// Marks the erase block at offset bad, and says so. @return true when it
// is marked.
bool mark(flash_written *w, uint32_t offset, bool erase) {
  const int number = w->dev->number;
  if (w->marks >= MARK_BAD_LIMIT) {
    report("mark-bad: mtd%d block=0x%08x op=%s limit=%d\n", number, offset, op_word(erase),
           MARK_BAD_LIMIT);
    return false;
  }
  if (mtd_mark_bad(*w->dev, offset) != 0) {
    report("mark-bad: mtd%d block=0x%08x op=%s failed error=%m\n", number, offset, op_word(erase));
    return false;
  }
  w->marks++;
  report("mark-bad: mtd%d block=0x%08x op=%s marked\n", number, offset, op_word(erase));
  return true;
}

int deliver_written(void *ctx, flash_sink *s, const uint8_t *buf, uint32_t len) {
  auto *w = static_cast<flash_written *>(ctx);
  mtd_target *t = &s->target;
  const uint32_t es = w->dev->geo.erasesize;
  for (;;) {
    const uint32_t start = t->offset;
    errno = 0;
    if (s->writer(t, buf, static_cast<int>(len)) >= 0) {
      // NAND: the chunk is one erase block of pages on the good block the
      // writer chose; it ends where the writer stopped. NOR: where it began.
      uint32_t block = w->dev->geo.cls == MTD_CLASS_NAND ? (t->offset - 1) / es * es : start;
      w->records.push_back(digest(*w, buf, len, block));
      if (w->progress.written) w->progress.written(w->progress.ctx, len);
      return 0;
    }
    const int err = errno;
    if (!w->mark_bad || err != EIO) return RES_FAULT;
    int64_t block = good_block_from(*w->dev, start);
    if (block < 0 || block >= w->dev->geo.size || !mark(w, static_cast<uint32_t>(block), false)) {
      errno = err;
      return RES_FAULT;
    }
    t->offset = static_cast<uint32_t>(block) + es;
  }
}

bool erase_failed(void *ctx, uint32_t offset, int err) {
  auto *w = static_cast<flash_written *>(ctx);
  const bool marked = w->mark_bad && err == EIO && mark(w, offset, true);
  errno = err;
  return marked;
}

// The ECC counters, or "-" for both.
struct ecc_view {
  bool known = false;
  mtd_ecc_counts before, after;
  std::string corrected() const {
    return known ? std::to_string(after.corrected - before.corrected) : "-";
  }
  std::string failed() const { return known ? std::to_string(after.failed - before.failed) : "-"; }
};

// The comparison of --skip-unchanged, chunk by chunk as the writer would
// place them.
struct compare_state {
  flash_written layout;      // the device, the mode and the free OOB ranges
  std::vector<uint8_t> buf;  // one erase block
  std::vector<uint8_t> oob;  // one page's OOB bytes
  bool differs = false;
  uint32_t where = 0;  // the first erase block that differs
  uint32_t end = 0;    // where the next erase block after the last chunk begins
  // NAND: the free OOB ranges are known (a raw install leaves them erased),
  // and the ECC counters as the last read left them.
  bool free_known = false;
  bool ecc_known = false;
  mtd_ecc_counts ecc;
};

void differs_at(compare_state *c, uint32_t offset) {
  if (c->differs) return;
  c->differs = true;
  c->where = offset;
}

// Reads n bytes at offset. On NAND the read must also have needed no ECC
// correction and met no uncorrectable step: data that reads equal only
// because the ECC mended it is not what a fresh install leaves (and a code
// the ECC cannot use is not either). @return true when the read is clean.
bool read_clean(compare_state *c, uint32_t offset, uint8_t *buf, uint32_t n) {
  const mtd_device &dev = *c->layout.dev;
  if (mtd_read_at(dev, offset, buf, n) != 0) return false;
  if (dev.geo.cls != MTD_CLASS_NAND) return true;
  mtd_ecc_counts now;
  if (!c->ecc_known || mtd_ecc_count(dev, &now) != 0) return false;
  const bool clean = now.corrected == c->ecc.corrected && now.failed == c->ecc.failed;
  c->ecc = now;
  return clean;
}

// Whether the free OOB bytes of the pages [first, end) of the NAND erase
// block at block are those the writer leaves there: the placed bytes of
// page records (records, one per page from first on; null past them) or
// erased. @return true when they are.
bool oob_as_written(compare_state *c, uint32_t block, uint32_t first, uint32_t end,
                    const uint8_t *records, uint32_t placed) {
  const mtd_geometry &g = c->layout.dev->geo;
  if (!c->free_known) return false;
  const uint32_t rec = g.writesize + g.oobsize;
  for (uint32_t i = first; i < end; i++) {
    if (mtd_read_oob(*c->layout.dev, block + i * g.writesize, c->oob.data(), g.oobsize) != 0)
      return false;
    for (const auto &[off, n] : c->layout.oob_free) {
      const uint8_t *got = c->oob.data() + off;
      if (i - first < placed
              ? std::memcmp(got, records + (i - first) * rec + g.writesize + off, n) != 0
              : !all_erased(got, n))
        return false;
    }
  }
  return true;
}

// The good erase blocks from offset to the end: their page data erased and,
// on NAND, their free OOB bytes too, read clean. @return the first that is
// not (or cannot be read), or -1 when all are.
int64_t first_not_erased(compare_state *c, uint32_t from) {
  const mtd_device &dev = *c->layout.dev;
  const mtd_geometry &g = dev.geo;
  const bool nand = g.cls == MTD_CLASS_NAND;
  uint8_t *buf = c->buf.data();
  for (uint64_t at = from; at < g.size;) {
    uint32_t offset = static_cast<uint32_t>(at);
    uint32_t n =
        static_cast<uint32_t>(std::min<uint64_t>(g.erasesize - at % g.erasesize, g.size - at));
    if (nand) {
      int bad = mtd_block_bad(dev, offset);
      if (bad < 0) return offset;
      if (bad > 0) {
        at += n;
        continue;
      }
    }
    if (!read_clean(c, offset, buf, n) || !all_erased(buf, n)) return offset;
    if (nand) {
      const uint32_t block = offset - offset % g.erasesize;
      const uint32_t first = (offset - block) / g.writesize;
      if (!oob_as_written(c, block, first, g.erasesize / g.writesize, nullptr, 0)) return offset;
    }
    at += n;
  }
  return -1;
}

int deliver_compare(void *ctx, flash_sink *s, const uint8_t *chunk, uint32_t len) {
  auto *c = static_cast<compare_state *>(ctx);
  if (c->differs) return 0;  // the decode runs on; nothing more to compare
  const mtd_device &dev = *c->layout.dev;
  const mtd_geometry &g = dev.geo;
  mtd_target *t = &s->target;
  if (g.cls != MTD_CLASS_NAND) {
    if (len > g.size - std::min(t->offset, g.size) ||
        mtd_read_at(dev, t->offset, c->buf.data(), len) != 0 ||
        std::memcmp(c->buf.data(), chunk, len) != 0) {
      differs_at(c, t->offset - t->offset % g.erasesize);
      return 0;
    }
    t->offset += len;
    c->end = t->offset;
    return 0;
  }
  int64_t block = good_block_from(dev, t->offset);
  if (block < 0 || block >= g.size) {
    differs_at(c, block < 0 ? t->offset : g.size);
    return 0;
  }
  const uint32_t b = static_cast<uint32_t>(block);
  const chunk_shape sh = shape_of(c->layout, len);
  if (!read_clean(c, b, c->buf.data(), g.erasesize)) {
    differs_at(c, b);
    return 0;
  }
  bool equal = all_erased(c->buf.data() + sh.data, g.erasesize - sh.data);
  const bool records = c->layout.mode == WRITE_WITH_OOB;
  if (records) {
    const uint32_t rec = g.writesize + g.oobsize;
    for (uint32_t i = 0; equal && i < sh.pages; i++)
      equal = std::memcmp(c->buf.data() + i * g.writesize, chunk + i * rec, g.writesize) == 0;
  } else {
    equal = equal && std::memcmp(c->buf.data(), chunk, len) == 0 &&
            all_erased(c->buf.data() + len, sh.data - len);
  }
  // The free OOB bytes of every page of the block: those the records place,
  // erased on the rest (and on every page of raw data).
  equal =
      equal && oob_as_written(c, b, 0, g.erasesize / g.writesize, chunk, records ? sh.pages : 0);
  if (!equal) {
    differs_at(c, b);
    return 0;
  }
  t->offset = b + sh.pages * g.writesize;
  c->end = b + g.erasesize;
  return 0;
}

}  // namespace

int flash_written_begin(flash_written *w, const mtd_device &dev, uint32_t blk_type,
                        const install_settings &s) {
  w->dev = &dev;
  const bool nand = dev.geo.cls == MTD_CLASS_NAND;
  w->mode = nand && blk_type == ROM_BLK_TYPE_NAND_OOB ? WRITE_WITH_OOB : WRITE_RAW;
  w->mark_bad = s.mark_bad && nand;
  w->marks = 0;
  w->progress = s.progress;
  w->records.clear();
  if (dev.geo.erasesize) w->records.reserve(dev.geo.size / dev.geo.erasesize);
  if (w->mode == WRITE_WITH_OOB && mtd_oob_free(dev, &w->oob_free) != 0) {
    report("failed to MEMGETOOBSEL,%m\n");
    return RES_FAULT;
  }
  return 0;
}

flash_hook flash_written_hook(flash_written *w) { return {deliver_written, w}; }

mtd_erase_failure flash_written_erase_failure(flash_written *w) { return {erase_failed, w}; }

int read_back_check(const flash_written &w) {
  const mtd_device &dev = *w.dev;
  const mtd_geometry &g = dev.geo;
  ecc_view ecc;
  ecc.known = mtd_ecc_count(dev, &ecc.before) == 0;
  std::vector<uint8_t> buf(g.erasesize), oob(g.oobsize);
  const uint32_t free_per_page = free_bytes(w.oob_free);
  uint64_t compared = 0;
  const char *verdict = "ok";
  int64_t where = -1;
  int err = 0;
  for (const flash_written::record &r : w.records) {
    uint32_t crc = 0, oob_crc = 0;
    bool read = mtd_read_at(dev, r.block, buf.data(), r.length) == 0;
    if (read) crc = crc_any(0, buf.data(), r.length);
    if (read && w.mode == WRITE_WITH_OOB) {
      for (uint32_t page = 0; read && page < r.length / g.writesize; page++) {
        read = mtd_read_oob(dev, r.block + page * g.writesize, oob.data(), g.oobsize) == 0;
        if (read) oob_crc = crc_free(oob_crc, oob.data(), w.oob_free);
      }
    }
    if (!read) {
      err = errno;
      verdict = "unreadable";
      where = r.block;
      break;
    }
    compared += r.length;
    if (w.mode == WRITE_WITH_OOB) compared += uint64_t{r.length / g.writesize} * free_per_page;
    // A step the ECC could not correct differs from what was written even
    // when the data compares equal (its code did not land, or went bad).
    mtd_ecc_counts now;
    const bool ecc_failed =
        ecc.known && mtd_ecc_count(dev, &now) == 0 && now.failed != ecc.before.failed;
    if (crc != r.crc || oob_crc != r.oob_crc || ecc_failed) {
      verdict = "differs";
      where = r.block;
      break;
    }
  }
  ecc.known = ecc.known && mtd_ecc_count(dev, &ecc.after) == 0;
  std::string line = "read-back: mtd" + std::to_string(dev.number) + " " + verdict +
                     " bytes=" + std::to_string(compared) + " ecc-corrected=" + ecc.corrected() +
                     " ecc-failed=" + ecc.failed();
  if (where >= 0) {
    char block[32];
    std::snprintf(block, sizeof block, " block=0x%08" PRIx32, static_cast<uint32_t>(where));
    line += block;
  }
  if (err) line += std::string(" error=") + std::strerror(err);
  report("%s\n", line.c_str());
  return where >= 0 ? RES_FAULT : 0;
}

int unchanged_check(const blk_hdr *blk, int fd, uint64_t offset, uint32_t length,
                    const mtd_device &dev, const flash_layout &lay, const install_settings &s,
                    bool *unchanged) {
  *unchanged = false;
  const mtd_geometry &g = dev.geo;
  // A partition the writer cannot program is left to the install to refuse.
  if (!mtd_geometry_writable(g)) return 0;
  compare_state c;
  install_settings quiet = s;
  quiet.verbose = false;
  quiet.discard = false;
  if (flash_written_begin(&c.layout, dev, blk->type.get(), quiet) < 0) return RES_FAULT;
  c.buf.resize(std::max(g.erasesize, lay.chunk));
  c.oob.resize(g.oobsize);
  if (g.cls == MTD_CLASS_NAND) {
    // Raw data leaves the free OOB bytes erased: the comparison needs to
    // know where they are, and without the counters no read is known clean.
    c.free_known = c.layout.mode == WRITE_WITH_OOB || mtd_oob_free(dev, &c.layout.oob_free) == 0;
    c.ecc_known = mtd_ecc_count(dev, &c.ecc) == 0;
  }
  int r = decode_to_flash(blk, fd, offset, length, dev, lay, -1, quiet, {deliver_compare, &c});
  if (r < 0) return r;
  if (!c.differs) {
    int64_t at = first_not_erased(&c, c.end);
    if (at >= 0) differs_at(&c, static_cast<uint32_t>(at - at % g.erasesize));
  }
  if (c.differs) {
    report("skip-unchanged: mtd%d changed block=0x%08x\n", dev.number, c.where);
  } else {
    report("skip-unchanged: mtd%d unchanged\n", dev.number);
    *unchanged = true;
  }
  return r;
}

}  // namespace korvane
