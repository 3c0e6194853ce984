// SPDX-License-Identifier: MIT
#include "bench/install_mem_nand.h"

// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace korvane {
namespace {

mem_nand *dev = nullptr;
int dev_fd = -1;  // a real descriptor (of /dev/null) that stands for the device
uint64_t pos = 0;
const platform_ops *previous = nullptr;

int fail(int err) {
  errno = err;
  return -1;
}

// Flash programming clears bits only: new = old AND data (eight bytes at a
// time; pages are multiples of eight).
void program(uint8_t *to, const uint8_t *from, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t a, b;
    std::memcpy(&a, to + i, 8);
    std::memcpy(&b, from + i, 8);
    a &= b;
    std::memcpy(to + i, &a, 8);
  }
  for (; i < n; ++i) to[i] &= from[i];
}

int mem_open(const char *path, int flags, mode_t mode) {
  if (std::strcmp(path, "/dev/mtd0") != 0) return platform_linux.open(path, flags, mode);
  if (dev_fd >= 0) return fail(EBUSY);
  dev_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  pos = 0;
  return dev_fd;
}

int mem_close(int fd) {
  if (fd == dev_fd) dev_fd = -1;
  return ::close(fd);
}

ssize_t mem_write(int fd, const void *buf, size_t n) {
  if (fd != dev_fd) return ::write(fd, buf, n);
  if (pos >= dev->size) return fail(ENOSPC);
  if (pos % dev->writesize || n % dev->writesize) return fail(EINVAL);
  if (n > dev->size - pos) n = dev->size - pos;
  if (dev->store) program(dev->data.data() + pos, static_cast<const uint8_t *>(buf), n);
  pos += n;
  return static_cast<ssize_t>(n);
}

// Reads return what is stored (erased bytes when the device drops data).
ssize_t mem_read(int fd, void *buf, size_t n) {
  if (fd != dev_fd) return ::read(fd, buf, n);
  if (pos >= dev->size) return 0;
  if (n > dev->size - pos) n = dev->size - pos;
  if (dev->store) std::memcpy(buf, dev->data.data() + pos, n);
  else std::memset(buf, 0xFF, n);
  pos += n;
  return static_cast<ssize_t>(n);
}

off_t mem_lseek(int fd, off_t offset, int whence) {
  if (fd != dev_fd) return ::lseek(fd, offset, whence);
  if (whence != SEEK_SET || offset < 0) return fail(EINVAL);
  pos = static_cast<uint64_t>(offset);
  return offset;
}

int mem_ioctl(int fd, unsigned long request, void *arg) {
  if (fd != dev_fd) return platform_linux.ioctl(fd, request, arg);
  switch (request) {
    case MEMGETINFO: {
      auto *info = static_cast<mtd_info_user *>(arg);
      std::memset(info, 0, sizeof *info);
      info->type = MTD_NANDFLASH;
      info->size = dev->size;
      info->erasesize = dev->erasesize;
      info->writesize = dev->writesize;
      info->oobsize = dev->oobsize;
      return 0;
    }
    case MEMERASE: {
      auto *e = static_cast<erase_info_user *>(arg);
      if (e->start % dev->erasesize || e->length != dev->erasesize || e->start >= dev->size)
        return fail(EINVAL);
      if (dev->store) {
        std::memset(dev->data.data() + e->start, 0xFF, e->length);
        size_t pages = e->length / dev->writesize;
        std::memset(dev->oob.data() + size_t{e->start / dev->writesize} * dev->oobsize, 0xFF,
                    pages * dev->oobsize);
      }
      return 0;
    }
    case MEMGETBADBLOCK:
      return *static_cast<long long *>(arg) < dev->size ? 0 : fail(EINVAL);
    case MEMGETOOBSEL: {
      auto *oi = static_cast<nand_oobinfo *>(arg);
      std::memset(oi, 0, sizeof *oi);
      oi->useecc = MTD_NANDECC_AUTOPLACE;
      oi->oobfree[0][0] = 2;
      oi->oobfree[0][1] = 38;
      return 0;
    }
    case MEMWRITEOOB: {
      auto *b = static_cast<mtd_oob_buf *>(arg);
      uint32_t page = b->start / dev->writesize;
      if (b->length > dev->oobsize || b->start >= dev->size) return fail(EINVAL);
      if (dev->store) program(dev->oob.data() + size_t{page} * dev->oobsize, b->ptr, b->length);
      return 0;
    }
    default:
      return fail(ENOTTY);
  }
}

platform_ops table;

}  // namespace

int mem_nand_install(mem_nand *d) {
  if (dev || !d || !d->size || d->size % d->erasesize || d->erasesize % d->writesize) return -1;
  dev = d;
  if (d->store) {
    d->data.assign(d->size, 0xFF);
    d->oob.assign(size_t{d->size / d->writesize} * d->oobsize, 0xFF);
  }
  table = platform_linux;
  table.name = "mem-nand";
  table.open = mem_open;
  table.close = mem_close;
  table.write = mem_write;
  table.read = mem_read;
  table.lseek = mem_lseek;
  table.ioctl = mem_ioctl;
  previous = platform_install(&table);
  return 0;
}

void mem_nand_remove() {
  if (!dev) return;
  platform_install(previous);
  dev = nullptr;
}

}  // namespace korvane
