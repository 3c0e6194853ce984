// SPDX-License-Identifier: MIT
#include "mtd/mtd_read.h"

#include <unistd.h>

#include <cerrno>

#include "mtd/mtd_abi.h"
#include "platform/platform.h"

namespace korvane {

int mtd_read_at(const mtd_device &dev, uint32_t offset, uint8_t *buf, uint32_t len) {
  if (plat().lseek(dev.fd.fd, static_cast<off_t>(offset), SEEK_SET) < 0) return -1;
  while (len) {
    ssize_t n = plat().read(dev.fd.fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) {  // the device ended before the range did
      errno = EIO;
      return -1;
    }
    buf += n;
    len -= static_cast<uint32_t>(n);
  }
  return 0;
}

int mtd_read_oob(const mtd_device &dev, uint32_t page_offset, uint8_t *buf, uint32_t len) {
  mtd_oob_buf oob{page_offset, len, buf};
  return plat().ioctl(dev.fd.fd, MEMREADOOB, &oob) != 0 ? -1 : 0;
}

int mtd_ecc_count(const mtd_device &dev, mtd_ecc_counts *counts) {
  ::mtd_ecc_stats st{};
  if (plat().ioctl(dev.fd.fd, ECCGETSTATS, &st) != 0) return -1;
  counts->corrected = st.corrected;
  counts->failed = st.failed;
  return 0;
}

int mtd_mark_bad(const mtd_device &dev, uint32_t offset) {
  loff_t where = offset;
  return plat().ioctl(dev.fd.fd, MEMSETBADBLOCK, &where) != 0 ? -1 : 0;
}

int mtd_oob_free(const mtd_device &dev, std::vector<std::pair<uint32_t, uint32_t>> *ranges) {
  ranges->clear();
  nand_oobinfo oi{};
  if (plat().ioctl(dev.fd.fd, MEMGETOOBSEL, &oi) != 0) return -1;
  const uint32_t oobsize = dev.geo.oobsize;
  for (int i = 0; i < 8 && oi.oobfree[i][1] != 0; i++) {
    uint32_t off = oi.oobfree[i][0], len = oi.oobfree[i][1];
    if (off >= oobsize) continue;
    if (len > oobsize - off) len = oobsize - off;
    ranges->emplace_back(off, len);
  }
  return 0;
}

}  // namespace korvane
