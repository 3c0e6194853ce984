// SPDX-License-Identifier: MIT
#include "rom/build.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "codec/blkfmt.h"
#include "codec/scramble.h"
#include "codec/zentarc.h"
#include "rom/append.h"
#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/load.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

struct map_guard {
  void *addr = nullptr;
  size_t len = 0;
  ~map_guard() {
    if (addr && addr != MAP_FAILED && len) munmap(addr, len);
  }
};

// crc32() refuses unaligned buffers; an input region starts wherever the
// caller's offset puts it, so the first bytes go through an aligned word and
// the rest continues the running CRC from an aligned address.
uint32_t crc32_region(const uint8_t *p, uint32_t n) {
  if (n == 0) return 0;
  uint32_t head = (4 - (reinterpret_cast<uintptr_t>(p) & 3)) & 3;
  if (head > n) head = n;
  alignas(4) uint8_t word[4];
  std::memcpy(word, p, head);
  uint32_t c = crc32(0, word, head);
  return crc32(c, p + head, n - head);
}

// Payload area for an input of size bytes: 25 % headroom for encoders that
// expand the data, rounded up to the block alignment.
uint64_t payload_capacity(uint64_t size) {
  uint64_t q = static_cast<uint64_t>(static_cast<double>(size) * 1.25);
  return (q + (ROM_BLK_ALIGN - 1)) & ~static_cast<uint64_t>(ROM_BLK_ALIGN - 1);
}

void print_summary(const blk_hdr &h) {
  report_result("%-16s:0x%08x\n", "blk magic", h.magic.get());
  report_result("%-16s:0x%08x\n", "blk hsize", h.hsize.get());
  report_result("%-16s:0x%08x\n", "blk hcrc", h.hcrc.get());
  report_result("%-16s:%d\n", "blk flags", static_cast<int>(h.flags.get()));
  report_result("%-16s:%d\n", "blk lenght", static_cast<int>(h.length.get()));
  report_result("%-16s:%d\n", "blk total", static_cast<int>(h.total.get()));
  report_result("%-16s:0x%08x\n", "blk verify", h.verify.get());
  report_result("%-16s:%d\n", "blk type", static_cast<int>(h.type.get()));
  report_result("%-16s:%d\n", "blk id", static_cast<int>(h.id.get()));
  report_result("%-16s:%s\n", "blk name", text_field(h.name).c_str());
  report_result("%-16s:%s\n", "blk version", text_field(h.version).c_str());
}

}  // namespace

int buffer_sink(void *ctx, const uint8_t *bytes, int count) {
  auto *c = static_cast<buffer_sink_ctx *>(ctx);
  uint32_t n = count > 0 ? static_cast<uint32_t>(count) : 0;
  if (uint64_t{c->used} + n > c->capacity) {
    report("cypher1_encode:buffer overflow,encode might cause expansion!\n");
    n = c->capacity - c->used;
  }
  if (c->verbose) report("cypher1_encode:%d=>%d\n", static_cast<int>(n), static_cast<int>(c->used));
  if (n) {
    std::memcpy(c->area + c->used, bytes, n);
    c->used += n;
  }
  return static_cast<int>(n);
}

int rom_create(const char *path, uint32_t dev_id, const char *dev_name, const char *oem_name,
               const char *version, uint32_t flags) {
  rom_hdr h{};
  h.magic.set(ROM_MAGIC);
  h.hsize.set(ROM_HDR_SIZE);
  h.format.set(2);
  h.flags.set(flags);
  h.length.set(0);
  h.verify.set(0xFFFFFFFF);
  h.blocks.set(0);
  h.dev_id.set(dev_id);
  set_text_field(h.dev_name, dev_name);
  set_text_field(h.oem_name, oem_name);
  set_text_field(h.version, version);
  h.hcrc.set(crc32(0, &h, ROM_HDR_SIZE));

  unique_fd out{open(path, O_RDWR | O_CREAT | O_TRUNC, 0777)};
  if (out.fd < 0) {
    report("failed to open rom,%m,%s\n", path);
    return RES_FAULT;
  }
  if (!write_all(out.fd, reinterpret_cast<const uint8_t *>(&h), h.hsize.get())) {
    report("failed to write rom,%m,%s\n", path);
    return RES_FAULT;
  }
  return RES_OK;
}

int rom_build_blk(const char *path, uint64_t offset, blk_desc *desc, blk_buffer *blk,
                  uint32_t *total) {
  struct stat st;
  errno = 0;  // the offset message below carries "%m" after a successful stat
  if (stat(path, &st) != 0) {
    report("failed to fstat block,%m,%s\n", path);
    return RES_FAULT;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size < offset) {
    report("offset(%llu) greater than total(%llu),%m\n", static_cast<unsigned long long>(offset),
           static_cast<unsigned long long>(size));
    return RES_FAULT;
  }
  // The encoders count in int and the header in u32: the whole buffer must
  // stay below 2 GiB.
  uint64_t capacity = payload_capacity(size);
  if (capacity + ROM_HDR_SIZE > INT_MAX) {
    report("input too large for a block,%llu,%s\n", static_cast<unsigned long long>(size), path);
    return RES_FAULT;
  }
  size_t bufsize = static_cast<size_t>(capacity) + ROM_HDR_SIZE;
  blk_buffer buf(static_cast<uint8_t *>(std::calloc(bufsize, 1)));
  if (!buf) {
    report("failed to malloc,%m,%d\n", static_cast<int>(bufsize));
    return RES_NOMEM;
  }
  unique_fd in{open(path, O_RDONLY)};
  if (in.fd < 0) {
    report("failed to open block,%m,%s\n", path);
    return RES_FAULT;
  }
  map_guard map;
  // An empty regular file has nothing to map (mmap refuses a length of 0).
  if (size != 0 || !S_ISREG(st.st_mode)) {
    void *addr = mmap(nullptr, size, PROT_READ, MAP_SHARED, in.fd, 0);
    if (addr == MAP_FAILED) {
      report("failed to mmap block,%m,%s\n", path);
      return RES_FAULT;
    }
    map.addr = addr;
    map.len = size;
  }
  const uint8_t *input = map.addr ? static_cast<const uint8_t *>(map.addr) + offset : nullptr;
  uint32_t count = static_cast<uint32_t>(size - offset);
  uint8_t *payload = buf.get() + ROM_HDR_SIZE;
  uint32_t length = 0;

  switch (desc->cypher) {
    case ROM_BLK_CT_NONE:
      if (count) std::memcpy(payload, input, count);
      length = count;
      break;
    case ROM_BLK_CT_CYPHER1: {
      buffer_sink_ctx ctx{in.fd, size, payload, static_cast<uint32_t>(capacity), 0, 0};
      if (zentarc_encode_fd(in.fd, offset, static_cast<int>(count), buffer_sink, &ctx) != 0) {
        report("failed to encode by cypher!\n");
        return RES_FAULT;
      }
      if (static_cast<int>(ctx.used) <= 0) {
        report("failed to encode ,size=%d!\n", static_cast<int>(ctx.used));
        return RES_FAULT;
      }
      length = ctx.used;
      break;
    }
    case ROM_BLK_CT_CYPHER2: {
      int produced = static_cast<int>(capacity);
      int r = blkfmt_encode(input, static_cast<int>(count), payload, &produced, 10, 1024,
                            crc32_region(input, count), 0);
      if (r < 0 || produced <= 0) {
        report("failed to encode ,size=%d!\n", produced);
        return RES_FAULT;
      }
      length = static_cast<uint32_t>(produced);
      break;
    }
    case ROM_BLK_CT_CYPHER3:
      if (count) std::memcpy(payload, input, count);
      cypher3_encode(payload, static_cast<int>(count));
      length = count;
      break;
    case ROM_BLK_CT_CYPHER4:
      if (count) std::memcpy(payload, input, count);
      cypher4_encode(payload, static_cast<int>(count));
      length = count;
      break;
    case ROM_BLK_CT_AES:
    case ROM_BLK_CT_DES:
      report(desc->cypher == ROM_BLK_CT_AES
                 ? "ROM_BLK_CT_AES NOT support just now,reset to none!\n"
                 : "ROM_BLK_CT_DES NOT support just now,reset to none!\n");
      desc->cypher = ROM_BLK_CT_NONE;
      if (count) std::memcpy(payload, input, count);
      length = count;
      break;
    default:
      report("invalid cypher type,%d\n", static_cast<int>(desc->cypher));
      return RES_FAULT;
  }

  uint32_t padded = blk_padded(length);
  std::memset(payload + length, 0, padded - length);

  blk_hdr h{};
  h.magic.set(BLK_MAGIC);
  h.hsize.set(ROM_HDR_SIZE);
  h.format.set(1);
  uint32_t flags = desc->flags;
  switch (flags & ROM_VERIFY_MASK) {
    case ROM_VERIFY_CRC:
      h.verify.set(crc32(0, payload, length));
      break;
    case ROM_VERIFY_CHECKSUM:
      h.verify.set(sum32(0, payload, length));
      break;
    default:
      flags &= ~ROM_VERIFY_MASK;
      h.verify.set(0xFFFFFFFF);
      break;
  }
  h.flags.set(flags);
  h.length.set(length);
  h.total.set(ROM_HDR_SIZE + padded);
  h.type.set(desc->type);
  h.id.set(desc->id);
  set_text_field(h.name, sizeof h.name, desc->name);
  set_text_field(h.version, sizeof h.version, desc->version);
  h.cypher.set(desc->cypher);
  h.data.set(desc->data);
  h.hcrc.set(crc32(0, &h, ROM_HDR_SIZE));
  std::memcpy(buf.get(), &h, ROM_HDR_SIZE);

  print_summary(h);

  if (blk && total) {
    *blk = std::move(buf);
    *total = h.total.get();
  }
  return RES_OK;
}

int rom_free_blk(blk_buffer &blk) {
  blk.reset();
  return 0;
}

int rom_append_blk(const char *rom_path, const char *path, uint64_t offset, blk_desc *desc) {
  unique_fd rom;
  uint64_t size = 0;
  int r = rom_open(rom_path, &rom.fd, &size, O_RDWR);
  if (r != ROM_CHECK_ROM) return RES_FAULT;

  blk_buffer blk;
  uint32_t total = 0;
  if (rom_build_blk(path, offset, desc, &blk, &total) != RES_OK) return RES_FAULT;

  // The image is replaced by a new version holding the block and the
  // updated header, so that no interruption leaves a block the header does
  // not count (rom/append.h).
  append_options opts;
  opts.allow_same_id = true;
  std::string error, note;
  if (rom_append_built(rom_path, blk.get(), total, opts, &error, &note) != 0) {
    report("failed to append to rom,%s,%s\n", error.c_str(), rom_path);
    return RES_FAULT;
  }
  if (!note.empty()) report("%s,%s\n", note.c_str(), rom_path);
  return RES_OK;
}

int rom_rescan(const char *path) {
  map_guard map;
  int r = rom_map(path, &map.addr, &map.len, PROT_READ | PROT_WRITE);
  if (r == RES_BAD || !map.addr) return RES_FAULT;
  if (r != ROM_CHECK_ROM) {
    // Rewriting the counters of anything but a rom header would damage it.
    if (r == ROM_CHECK_BLK) report("not a rom image,%s\n", path);
    return RES_FAULT;
  }
  auto *base = static_cast<uint8_t *>(map.addr);
  auto *rom = static_cast<rom_hdr *>(map.addr);
  uint64_t len = map.len;
  uint32_t hsize = rom->hsize.get();
  uint64_t offset = hsize;
  uint32_t count = 0;
  while (offset + ROM_HDR_SIZE <= len) {
    blk_hdr b;
    std::memcpy(&b, base + offset, sizeof b);  // offsets need not be aligned
    if (b.magic.get() != BLK_MAGIC) {
      report("invalid block magic found:0x%08x\n", b.magic.get());
      return RES_FAULT;
    }
    if (b.hsize.get() > len) {
      report("suck ,invalid blk header size,%d\n", static_cast<int>(b.hsize.get()));
      break;
    }
    // A total below the header size would stall the walk or run it back into
    // the block's own header; the header's length field ends at 4 GiB.
    uint32_t t = b.total.get();
    if (t < ROM_HDR_SIZE) {
      report("invalid block total found:%u,offset=%llu\n", t,
             static_cast<unsigned long long>(offset));
      return RES_FAULT;
    }
    if (offset + t > UINT32_MAX) {
      report("image larger than 4GiB,block at offset=%llu\n",
             static_cast<unsigned long long>(offset));
      return RES_FAULT;
    }
    offset += t;
    ++count;
  }
  rom->length.set(static_cast<uint32_t>(offset - hsize));
  rom->blocks.set(count);
  rom->hcrc.set(0);
  rom->hcrc.set(crc32(0, rom, hsize));
  return RES_OK;
}

}  // namespace korvane
