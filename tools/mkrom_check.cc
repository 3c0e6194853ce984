// SPDX-License-Identifier: MIT
// korvane-mkrom check IMAGE --board FILE [-a LIST] [--json]: whether every
// flash block of an image will install on a board (a board file as
// korvane-sim reads it), before the image leaves the PC, and how much room
// each partition has left.
#include <sys/stat.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "codec/cypher_table.h"
#include "install/blk_program.h"
#include "mtd/mtd.h"
#include "mtd/mtd_abi.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/scan.h"
#include "sim/sim_board.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char CHECK_USAGE[] =
    "Usage: korvane-mkrom check IMAGE --board FILE [-a LIST] [--json]\n"
    "Check that korvane -e would install every flash block of IMAGE on the board\n"
    "that FILE describes (korvane-sim's board-file syntax): the block's partition\n"
    "exists, its geometry is one the writer serves, the data as written (decoded,\n"
    "then padded as -a says) fits it around its bad blocks, and no two flash\n"
    "blocks go to one partition. Header CRCs and payload checks are looked at\n"
    "too. Every problem is named; exit status 1 if there is any. A passing check\n"
    "then says, for each partition of the board, how many of its good erase blocks\n"
    "the image uses and how much room is left.\n"
    "\n"
    "      --board FILE      the board\n"
    "  -a, --align LIST      as korvane's -a: block-align, page-align (default),\n"
    "                        pad=0xNN\n"
    "      --json            the verdict, the problems and the room of every\n"
    "                        partition as one JSON document (schema in the README)\n"
    "  -h, --help            show this help\n";

enum { OPT_BOARD = 256, OPT_JSON };

// What a flash block takes of its partition, once its size is known.
struct partition_use {
  const rom_walk_blk *block = nullptr;  // the flash block that goes there
  bool known = false;                   // blocks_used could be told
  uint64_t blocks_used = 0;             // erase blocks, good ones on NAND
};

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
                       std::vector<std::string> *problems, partition_use *use) {
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
    use->known = true;
    use->blocks_used = (padded + g.erasesize - 1) / g.erasesize;
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
  use->known = true;
  use->blocks_used = needed;
  if (needed > good)
    problems->push_back(who + ": it needs " + std::to_string(needed) + " erase blocks (" +
                        std::to_string(data) + padded_for + "; mtd" + std::to_string(m.number) +
                        " has " + std::to_string(good) + " good of " + std::to_string(blocks) +
                        " (" + std::to_string(bad.size()) + " bad)");
}

// The room of one partition of the board.
struct room {
  const sim_mtd *m;
  uint64_t blocks, bad, good;
  const partition_use *use;  // null when no flash block goes there
  uint64_t left() const {
    uint64_t used = use && use->known ? use->blocks_used : 0;
    return used < good ? good - used : 0;
  }
  // Tenths of a percent of the good erase blocks left, rounded down.
  uint64_t left_permille() const { return good ? left() * 1000 / good : 0; }
};

room room_of(const sim_mtd &m, const std::map<uint32_t, partition_use> &uses) {
  room r{&m, m.size / m.erasesize, 0, 0, nullptr};
  r.bad = std::set<uint32_t>(m.bad.begin(), m.bad.end()).size();
  r.good = r.blocks - r.bad;
  auto it = uses.find(static_cast<uint32_t>(m.number));
  if (it != uses.end()) r.use = &it->second;
  return r;
}

std::string room_line(const room &r) {
  const std::string mtd = "mtd" + std::to_string(r.m->number);
  const uint64_t pm = r.left_permille();
  const std::string left = std::to_string(r.left()) + " left (" +
                           std::to_string(r.left() * r.m->erasesize) + " bytes, " +
                           std::to_string(pm / 10) + "." + std::to_string(pm % 10) + "%)";
  if (!r.use)
    return mtd + ": no flash block, " + std::to_string(r.good) + " good erase blocks, " + left;
  return mtd + ": " + std::to_string(r.use->blocks_used) + " of " + std::to_string(r.good) +
         " good erase blocks used by '" +
         escaped_bytes(text_field(r.use->block->buf.hdr.name), true) + "', " + left;
}

int print_json(const check_args &a, const sim_board &board, unsigned flash,
               const std::vector<std::string> &problems,
               const std::map<uint32_t, partition_use> &uses) {
  using nlohmann::json;
  json parts = json::array();
  for (const sim_mtd &m : board.mtds) {
    if (m.missing) continue;
    const room r = room_of(m, uses);
    json block = nullptr;
    if (r.use) {
      block = {{"index", r.use->block->index},
               {"name", text_field(r.use->block->buf.hdr.name)},
               {"erase_blocks_used", r.use->known ? json(r.use->blocks_used) : json(nullptr)}};
    }
    parts.push_back({
        {"mtd", m.number},
        {"name", m.name},
        {"type", m.is_nand()         ? "nand"
                 : m.type == MTD_RAM ? "ram"
                                     : "nor"},
        {"size", m.size},
        {"erase_size", m.erasesize},
        {"erase_blocks", r.blocks},
        {"bad", r.bad},
        {"good", r.good},
        {"block", block},
        {"left", r.left()},
        {"left_bytes", r.left() * m.erasesize},
        {"left_percent", static_cast<double>(r.left_permille()) / 10.0},
    });
  }
  json doc;
  doc["format"] = "korvane-mkrom check";
  doc["version"] = 1;
  doc["image"] = a.image;
  doc["board"] = a.board;
  doc["fits"] = problems.empty();
  doc["flash_blocks"] = flash;
  doc["problems"] = problems;
  doc["partitions"] = std::move(parts);
  std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace);
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  return problems.empty() ? EXIT_DONE : EXIT_FAILED;
}

}  // namespace

int parse_check(request *req, int argc, char **argv) {
  static const option longs[] = {
      {"board", required_argument, nullptr, OPT_BOARD},
      {"align", required_argument, nullptr, 'a'},
      {"json", no_argument, nullptr, OPT_JSON},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  check_args &a = req->check;
  std::vector<std::string> args;
  int status = parse_options(
      req->self, argc, argv, "a:h", longs, CHECK_USAGE, &args, [&](int c, const char *arg) {
        if (c == OPT_BOARD) a.board = arg;
        if (c == OPT_JSON) a.json = true;
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
  std::map<uint32_t, partition_use> uses;  // the last flash block of each partition
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
    partition_use &use = uses[id];
    use = partition_use{&b};
    if (!b.cut_short) check_flash_block(w.fd.fd, b, *m, a.block_align, &problems, &use);
  }

  for (const std::string &p : problems)
    std::fprintf(stderr, "%s: %s: %s\n", req.self.c_str(), a.image.c_str(), p.c_str());
  if (a.json) return print_json(a, board, flash, problems, uses);
  if (!problems.empty()) return EXIT_FAILED;
  std::printf("%s: %u flash blocks fit %s\n", a.image.c_str(), flash, a.board.c_str());
  for (const sim_mtd &m : board.mtds) {
    if (!m.missing) std::printf("%s\n", room_line(room_of(m, uses)).c_str());
  }
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
