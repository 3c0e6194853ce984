// SPDX-License-Identifier: MIT
// korvane-mkrom check IMAGE --board FILE [-a LIST]: whether every flash
// block of an image will install on a board (a board file as korvane-sim
// reads it), before the image leaves the PC.
#include <sys/stat.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "codec/cypher_table.h"
#include "install/blk_program.h"
#include "mtd/mtd.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "rom/result.h"
#include "rom/scan.h"
#include "sim/sim_board.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char CHECK_USAGE[] =
    "Usage: korvane-mkrom check IMAGE --board FILE [-a LIST]\n"
    "Check that korvane -e would install every flash block of IMAGE on the board\n"
    "that FILE describes (korvane-sim's board-file syntax): the block's partition\n"
    "exists, its geometry is one the writer serves, the data as written (decoded,\n"
    "then padded as -a says) fits it around its bad blocks, and no two flash\n"
    "blocks go to one partition. Header CRCs and payload checks are looked at\n"
    "too. Every problem is named; exit status 1 if there is any.\n"
    "\n"
    "      --board FILE      the board\n"
    "  -a, --align LIST      as korvane's -a: block-align, page-align (default),\n"
    "                        pad=0xNN\n"
    "  -h, --help            show this help\n";

enum { OPT_BOARD = 256 };

bool power_of_two(uint32_t v) { return v && !(v & (v - 1)); }

std::string describe(const rom_walk_blk &b) {
  const blk_hdr &h = b.buf.hdr;
  return "block " + std::to_string(b.index) + " ('" + text_field(h.name) + "', " +
         blk_type_name(h.type.get()) + ")";
}

// The partition as the flash layer would find it on the board.
mtd_geometry geometry_of(const sim_mtd &m) {
  mtd_geometry g;
  g.cls = m.is_nand() ? MTD_CLASS_NAND : MTD_CLASS_NOR;
  g.size = m.size;
  g.erasesize = m.erasesize;
  g.writesize = m.writesize;
  g.oobsize = m.oobsize;
  return g;
}

// The problems of one flash block on its partition.
void check_flash_block(int fd, const rom_walk_blk &b, const sim_mtd &m, bool block_align,
                       std::vector<std::string> *problems) {
  const std::string who = describe(b) + " on mtd" + std::to_string(m.number);
  const uint32_t type = b.buf.hdr.type.get();
  const mtd_geometry g = geometry_of(m);
  const bool nand = g.cls == MTD_CLASS_NAND;
  bool geometry_ok = true;
  if (nand && !nand_geometry_accepted(g.writesize, g.oobsize)) {
    problems->push_back(who + ": the NAND writer does not serve its geometry (page " +
                        std::to_string(g.writesize) + ", OOB " + std::to_string(g.oobsize) +
                        "; it serves 512 + 16, 256 + 8 and 2048 + 64)");
    geometry_ok = false;
  }
  if (!power_of_two(g.erasesize)) {
    problems->push_back(who + ": its erase block of " + std::to_string(g.erasesize) +
                        " bytes is not a power of two, as the writers need");
    geometry_ok = false;
  }
  if (type == ROM_BLK_TYPE_NAND_OOB && !nand) {
    problems->push_back(who +
                        ": a nand-oob block on a partition that is not NAND: its page "
                        "records would be written as plain data");
  }
  if (m.read_only) {
    problems->push_back(who +
                        ": the partition is read-only: the install cannot open it for "
                        "writing");
  }
  // What korvane programs: the content as the cypher table decodes it.
  const cypher_type *t = cypher_find(b.buf.hdr.cypher.get());
  uint64_t data = 0;
  if (!t || !cypher_content_size(*t, fd, b.payload, b.length, &data)) {
    problems->push_back(who + ": cannot tell how many bytes it writes (cypher " +
                        blk_cypher_name(b.buf.hdr.cypher.get()) + ")");
    return;
  }
  if (!geometry_ok) return;

  // The last chunk padded as the install pads it.
  const flash_layout lay =
      blk_flash_layout(g.cls, type, g.erasesize, g.writesize, g.oobsize, block_align);
  const char *align = block_align ? "block-align" : "page-align";
  const std::string padded_for = " bytes padded for " + std::string(align) + ")";
  if (data > UINT32_MAX - lay.align) {
    problems->push_back(who + ": it writes " + std::to_string(data) + " bytes, more than mtd" +
                        std::to_string(m.number) + " holds");
    return;
  }
  const uint64_t padded = blk_pad_length(static_cast<uint32_t>(data), lay.align);
  if (!nand) {
    if (padded > g.size)
      problems->push_back(who + ": it writes " + std::to_string(padded) + " bytes (" +
                          std::to_string(data) + padded_for + "; mtd" + std::to_string(m.number) +
                          " holds " + std::to_string(g.size));
    return;
  }
  // NAND: whole pages of data, on good erase blocks only.
  const uint64_t pages = type == ROM_BLK_TYPE_NAND_OOB ? padded / (g.writesize + g.oobsize)
                                                       : (padded + g.writesize - 1) / g.writesize;
  const uint64_t per_block = g.erasesize / g.writesize;
  const uint64_t needed = (pages + per_block - 1) / per_block;
  const uint32_t blocks = g.size / g.erasesize;
  const std::set<uint32_t> bad(m.bad.begin(), m.bad.end());
  const uint64_t good = blocks - bad.size();
  if (needed > good)
    problems->push_back(who + ": it needs " + std::to_string(needed) + " erase blocks (" +
                        std::to_string(data) + padded_for + "; mtd" + std::to_string(m.number) +
                        " has " + std::to_string(good) + " good of " + std::to_string(blocks) +
                        " (" + std::to_string(bad.size()) + " bad)");
}

}  // namespace

int parse_check(request *req, int argc, char **argv) {
  static const option longs[] = {
      {"board", required_argument, nullptr, OPT_BOARD},
      {"align", required_argument, nullptr, 'a'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  check_args &a = req->check;
  std::vector<std::string> args;
  int status = parse_options(
      req->self, argc, argv, "a:h", longs, CHECK_USAGE, &args, [&](int c, const char *arg) {
        if (c == OPT_BOARD) a.board = arg;
        if (c == 'a') {
          int block_align = a.block_align, pad = 0xFF;
          if (!rom_parse_align_list(arg, &block_align, &pad))
            return cmdline_error(req->self,
                                 "unknown align options '%s' (block-align, page-align, "
                                 "pad=0xNN)",
                                 arg);
          a.block_align = block_align;
        }
        return GO_ON;
      });
  if (status != GO_ON) return status;
  if (args.size() != 1)
    return cmdline_error(req->self, args.empty() ? "missing IMAGE" : "too many arguments");
  if (a.board.empty()) return cmdline_error(req->self, "missing --board FILE");
  a.image = args[0];
  return GO_ON;
}

int run_check(const request &req) {
  const check_args &a = req.check;
  sim_board board;
  std::string error;
  if (sim_board_load(a.board, &board, &error) != 0)
    return failed(req.self, "cannot use the board: %s", error.c_str());

  // The walk verifies every payload that carries a check: the progress line
  // follows it through the file.
  progress_line progress(req.self);
  struct stat st;
  const uint64_t size = stat(a.image.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  progress.begin("checking " + a.image, size, size >= progress_line::LARGE);
  const staged_progress through{progress_line::step, &progress, size};
  image_scan scan;
  int r = image_scan_open(a.image.c_str(), &scan, true, &through, &error);
  progress.end();
  if (r != 0) return failed(req.self, "%s: %s", a.image.c_str(), error.c_str());
  const rom_walk &w = scan.walk;

  std::vector<std::string> problems;
  if (w.kind == ROM_CHECK_ROM && !scan.rom_hcrc_ok)
    problems.push_back("the rom header's CRC does not match: korvane refuses the image");
  if (!scan_reached_end(scan))
    problems.push_back("the walk over the blocks stops at offset " + std::to_string(w.end.offset) +
                       ": korvane installs nothing after it");

  std::map<uint32_t, const rom_walk_blk *> by_id;
  unsigned flash = 0;
  for (const rom_walk_blk &b : scan.blocks) {
    const blk_hdr &h = b.buf.hdr;
    if (!b.hcrc_ok) problems.push_back(describe(b) + ": its header CRC does not match");
    if (b.cut_short) {
      problems.push_back(describe(b) + ": cut short by the end of the file");
    } else if (scan_payload_ok(b) == 0) {
      problems.push_back(describe(b) + ": its payload does not match its " +
                         verify_kind_name(h.flags.get()));
    }
    const uint32_t type = h.type.get(), id = h.id.get();
    if (!blk_type_is_flash(type)) continue;
    ++flash;
    auto [it, first] = by_id.emplace(id, &b);
    if (!first)
      problems.push_back(describe(b) + " goes to mtd" + std::to_string(id) + " as " +
                         describe(*it->second) + " does: the later one replaces it");
    const sim_mtd *m = board.find(static_cast<int>(id));
    if (!m || m->missing) {
      problems.push_back(describe(b) + " goes to mtd" + std::to_string(id) +
                         ", which the board does not have");
      continue;
    }
    if (!b.cut_short) check_flash_block(w.fd.fd, b, *m, a.block_align, &problems);
  }

  for (const std::string &p : problems)
    std::fprintf(stderr, "%s: %s: %s\n", req.self.c_str(), a.image.c_str(), p.c_str());
  if (!problems.empty()) return EXIT_FAILED;
  std::printf("%s: %u flash blocks fit %s\n", a.image.c_str(), flash, a.board.c_str());
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
