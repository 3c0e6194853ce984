// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <cstring>

#include "mtd/mtd.h"
#include "mtd/mtd_abi.h"
#include "platform/platform.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

constexpr uint32_t MAX_PAGE = 2048;
constexpr uint32_t MAX_OOB = 64;

// The padded last page of a raw write, and the OOB image of the current page.
uint8_t page_pad_buffer[MAX_PAGE];
uint8_t oob_buffer[MAX_OOB];

// Copies the free ranges of a page's OOB bytes into oob_buffer; the list
// ends at the first empty range. A range reaching past the OOB area is cut
// at its end, so a strange layout cannot write outside the buffer.
void place_oob(const nand_oobinfo &oi, const uint8_t *oob, uint32_t oobsize) {
  for (int i = 0; i < 8 && oi.oobfree[i][1] != 0; i++) {
    uint32_t off = oi.oobfree[i][0], len = oi.oobfree[i][1];
    if (off >= oobsize) continue;
    if (len > oobsize - off) len = oobsize - off;
    std::memcpy(oob_buffer + off, oob + off, len);
  }
}

}  // namespace

int nand_write_buffer(mtd_target *t, const uint8_t *buf, int len) {
  const int fd = t->dev->fd.fd;
  const int mode = t->mode, verbose = t->verbose, outfd = t->out_fd;
  uint32_t *offset = &t->offset;
  if (mode != WRITE_RAW && mode != WRITE_WITH_OOB) {
    report("Unknown data type.\n");
    return RES_BAD;
  }
  const bool with_oob = mode == WRITE_WITH_OOB;

  mtd_info_user info{};
  if (plat().ioctl(fd, MEMGETINFO, &info) != 0) {
    report("failed to MEMGETINFO,%m\n");
    return RES_BAD;
  }
  if (!nand_geometry_accepted(info.writesize, info.oobsize)) {
    report("Unknown flash (not normal NAND)\n");
    return RES_BAD;
  }
  const uint32_t size = info.size, erasesize = info.erasesize;
  const uint32_t writesize = info.writesize, oobsize = info.oobsize;

  nand_oobinfo oi{};
  if (with_oob) {
    if (plat().ioctl(fd, MEMGETOOBSEL, &oi) != 0) {
      report("failed to MEMGETOOBSEL,%m\n");
      return RES_BAD;
    }
    std::memset(oob_buffer, 0xFF, sizeof oob_buffer);
  }

  const int pagelen = static_cast<int>(with_oob ? writesize + oobsize : writesize);
  if (with_oob && len % pagelen != 0) {
    report("buffer not page aligned, bufleft = %d,pagelen = %d\n", len, pagelen);
    return RES_BAD;
  }
  if (static_cast<uint32_t>(len / pagelen) * writesize > size - *offset) {
    report("Image %d bytes, NAND page %d bytes, OOB area %u bytes, device size %u bytes\n", len,
           pagelen, writesize, size);
    return RES_BAD;
  }

  const int out = outfd > 0 ? outfd : fd;
  const uint64_t block_mask = ~uint64_t(erasesize - 1);
  uint64_t block_start = UINT64_MAX;  // none yet: the first page always checks its block
  uint64_t pos = *offset;
  const uint8_t *p = buf;
  int left = len;
  while (left > 0 && pos < size) {
    bool at_end = false;
    while (block_start != (pos & block_mask)) {
      if (pos >= size) {  // the walk stops at the device end
        at_end = true;
        break;
      }
      block_start = pos & block_mask;
      const uint32_t blk = static_cast<uint32_t>(block_start);
      if (verbose) {
        report("Writing data to offset 0x%08x:0x%08x,%s\n", *offset, blk,
               with_oob ? "with oob" : "raw");
      }
      loff_t where = blk;
      int bad = plat().ioctl(fd, MEMGETBADBLOCK, &where);
      if (bad < 0) {
        report("failed to MEMGETBADBLOCK,%m\n");
        return RES_BAD;
      }
      if (bad == 1) {
        report("Bad block at %x, from %x will be skipped\n", blk, blk);
        pos = block_start + erasesize;
      }
    }
    if (at_end) break;

    const uint8_t *page = p;
    int used = pagelen;
    if (left < static_cast<int>(writesize)) {  // raw mode only: OOB lengths are whole records
      std::memcpy(page_pad_buffer, p, static_cast<size_t>(left));
      std::memset(page_pad_buffer + left, 0xFF, writesize - static_cast<uint32_t>(left));
      page = page_pad_buffer;
      used = left;
    }

    if (with_oob) {
      place_oob(oi, p + writesize, oobsize);
      if (out == fd) {
        mtd_oob_buf oob{static_cast<uint32_t>(pos), oobsize, oob_buffer};
        if (plat().ioctl(fd, MEMWRITEOOB, &oob) != 0) {
          report("failed to MEMWRITEOOB,%m\n");
          return RES_BAD;
        }
      }
    }
    if (plat().lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) {
      report("failed to lseek,%m\n");
      return RES_BAD;
    }
    if (plat().write(out, page, writesize) < 0) {
      report("failed to write,%m\n");
      return RES_BAD;
    }
    if (with_oob && out != fd && plat().write(out, oob_buffer, oobsize) < 0) {
      report("failed to write,%m\n");
      return RES_BAD;
    }
    pos += writesize;
    p += used;
    left -= used;
  }

  *offset = static_cast<uint32_t>(pos);
  if (left > 0) {
    report("Data did not fit into device, due to bad blocks\n");
    return RES_BAD;
  }
  return RES_OK;
}

bool nand_geometry_accepted(uint32_t writesize, uint32_t oobsize) {
  return (writesize == 512 && oobsize == 16) || (writesize == 256 && oobsize == 8) ||
         (writesize == 2048 && oobsize == 64);
}

}  // namespace korvane
