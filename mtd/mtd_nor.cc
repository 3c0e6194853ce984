// SPDX-License-Identifier: MIT
#include <unistd.h>

#include "mtd/mtd.h"
#include "mtd/mtd_abi.h"
#include "platform/platform.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {

int nor_write_buffer(mtd_target *t, const uint8_t *buf, int len) {
  const int fd = t->dev->fd.fd, outfd = t->out_fd;
  uint32_t *offset = &t->offset;
  mtd_info_user info{};
  if (plat().ioctl(fd, MEMGETINFO, &info) != 0) {
    report("failed to MEMGETINFO,%m\n");
    return RES_IO;
  }
  const uint32_t size = info.size, writesize = info.writesize;
  if (writesize == 0 || len % static_cast<int>(writesize) != 0) {
    report("buffer not writesize aligned, bufleft = %d,writesize = %d\n", len,
           static_cast<int>(writesize));
    return RES_INVAL;
  }
  // Unsigned, as the device end is: an offset past the end passes here and
  // fails below with nothing written.
  if (static_cast<uint32_t>(len / static_cast<int>(writesize)) * writesize > size - *offset) {
    report("buffer outof range,buffer=%u bytes,writesize=%u,device size=%u\n",
           static_cast<unsigned>(len), writesize, size);
    return RES_INVAL;
  }

  const int out = outfd > 0 ? outfd : fd;
  uint64_t pos = *offset;
  const uint8_t *p = buf;
  int left = len;
  while (left > 0 && pos < size) {
    if (plat().lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) {
      report("failed to lseek,%m\n");
      return RES_IO;
    }
    if (plat().write(out, p, writesize) < 0) {
      report("failed to write,%m\n");
      return RES_IO;
    }
    p += writesize;
    pos += writesize;
    left -= static_cast<int>(writesize);
  }

  *offset = static_cast<uint32_t>(pos);
  if (left > 0) {
    report("Data did not fit into device, io failed,lef=%d,writesize=%d\n", left,
           static_cast<int>(writesize));
    return RES_FAULT;
  }
  return RES_OK;
}

}  // namespace korvane
