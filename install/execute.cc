// SPDX-License-Identifier: MIT
#include "install/execute.h"

#include <fcntl.h>
#include <unistd.h>

#include "cli/settings.h"
#include "install/blk_program.h"
#include "rom/dump.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/walk.h"

namespace korvane {
namespace {

void execute_at(void *, int index, uint64_t offset, const blk_hdr *h) {
  if (!rom_opts.verbose) return;
  dump_dec("blk index", static_cast<uint32_t>(index));
  dump_dec("blk offset", static_cast<uint32_t>(offset));
  if (h) dump_dec("blk header", h->hsize.get());
}

int execute_blk(void *, const rom_walk_blk &b) {
  if (rom_opts.verbose) dump_hdr(BLK_EXECUTE_LINES, &b.buf.hdr, {b.hcrc_ok, b.verified});
  if (blk_program_mtd(&b.buf.hdr, b.fd, b.payload, b.length) < 0) {
    if (!rom_opts.skip_bad) return RES_FAULT;
    report("!!!!!!<<<skip %d bad block>>>!!!!!!\n", b.index);
  }
  return 0;
}

}  // namespace

int rom_execute(const char *path, uint32_t flags) {
  rom_walk w;
  int kind = rom_walk_open(&w, path, O_RDONLY);
  if (kind < 0) return RES_FAULT;
  if (kind == ROM_CHECK_ROM && rom_opts.verbose) dump_hdr(ROM_HDR_LINES, &w.rom);

  rom_walk_steps steps;
  steps.at = execute_at;
  steps.block = execute_blk;
  rom_walk_rules rules;
  rules.verify = rom_opts.verify ? flags : 0;
  if (rom_walk_blocks(&w, steps, rules) < 0) return RES_FAULT;
  if (rom_opts.verbose) report("rom execute:done\n");
  return RES_OK;
}

}  // namespace korvane
