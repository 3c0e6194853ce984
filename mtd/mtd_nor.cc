// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <algorithm>

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
  // Every unit that starts before the device end, in one run: one seek and
  // one write where a unit at a time took one of each (one system call per
  // byte on most NOR). A short count is not an error, as it was not when
  // every unit had a write of its own: the unit the device stopped in stays
  // as it is, and the run goes on with the next one.
  while (left > 0 && pos < size) {
    const uint64_t to_end = (size - pos + writesize - 1) / writesize;
    const uint64_t units = std::min<uint64_t>(static_cast<uint32_t>(left) / writesize, to_end);
    const size_t run = static_cast<size_t>(units * writesize);
    if (plat().lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) {
      report("failed to lseek,%m\n");
      return RES_IO;
    }
    const ssize_t written = plat().write(out, p, run);
    if (written < 0) {
      report("failed to write,%m\n");
      return RES_IO;
    }
    // Up to the end of the unit the device stopped in; a unit it did not
    // start gets a write of its own, unless nothing was taken at all.
    size_t done = static_cast<size_t>(written);
    if (done == 0) done = writesize;
    done = (done + writesize - 1) / writesize * writesize;
    p += done;
    pos += done;
    left -= static_cast<int>(done);
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
