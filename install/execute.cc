// SPDX-License-Identifier: MIT
#include "install/execute.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/settings.h"
#include "install/blk_program.h"
#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/names.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

// The image descriptor handed out by rom_open.
struct rom_fd {
  int fd = -1;
  ~rom_fd() { rom_close(fd); }
};

void show_rom_hdr(const rom_hdr &h) {
  report("%-16s:0x%08x\n", "rom magic", h.magic.get());
  report("%-16s:%d\n", "rom hsize", static_cast<int>(h.hsize.get()));
  report("%-16s:0x%08x\n", "rom hcrc", h.hcrc.get());
  report("%-16s:0x%08x\n", "rom format", h.format.get());
  report("%-16s:0x%08x\n", "rom flags", h.flags.get());
  report("%-16s:%d\n", "rom lenght", static_cast<int>(h.length.get()));
  report("%-16s:0x%08x\n", "rom verify", h.verify.get());
  report("%-16s:%d\n", "rom blocks", static_cast<int>(h.blocks.get()));
  report("%-16s:%d\n", "rom dev id", static_cast<int>(h.dev_id.get()));
  report("%-16s:%s\n", "rom dev name", text_field(h.dev_name).c_str());
  report("%-16s:%s\n", "rom oem name", text_field(h.oem_name).c_str());
  report("%-16s:%s\n", "rom version", text_field(h.version).c_str());
}

// verified: -1 not checked, 0 good, anything else bad.
void show_blk_hdr(const blk_hdr &b, uint32_t stored_hcrc, bool bad_hcrc, int verified) {
  report("%-16s:0x%08x\n", "blk magic", b.magic.get());
  report("%-16s:0x%08x\n", "blk hsize", b.hsize.get());
  report("%-16s:0x%08x\n", bad_hcrc ? "blk bad  hcrc" : "blk good hcrc", stored_hcrc);
  report("%-16s:%d\n", "blk flags", static_cast<int>(b.flags.get()));
  report("%-16s:%d\n", "blk lenght", static_cast<int>(b.length.get()));
  report("%-16s:%d\n", "blk total", static_cast<int>(b.total.get()));
  const char *label = verified == -1  ? "blk none verify"
                      : verified == 0 ? "blk good verify"
                                      : "blk bad  verify";
  report("%-16s:0x%08x\n", label, b.verify.get());
  report("%-16s:%d\n", "blk type", static_cast<int>(b.type.get()));
  report("%-16s:%d\n", "blk id", static_cast<int>(b.id.get()));
  report("%-16s:%s\n", "blk name", text_field(b.name).c_str());
  report("%-16s:%s\n", "blk version", text_field(b.version).c_str());
  report("%-16s:%s\n", "blk cypher", blk_cypher_name(b.cypher.get()));
  report("%-16s:%s\n", "blk data", blk_data_name(b.data.get()));
}

// Offsets of the format are 32-bit.

}  // namespace

int rom_execute(const char *path, uint32_t flags) {
  rom_fd rom;
  uint64_t size = 0;
  int kind = rom_open(path, &rom.fd, &size, O_RDONLY);
  if (kind != ROM_CHECK_ROM && kind != ROM_CHECK_BLK) return RES_FAULT;

  if (::lseek(rom.fd, 0, SEEK_SET) < 0) {
    report("failed to seek file,%m,%s\n", path);
    return RES_FAULT;
  }
  const int verbose = rom_opts.verbose;
  uint64_t offset = 0;
  if (kind == ROM_CHECK_ROM) {
    rom_hdr rh;
    if (read_full(rom.fd, &rh, sizeof rh) != static_cast<ssize_t>(sizeof rh)) {
      report("failed to read rom or block file,%m,%s\n", path);
      return RES_FAULT;
    }
    if (verbose) show_rom_hdr(rh);
    offset = rh.hsize.get();
  }

  // Room for the largest header the walk accepts; the CRC sees hsize bytes.
  union {
    blk_hdr hdr;
    uint8_t bytes[ROM_BLK_HSIZE_MAX];
  } buf;
  static_assert(alignof(decltype(buf)) >= 4);
  blk_hdr &blk = buf.hdr;

  for (int index = 0; offset + ROM_HDR_SIZE <= size; ++index) {
    if (verbose) {
      report("%-16s:%d\n", "blk index", index);
      report("%-16s:%d\n", "blk offset", static_cast<int>(offset));
    }
    if (::lseek(rom.fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
      report("failed to seek block,%m,%s\n", path);
      return RES_FAULT;
    }
    std::memset(buf.bytes, 0, sizeof buf.bytes);
    if (read_full(rom.fd, buf.bytes, ROM_HDR_SIZE) != static_cast<ssize_t>(ROM_HDR_SIZE)) {
      report("failed to read block,%m,%s\n", path);
      return RES_FAULT;
    }
    uint32_t hsize = blk.hsize.get();
    if (verbose) report("%-16s:%d\n", "blk header", static_cast<int>(hsize));
    if (hsize > ROM_BLK_HSIZE_MAX) {
      report("suck ,invalid blk header size,%d\n", static_cast<int>(hsize));
      break;
    }
    // A header of 129 to 144 bytes: its tail is what the file holds there
    // (zero where the file ends).
    if (hsize > ROM_HDR_SIZE &&
        read_full(rom.fd, buf.bytes + ROM_HDR_SIZE, hsize - ROM_HDR_SIZE) < 0) {
      report("failed to read block,%m,%s\n", path);
      return RES_FAULT;
    }

    uint32_t stored_hcrc = blk.hcrc.get();
    blk.hcrc.set(0);
    bool bad_hcrc = crc32(0, buf.bytes, hsize) != stored_hcrc;

    uint32_t length = blk.length.get();
    uint64_t payload = offset + hsize;
    int verified = -1;
    if (rom_opts.verify && (flags & ROM_VERIFY_MASK) && (blk.flags.get() & ROM_VERIFY_MASK)) {
      verified = rom_verify_blk(&blk, rom.fd, payload, length);
    }
    if (verbose) show_blk_hdr(blk, stored_hcrc, bad_hcrc, verified);

    if (blk_program_mtd(&blk, rom.fd, payload, length) < 0) {
      if (!rom_opts.skip_bad) return RES_FAULT;
      report("!!!!!!<<<skip %d bad block>>>!!!!!!\n", index);
    }
    if (!rom_walk_next(&offset, blk.total.get())) return RES_FAULT;
  }
  if (verbose) report("rom execute:done\n");
  return RES_OK;
}

}  // namespace korvane
