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

#include "codec/cypher_table.h"
#include "rom/append.h"
#include "rom/checksum.h"
#include "rom/dump.h"
#include "rom/io.h"
#include "rom/load.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/walk.h"

namespace korvane {
namespace {

struct map_guard {
  void *addr = nullptr;
  size_t len = 0;
  ~map_guard() {
    if (addr && addr != MAP_FAILED && len) munmap(addr, len);
  }
};

}  // namespace

uint64_t rom_payload_capacity(uint64_t size) {
  uint64_t q = static_cast<uint64_t>(static_cast<double>(size) * 1.25);
  return (q + (ROM_BLK_ALIGN - 1)) & ~static_cast<uint64_t>(ROM_BLK_ALIGN - 1);
}

int rom_create(const char *path, uint32_t dev_id, const char *dev_name, const char *oem_name,
               const char *version, uint32_t flags, mode_t mode) {
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

  unique_fd out{open(path, O_RDWR | O_CREAT | O_TRUNC, mode)};
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
  uint64_t capacity = rom_payload_capacity(size);
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

  const cypher_type *t = cypher_find(desc->cypher);
  if (!t) {
    report("invalid cypher type,%d\n", static_cast<int>(desc->cypher));
    return RES_FAULT;
  }
  if (t->note) {
    report("%s", t->note);
    desc->cypher = ROM_BLK_CT_NONE;
  }
  const cypher_input src{in.fd, offset, size, input, count};
  if (t->encode(*t, src, payload, static_cast<uint32_t>(capacity), &length) != RES_OK)
    return RES_FAULT;

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

  // The summary is the build's result: standard output, wherever a program
  // sends its messages.
  dump_hdr(BLK_SUMMARY_LINES, &h, {}, report_result);

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
  rom_walk w;
  int kind = rom_walk_open(&w, path, O_RDWR);
  if (kind < 0) return RES_FAULT;
  if (kind != ROM_CHECK_ROM) {
    // Rewriting the counters of anything but a rom header would damage it.
    report("not a rom image,%s\n", path);
    return RES_FAULT;
  }
  // Every block needs its magic; a header size past the end of the file ends
  // the count there.
  rom_walk_rules rules;
  rules.hsize_to_file = true;
  rules.need_magic = true;
  rules.quiet = true;
  int r = rom_walk_blocks(&w, {}, rules);
  const rom_walk_end &e = w.end;
  switch (e.why) {
    case rom_walk_stop::total_small:
      report("invalid block total found:%u,offset=%llu\n", e.value,
             static_cast<unsigned long long>(e.offset));
      break;
    case rom_walk_stop::total_wraps:
      report("image larger than 4GiB,block at offset=%llu\n",
             static_cast<unsigned long long>(e.offset));
      break;
    default:
      rom_walk_report(e, path);
      break;
  }
  if (r < 0) return RES_FAULT;

  rom_hdr &rom = w.rom;
  uint32_t hsize = rom.hsize.get();
  rom.length.set(static_cast<uint32_t>(e.offset - hsize));
  rom.blocks.set(static_cast<uint32_t>(e.blocks));
  rom.hcrc.set(0);
  rom.hcrc.set(crc32(0, &rom, hsize));
  if (pwrite(w.fd.fd, &rom, sizeof rom, 0) != static_cast<ssize_t>(sizeof rom)) {
    report("failed to write rom,%m,%s\n", path);
    return RES_FAULT;
  }
  return RES_OK;
}

}  // namespace korvane
