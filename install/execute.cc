// SPDX-License-Identifier: MIT
#include "install/execute.h"

#include <fcntl.h>
#include <unistd.h>

#include "install/blk_program.h"
#include "rom/dump.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/walk.h"

namespace korvane {
namespace {

// What the steps share.
struct execute_ctx {
  const install_settings &s;
  bool read_back_failed = false;  // -s went on past a block that reads back wrong
};

void execute_at(void *ctx, int index, uint64_t offset, const blk_hdr *h) {
  if (!static_cast<execute_ctx *>(ctx)->s.verbose) return;
  dump_dec("blk index", static_cast<uint32_t>(index));
  dump_dec("blk offset", static_cast<uint32_t>(offset));
  if (h) dump_dec("blk header", h->hsize.get());
}

int execute_blk(void *ctx, const rom_walk_blk &b) {
  execute_ctx &c = *static_cast<execute_ctx *>(ctx);
  const install_settings &s = c.s;
  if (s.verbose) dump_hdr(BLK_EXECUTE_LINES, &b.buf.hdr, {b.hcrc_ok, b.verified});
  int r = blk_program_mtd(&b.buf.hdr, b.fd, b.payload, b.length, s);
  if (r < 0) {
    if (!s.skip_bad) return RES_FAULT;
    report("!!!!!!<<<skip %d bad block>>>!!!!!!\n", b.index);
    // -s goes on past it, but a partition known to hold wrong bytes must
    // not end the install as a success.
    if (r == BLK_READ_BACK_FAILED) c.read_back_failed = true;
  }
  return 0;
}

}  // namespace

int rom_execute(const char *path, const install_settings &s) {
  rom_walk w;
  if (rom_walk_open(&w, path, O_RDONLY) < 0) return RES_FAULT;
  return rom_execute_walk(&w, s);
}

int rom_execute_walk(rom_walk *pw, const install_settings &s) {
  rom_walk &w = *pw;
  if (w.kind == ROM_CHECK_ROM && s.verbose) dump_hdr(ROM_HDR_LINES, &w.rom);

  execute_ctx c{s};
  rom_walk_steps steps;
  steps.ctx = &c;
  steps.at = execute_at;
  steps.block = execute_blk;
  rom_walk_rules rules;
  rules.verify = s.verify ? s.flags : 0;
  if (rom_walk_blocks(&w, steps, rules) < 0 || c.read_back_failed) return RES_FAULT;
  if (s.verbose) report("rom execute:done\n");
  return RES_OK;
}

}  // namespace korvane
