// SPDX-License-Identifier: MIT
#include "mtd/mtd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "mtd/mtd_abi.h"
#include "platform/platform.h"
#include "rom/checksum.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

constexpr uint16_t JFFS2_MAGIC = 0x1985;
constexpr uint16_t JFFS2_NODETYPE_CLEANMARKER = 0x2003;
constexpr uint32_t CLEANMARKER_NOR = 12;  // totlen: the whole node
constexpr uint32_t CLEANMARKER_NAND = 8;  // totlen: the node without its CRC

// The node header, stored little-endian whatever the host (the board's
// order). Kept as words so the CRC sees a 4-byte aligned buffer.
struct jffs2_cleanmarker {
  uint32_t words[3];
};
static_assert(sizeof(jffs2_cleanmarker) == 12);

void put_le16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

jffs2_cleanmarker make_cleanmarker(uint32_t totlen) {
  jffs2_cleanmarker node{};
  auto *b = reinterpret_cast<uint8_t *>(node.words);
  put_le16(b, JFFS2_MAGIC);
  put_le16(b + 2, JFFS2_NODETYPE_CLEANMARKER);
  put_le32(b + 4, totlen);
  put_le32(b + 8, crc32(0, node.words, 8));  // the header CRC covers bytes 0 to 7
  return node;
}

struct placement {
  uint32_t pos = 0;
  uint32_t len = 8;
};

// Where the cleanmarker goes in a NAND page's OOB area. @return false when
// autoplacement leaves no room (message printed).
bool choose_placement(const nand_oobinfo &oi, uint32_t oobsize, placement *p) {
  if (oi.useecc == MTD_NANDECC_AUTOPLACE) {
    if (oi.oobfree[0][1] == 0) {
      report("Eeep. Autoplacement selected and no empty space in oob\n");
      return false;
    }
    p->pos = oi.oobfree[0][0];
    p->len = oi.oobfree[0][1] < 8 ? oi.oobfree[0][1] : 8;
    return true;
  }
  switch (oobsize) {
    case 8:
      *p = {6, 2};
      break;
    case 16:
      *p = {8, 8};
      break;
    case 64:
      *p = {16, 8};
      break;
    default:
      break;  // (0, 8)
  }
  return true;
}

}  // namespace

int mtd_close(int fd) {
  if (fd > 0) plat().close(fd);
  return 0;
}

int mtd_open(mtd_device *dev, int number, mtd_access access) {
  dev->fd.reset();
  dev->number = number;
  dev->path = "/dev/mtd" + std::to_string(number);
  dev->geo = {};
  int fd = plat().open(dev->path.c_str(), access == mtd_access::read_only ? O_RDONLY : O_RDWR, 0);
  if (fd < 0) return -1;
  dev->fd.reset(fd);
  return 0;
}

int mtd_query(mtd_device *dev) { return mtd_get_geometry(dev->fd.fd, &dev->geo); }

int mtd_get_geometry(int fd, mtd_geometry *geo) {
  *geo = {};
  mtd_info_user info{};
  if (plat().ioctl(fd, MEMGETINFO, &info) != 0) {
    report("failed to MEMGETINFO mtd %m\n");
    return -1;
  }
  geo->cls = info.type == MTD_NANDFLASH ? MTD_CLASS_NAND : MTD_CLASS_NOR;
  geo->size = info.size;
  geo->erasesize = info.erasesize;
  geo->writesize = info.writesize;
  geo->oobsize = info.oobsize;
  geo->writeable = (info.flags & MTD_WRITEABLE) != 0;
  return geo->cls;
}

void mtd_note_programming(const mtd_device &dev, const std::string &block_name) {
  if (plat().programming) plat().programming(dev.number, block_name.c_str());
}

int mtd_block_bad(const mtd_device &dev, uint32_t offset) {
  loff_t where = offset;
  int bad = plat().ioctl(dev.fd.fd, MEMGETBADBLOCK, &where);
  return bad < 0 ? -1 : bad > 0 ? 1 : 0;
}

int mtd_oob_layout(const mtd_device &dev) {
  nand_oobinfo oi{};
  return plat().ioctl(dev.fd.fd, MEMGETOOBSEL, &oi) != 0 ? -1 : 0;
}

bool mtd_geometry_writable(const mtd_geometry &g) {
  if (g.cls == MTD_CLASS_NAND) {
    return nand_geometry_accepted(g.writesize, g.oobsize) && g.erasesize != 0 &&
           (g.erasesize & (g.erasesize - 1)) == 0 && g.erasesize % g.writesize == 0;
  }
  return g.cls == MTD_CLASS_NOR && g.writesize != 0 && g.erasesize != 0 &&
         g.erasesize % g.writesize == 0;
}

bool mtd_all_erased(const uint8_t *buf, size_t len) {
  // Word by word: this runs over whole erase blocks.
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, buf + i, 8);
    if (w != ~uint64_t{0}) return false;
  }
  for (; i < len; i++) {
    if (buf[i] != 0xFF) return false;
  }
  return true;
}

int mtd_reads_erased(int fd, uint32_t offset, uint8_t *buf, uint32_t len) {
  if (plat().lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return -1;
  for (uint32_t got = 0; got < len;) {
    const ssize_t n = plat().read(fd, buf + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return -1;
    got += static_cast<uint32_t>(n);
  }
  return mtd_all_erased(buf, len) ? 1 : 0;
}

namespace {

int erase_range(int fd, uint32_t start, uint32_t end, int mode, int verbose,
                const mtd_erase_failure *on_failure, mtd_erase_counts *skip_counts) {
  mtd_info_user info{};
  if (plat().ioctl(fd, MEMGETINFO, &info) != 0) {
    report("failed to MEMGETINFO mtd %m\n");
    return RES_BAD;
  }
  if (info.erasesize == 0) {
    // The walk steps by the erase size: a device that reports none cannot
    // be erased block by block.
    report("invalid mtd erase size,%u\n", info.erasesize);
    return RES_BAD;
  }
  if (start > info.size) start = 0;
  if (end > info.size) end = info.size;
  const bool nand = info.type == MTD_NANDFLASH;
  const bool cleanmarkers = mode == ERASE_CLEANMARKER;

  placement place;
  jffs2_cleanmarker node{};
  if (cleanmarkers) {
    if (nand) {
      nand_oobinfo oi{};
      if (plat().ioctl(fd, MEMGETOOBSEL, &oi) != 0) {
        report("failed to MEMGETOOBSEL mtd %m\n");
        return RES_BAD;
      }
      if (!choose_placement(oi, info.oobsize, &place)) return RES_BAD;
    }
    node = make_cleanmarker(nand ? CLEANMARKER_NAND : CLEANMARKER_NOR);
  }

  // Only NOR without cleanmarkers can leave a block that reads erased.
  std::vector<uint8_t> scratch;
  if (skip_counts && !nand && !cleanmarkers) scratch.resize(info.erasesize);

  bool check_bad = true;
  bool erase_failed = false;
  // 64-bit so that a range ending near 4 GiB cannot wrap around.
  for (uint64_t at = start; at < end; at += info.erasesize) {
    const uint32_t offset = static_cast<uint32_t>(at);
    if (check_bad) {
      loff_t where = offset;
      int bad = plat().ioctl(fd, MEMGETBADBLOCK, &where);
      if (bad > 0) {
        if (verbose) report("Skipping bad block at 0x%08x\n", offset);
        continue;
      }
      if (bad < 0) {
        if (errno != EOPNOTSUPP) {
          report("MTD get bad block failed: %m\n");
          return RES_BAD;
        }
        check_bad = false;
        if (nand) {
          report("Bad block check not available\n");
          return RES_BAD;
        }
      }
    }

    if (!scratch.empty() && mtd_reads_erased(fd, offset, scratch.data(), info.erasesize) == 1) {
      skip_counts->skipped++;
      if (verbose) report("Skipping erased block at 0x%08x\n", offset);
      continue;
    }
    if (verbose) {
      report("\rErasing %d Kibyte @ %x -- %2llu %% complete.",
             static_cast<int>(info.erasesize >> 10), offset,
             static_cast<unsigned long long>(uint64_t(offset) * 100 / info.size));
    }
    erase_info_user erase{offset, info.erasesize};
    if (plat().ioctl(fd, MEMERASE, &erase) != 0) {
      // The walk goes on, but a block left unerased fails the whole erase:
      // data programmed over it would not read back as written.
      const int err = errno;
      report("MTD Erase failure: %m\n");
      if (!on_failure || !on_failure->handle(on_failure->ctx, offset, err)) erase_failed = true;
      continue;
    }
    if (skip_counts) skip_counts->erased++;

    if (!cleanmarkers) continue;
    if (nand) {
      mtd_oob_buf oob{offset + place.pos, place.len, reinterpret_cast<unsigned char *>(node.words)};
      if (plat().ioctl(fd, MEMWRITEOOB, &oob) != 0) {
        report("MTD writeoob failure: %m\n");
        continue;
      }
    } else {
      if (plat().lseek(fd, offset, SEEK_SET) < 0) {
        report("MTD lseek failure: %m\n");
        continue;
      }
      if (plat().write(fd, node.words, sizeof node) != static_cast<ssize_t>(sizeof node)) {
        report("MTD write failure: %m\n");
        continue;
      }
    }
    if (verbose) report("\nCleanmarker written at %x.\n", offset);
  }
  if (verbose) report("\n");
  return erase_failed ? RES_BAD : RES_OK;
}

}  // namespace

int mtd_erase(int fd, uint32_t start, uint32_t end, int mode, int verbose,
              const mtd_erase_failure *on_failure) {
  return erase_range(fd, start, end, mode, verbose, on_failure, nullptr);
}

int mtd_erase_skipping_erased(int fd, uint32_t start, uint32_t end, int mode, int verbose,
                              const mtd_erase_failure *on_failure, mtd_erase_counts *counts) {
  mtd_erase_counts own;
  return erase_range(fd, start, end, mode, verbose, on_failure, counts ? counts : &own);
}

}  // namespace korvane
