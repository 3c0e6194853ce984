// SPDX-License-Identifier: MIT
#include "rom/load.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

constexpr uint32_t VERIFY_CHUNK = 65536;

uint32_t field_at(const void *hdr, size_t offset) {
  be32 f;
  std::memcpy(&f, static_cast<const uint8_t *>(hdr) + offset, sizeof f);
  return f.get();
}

}  // namespace

int rom_check_hdr(void *hdr, uint32_t avail) {
  uint32_t magic = field_at(hdr, offsetof(rom_hdr, magic));
  uint32_t hsize = field_at(hdr, offsetof(rom_hdr, hsize));
  if (avail < hsize) {
    report("rom or block file too small,%d<%d\n", static_cast<int>(avail), static_cast<int>(hsize));
    return RES_FAULT;
  }
  const char *what;
  int kind;
  if (magic == ROM_MAGIC) {
    what = "rom";
    kind = ROM_CHECK_ROM;
  } else if (magic == BLK_MAGIC) {
    what = "blk";
    kind = ROM_CHECK_BLK;
  } else {
    report("invalid magic=0x%08x\n", magic);
    return ROM_CHECK_BAD_MAGIC;
  }
  uint32_t stored = field_at(hdr, HDR_HCRC_OFFSET);
  std::memset(static_cast<uint8_t *>(hdr) + HDR_HCRC_OFFSET, 0, 4);
  uint32_t computed = crc32(0, hdr, hsize);
  if (stored != computed) {
    report("invalid %s hdr crc,0x%08x!=0x%08x\n", what, stored, computed);
    return RES_BAD;
  }
  return kind;
}

int rom_open(const char *path, int *fd, uint64_t *size, int open_flags) {
  // Not blocking in open(): a FIFO would wait there for a writer forever.
  // Reads block again as they always did.
  unique_fd file{open(path, open_flags | O_NONBLOCK, 0644)};
  if (file.fd < 0) {
    report("failed to open rom or block,%m,%s\n", path);
    return RES_INVAL;
  }
  if (!(open_flags & O_NONBLOCK)) fcntl(file.fd, F_SETFL, fcntl(file.fd, F_GETFL) & ~O_NONBLOCK);
  struct stat st;
  if (fstat(file.fd, &st) < 0) {
    report("failed to fstat rom or block,%m,%s\n", path);
    return RES_BAD;
  }
  if (lseek(file.fd, 0, SEEK_SET) < 0) {
    report("failed to seek file,%m,%s\n", path);
    return RES_BAD;
  }
  rom_hdr hdr;
  errno = 0;  // a short file is no system error: "%m" then says so
  if (read_full(file.fd, &hdr, sizeof hdr) != static_cast<ssize_t>(sizeof hdr)) {
    report("failed to read rom or block,size=%d,%m,%s\n", static_cast<int>(sizeof hdr), path);
    return RES_BAD;
  }
  int r = rom_check_hdr(&hdr, sizeof hdr);
  if (r == RES_BAD) {
    report("failed to check file,%s\n", path);
    return RES_BAD;
  }
  if (fd && size) {
    *fd = file.release();
    *size = static_cast<uint64_t>(st.st_size);
  }
  return r;
}

int rom_close(int fd) { return close_positive(fd); }

int rom_map(const char *path, void **addr, size_t *len, int prot) {
  int fd = -1;
  uint64_t size = 0;
  int r = rom_open(path, &fd, &size, O_RDWR);
  if (r == RES_BAD || r == RES_INVAL) return RES_BAD;
  unique_fd file{fd};
  void *map = MAP_FAILED;
  if (size > SIZE_MAX) {
    errno = EFBIG;  // a file larger than the address space cannot be mapped whole
  } else {
    map = mmap(nullptr, static_cast<size_t>(size), prot, MAP_SHARED, file.fd, 0);
  }
  if (map == MAP_FAILED) {
    report("failed to mmap rom,%m,%s\n", path);
    return RES_BAD;
  }
  if (addr && len) {
    *addr = map;
    *len = static_cast<size_t>(size);
  } else {
    munmap(map, static_cast<size_t>(size));
  }
  return r;  // the mapping outlives the descriptor
}

int rom_unmap(void *addr, size_t len) {
  if (addr && len > 0) munmap(addr, len);
  return 0;
}

int rom_verify_blk(const void *blk, int fd, uint64_t offset, uint32_t length, bool quiet) {
  if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    if (!quiet) report("failed to seek verify file,%m\n");
    return RES_FAULT;
  }
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[VERIFY_CHUNK]);
  if (!buf) {
    if (!quiet) report("failed to malloc,%d\n", static_cast<int>(VERIFY_CHUNK));
    return RES_FAULT;
  }
  uint32_t kind = field_at(blk, offsetof(blk_hdr, flags)) & ROM_VERIFY_MASK;
  if (kind != ROM_VERIFY_CRC && kind != ROM_VERIFY_CHECKSUM) return 0;
  auto step = kind == ROM_VERIFY_CRC ? crc32 : sum32;

  uint32_t value = 0;
  uint32_t done = 0;
  while (done < length) {
    size_t want = std::min(length - done, VERIFY_CHUNK);
    ssize_t n = read_some(fd, buf.get(), want);
    if (n < 0 && errno == EINTR) continue;
    // The payload ends before its length: the block is cut short, and a walk
    // that waited for more would never end.
    if (n < 0) {
      if (!quiet) report("failed to read verify file,payload is short,%u<%u,%m\n", done, length);
      return RES_FAULT;
    }
    if (n == 0) {
      if (!quiet) report("verify payload is short,%u<%u\n", done, length);
      return RES_FAULT;
    }
    value = step(value, buf.get(), static_cast<uint32_t>(n));
    done += static_cast<uint32_t>(n);
  }
  uint32_t stored = field_at(blk, offsetof(blk_hdr, verify));
  if (value != stored) {
    if (!quiet) report("invalid verify,0x%08x!=0x%08x\n", value, stored);
    return RES_FAULT;
  }
  return 0;
}

}  // namespace korvane
