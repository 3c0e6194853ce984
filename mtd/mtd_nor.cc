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

int nor_write_buffer_skipping_erased(mtd_target *t, const uint8_t *buf, int len) {
  const mtd_geometry &g = t->dev->geo;
  const uint32_t ws = g.writesize;
  // Whatever nor_write_buffer would refuse or send elsewhere it does
  // itself, with its own words.
  if (t->out_fd > 0 || len <= 0 || ws == 0 || len % static_cast<int>(ws) != 0 ||
      t->offset >= g.size || static_cast<uint32_t>(len) > g.size - t->offset)
    return nor_write_buffer(t, buf, len);

  const uint32_t units = static_cast<uint32_t>(len) / ws;
  const uint32_t min_gap = std::max<uint32_t>(1, (NOR_SKIP_MIN_GAP + ws - 1) / ws);
  auto erased = [&](uint32_t u) { return mtd_all_erased(buf + size_t(u) * ws, ws); };
  const uint32_t base = t->offset;
  for (uint32_t u = 0; u < units;) {
    if (erased(u)) {
      u++;
      continue;
    }
    // A run from u up to a gap of min_gap erased units or the end.
    uint32_t end = u + 1, gap = 0;
    for (uint32_t v = end; v < units && gap < min_gap; v++) {
      if (erased(v)) {
        gap++;
      } else {
        gap = 0;
        end = v + 1;
      }
    }
    t->offset = base + u * ws;
    const int r = nor_write_buffer(t, buf + size_t(u) * ws, static_cast<int>((end - u) * ws));
    if (r != RES_OK) return r;
    u = end;
  }
  t->offset = base + units * ws;
  return RES_OK;
}

}  // namespace korvane
