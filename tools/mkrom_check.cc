// SPDX-License-Identifier: MIT
// korvane-mkrom check IMAGE --board FILE [-a LIST]: whether every flash
// block of an image will install on a board (a board file as korvane-sim
// reads it), before the image leaves the PC.
#include <cinttypes>
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

bool is_flash(uint32_t type) {
  return type == ROM_BLK_TYPE_NAND_RAW || type == ROM_BLK_TYPE_NAND_OOB || type == ROM_BLK_TYPE_NOR;
}

bool power_of_two(uint32_t v) { return v && !(v & (v - 1)); }

std::string describe(const scan_block &b) {
  return "block " + std::to_string(b.index) + " ('" + text_field(b.hdr.name) + "', " +
         blk_type_name(b.hdr.type.get()) + ")";
}

uint64_t round_up(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

// The problems of one flash block on its partition.
void check_flash_block(int fd, const scan_block &b, const sim_mtd &m, bool block_align,
                       std::vector<std::string> *problems) {
  const std::string who = describe(b) + " on mtd" + std::to_string(m.number);
  uint32_t type = b.hdr.type.get();
  bool nand = m.is_nand();
  bool geometry_ok = true;
  if (nand && !nand_geometry_accepted(m.writesize, m.oobsize)) {
    problems->push_back(who + ": the NAND writer does not serve its geometry (page " +
                        std::to_string(m.writesize) + ", OOB " + std::to_string(m.oobsize) +
                        "; it serves 512 + 16, 256 + 8 and 2048 + 64)");
    geometry_ok = false;
  }
  if (!power_of_two(m.erasesize)) {
    problems->push_back(who + ": its erase block of " + std::to_string(m.erasesize) +
                        " bytes is not a power of two, as the writers need");
    geometry_ok = false;
  }
  if (type == ROM_BLK_TYPE_NAND_OOB && !nand) {
    problems->push_back(who +
                        ": a nand-oob block on a partition that is not NAND: its page "
                        "records would be written as plain data");
  }
  uint64_t data = 0;
  if (!flash_data_size(fd, b, &data)) {
    problems->push_back(who + ": cannot tell how many bytes it writes (cypher " +
                        blk_cypher_name(b.hdr.cypher.get()) + ")");
    return;
  }
  if (!geometry_ok) return;

  int cls = nand ? MTD_CLASS_NAND : MTD_CLASS_NOR;
  flash_layout lay = blk_flash_layout(cls, type, m.erasesize, m.writesize, m.oobsize, block_align);
  uint64_t padded = data ? round_up(data, lay.align) : 0;
  const char *align = block_align ? "block-align" : "page-align";
  if (!nand) {
    if (padded > m.size)
      problems->push_back(who + ": it writes " + std::to_string(padded) + " bytes (" +
                          std::to_string(data) + " padded for " + align + "); mtd" +
                          std::to_string(m.number) + " holds " + std::to_string(m.size));
    return;
  }
  // NAND: whole pages of data, on good erase blocks only.
  uint64_t pages = type == ROM_BLK_TYPE_NAND_OOB ? padded / (m.writesize + m.oobsize)
                                                 : round_up(padded, m.writesize) / m.writesize;
  uint64_t per_block = m.erasesize / m.writesize;
  uint64_t needed = (pages + per_block - 1) / per_block;
  uint32_t blocks = m.size / m.erasesize;
  std::set<uint32_t> bad(m.bad.begin(), m.bad.end());
  uint64_t good = blocks - bad.size();
  if (needed > good)
    problems->push_back(who + ": it needs " + std::to_string(needed) + " erase blocks (" +
                        std::to_string(data) + " bytes padded for " + align + "); mtd" +
                        std::to_string(m.number) + " has " + std::to_string(good) + " good of " +
                        std::to_string(blocks) + " (" + std::to_string(bad.size()) + " bad)");
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
  unique_fd fd;
  image_scan scan;
  if (image_scan_open(a.image.c_str(), &fd, &scan, &error) != 0)
    return failed(req.self, "%s: %s", a.image.c_str(), error.c_str());

  std::vector<std::string> problems;
  if (scan.kind == ROM_CHECK_ROM && !scan.rom_hcrc_ok)
    problems.push_back("the rom header's CRC does not match: korvane refuses the image");
  if (scan.end != SCAN_END_FILE)
    problems.push_back("the walk over the blocks stops at offset " +
                       std::to_string(scan.end_offset) + ": korvane installs nothing after it");

  uint64_t payloads = 0;
  for (const scan_block &b : scan.blocks) payloads += b.length();
  progress_line progress(req.self);
  progress.begin("checking " + a.image, payloads, payloads >= progress_line::LARGE);
  uint64_t checked = 0;
  std::map<uint32_t, const scan_block *> by_id;
  unsigned flash = 0;
  for (const scan_block &b : scan.blocks) {
    if (!b.hcrc_ok) problems.push_back(describe(b) + ": its header CRC does not match");
    if (!b.complete) {
      problems.push_back(describe(b) + ": cut short by the end of the file");
    } else if (scan_verify_payload(fd.fd, b) == 0) {
      problems.push_back(describe(b) + ": its payload does not match its " +
                         verify_kind_name(b.hdr.flags.get()));
    }
    checked += b.length();
    progress.set(checked);
    uint32_t type = b.hdr.type.get(), id = b.hdr.id.get();
    if (!is_flash(type)) continue;
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
    if (b.complete) check_flash_block(fd.fd, b, *m, a.block_align, &problems);
  }
  progress.end();

  for (const std::string &p : problems)
    std::fprintf(stderr, "%s: %s: %s\n", req.self.c_str(), a.image.c_str(), p.c_str());
  if (!problems.empty()) return EXIT_FAILED;
  std::printf("%s: %u flash blocks fit %s\n", a.image.c_str(), flash, a.board.c_str());
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
