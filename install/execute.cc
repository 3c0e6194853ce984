// SPDX-License-Identifier: MIT
#include "install/execute.h"

#include <fcntl.h>
#include <unistd.h>

#include "cli/settings.h"
#include "install/blk_program.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/names.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/walk.h"

namespace korvane {
namespace {

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

void execute_at(void *, int index, uint64_t offset, const blk_hdr *h) {
  if (!rom_opts.verbose) return;
  report("%-16s:%d\n", "blk index", index);
  report("%-16s:%d\n", "blk offset", static_cast<int>(offset));
  if (h) report("%-16s:%d\n", "blk header", static_cast<int>(h->hsize.get()));
}

int execute_blk(void *, const rom_walk_blk &b) {
  if (rom_opts.verbose) show_blk_hdr(b.buf.hdr, b.hcrc, !b.hcrc_ok, b.verified);
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
  if (kind == ROM_CHECK_ROM && rom_opts.verbose) show_rom_hdr(w.rom);

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
