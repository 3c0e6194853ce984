// SPDX-License-Identifier: MIT
#include "rom/scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "rom/checksum.h"
#include "rom/result.h"
#include "rom/walk.h"

namespace korvane {
namespace {}  // namespace

const char *verify_kind_name(uint32_t flags) {
  switch (flags & ROM_VERIFY_MASK) {
    case ROM_VERIFY_CRC:
      return "crc";
    case ROM_VERIFY_CHECKSUM:
      return "checksum";
    default:
      return "none";
  }
}

int image_scan_open(const char *path, unique_fd *fd, image_scan *scan, std::string *error) {
  *scan = image_scan{};
  fd->fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd->fd < 0 || fstat(fd->fd, &st) != 0) {
    *error = std::string("cannot open it: ") + std::strerror(errno);
    return -1;
  }
  scan->size = static_cast<uint64_t>(st.st_size);
  alignas(4) uint8_t first[ROM_HDR_SIZE];
  if (scan->size < ROM_HDR_SIZE || !read_at(fd->fd, first, sizeof first, 0)) {
    *error = "not a rom image or block file: " + std::to_string(scan->size) +
             " bytes, less than a header";
    return -1;
  }
  uint32_t magic = reinterpret_cast<const be32 *>(first)->get();
  uint64_t offset = 0;
  if (magic == ROM_MAGIC) {
    scan->kind = ROM_CHECK_ROM;
    std::memcpy(&scan->rom, first, sizeof scan->rom);
    uint32_t hsize = scan->rom.hsize.get();
    if (hsize > ROM_HDR_SIZE) {
      *error = "its rom header size " + std::to_string(hsize) + " is larger than a header";
      return -1;
    }
    std::memset(first + HDR_HCRC_OFFSET, 0, 4);
    scan->rom_hcrc_ok = crc32(0, first, hsize) == scan->rom.hcrc.get();
    offset = hsize;
  } else if (magic == BLK_MAGIC) {
    scan->kind = ROM_CHECK_BLK;
  } else {
    char buf[64];
    std::snprintf(buf, sizeof buf, "not a rom image or block file (magic 0x%08x)", magic);
    *error = buf;
    return -1;
  }

  for (uint32_t index = 0;; ++index) {
    scan->end_offset = offset;
    if (offset + ROM_HDR_SIZE > scan->size) {
      scan->end = SCAN_END_FILE;
      break;
    }
    alignas(4) uint8_t buf[ROM_BLK_HSIZE_MAX] = {};
    if (!read_at(fd->fd, buf, ROM_HDR_SIZE, offset)) {
      *error = std::string("cannot read it: ") + std::strerror(errno);
      return -1;
    }
    scan_block b{};
    b.index = index;
    b.offset = offset;
    std::memcpy(&b.hdr, buf, sizeof b.hdr);
    uint32_t hsize = b.hsize();
    if (hsize > ROM_BLK_HSIZE_MAX) {
      scan->end = SCAN_END_HEADER_SIZE;
      break;
    }
    if (hsize > ROM_HDR_SIZE) {
      // Bytes past the end of the file stay zero, as in korvane's walk.
      uint64_t in_file =
          std::min<uint64_t>(hsize - ROM_HDR_SIZE, scan->size - offset - ROM_HDR_SIZE);
      if (!read_at(fd->fd, buf + ROM_HDR_SIZE, static_cast<size_t>(in_file),
                   offset + ROM_HDR_SIZE)) {
        *error = std::string("cannot read it: ") + std::strerror(errno);
        return -1;
      }
    }
    std::memset(buf + HDR_HCRC_OFFSET, 0, 4);
    b.hcrc_ok = crc32(0, buf, hsize) == b.hdr.hcrc.get();
    b.complete = b.payload() + b.length() <= scan->size;
    scan->blocks.push_back(b);
    uint32_t total = b.hdr.total.get();
    if (total < ROM_HDR_SIZE) {
      scan->end = SCAN_END_TOTAL;
      break;
    }
    if (offset + total > ROM_WALK_LIMIT) {
      scan->end = SCAN_END_4GIB;
      break;
    }
    offset += total;
  }
  return 0;
}

int scan_verify_payload(int fd, const scan_block &b) {
  uint32_t kind = b.hdr.flags.get() & ROM_VERIFY_MASK;
  if (kind != ROM_VERIFY_CRC && kind != ROM_VERIFY_CHECKSUM) return -1;
  if (!b.complete) return 0;
  auto step = kind == ROM_VERIFY_CRC ? crc32 : sum32;
  std::vector<uint32_t> buf(65536 / 4);  // aligned, as both checks want
  uint32_t value = 0, done = 0, length = b.length();
  while (done < length) {
    uint32_t want = std::min<uint32_t>(length - done, 65536);
    if (!read_at(fd, buf.data(), want, b.payload() + done)) return 0;
    value = step(value, buf.data(), want);
    done += want;
  }
  return value == b.hdr.verify.get() ? 1 : 0;
}

}  // namespace korvane
