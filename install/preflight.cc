// SPDX-License-Identifier: MIT
#include "install/preflight.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "codec/cypher_table.h"
#include "install/blk_program.h"
#include "mtd/mtd.h"
#include "rom/checksum.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "rom/output.h"
#include "rom/region.h"
#include "rom/result.h"

namespace korvane {
namespace {

// One line of key=value words, and the problems found on the way.
struct line {
  std::string text;
  std::string problems;  // comma-separated
  int count = 0;         // problems named

  explicit line(const char *head) : text(head) {}

  void add(const char *key, const std::string &value) {
    text += ' ';
    text += key;
    text += '=';
    text += value;
  }
  void add(const char *key, uint64_t value) { add(key, std::to_string(value)); }
  void problem(const char *word) {
    if (count++) problems += ',';
    problems += word;
  }
  // The result, the problems, and the line out. @return the problems named.
  int print() {
    add("result", count ? "refused" : "ok");
    if (count) add("problems", problems);
    report("%s\n", text.c_str());
    return count;
  }
};

// The name of an errno value (ENOENT), its number when it has none.
std::string errno_word(int e) {
  const char *name = strerrorname_np(e);
  return name ? name : std::to_string(e);
}

// A walk's end in words.
const char *why_word(rom_walk_stop why) {
  switch (why) {
    case rom_walk_stop::end_of_file:
      return "end-of-file";
    case rom_walk_stop::trailing:
      return "trailing-bytes";
    case rom_walk_stop::past_end:
      return "past-end";
    case rom_walk_stop::cut_short:
      return "cut-short";
    case rom_walk_stop::hsize_limit:
      return "header-size";
    case rom_walk_stop::bad_magic:
      return "magic";
    case rom_walk_stop::total_small:
      return "total-small";
    case rom_walk_stop::total_wraps:
      return "total-wraps";
    case rom_walk_stop::seek_failed:
    case rom_walk_stop::read_failed:
      return "read-failed";
    case rom_walk_stop::step_failed:
      break;
  }
  return "step-failed";
}

// The payload check of a block, computed without a word of output.
struct payload_sum {
  bool crc;
  uint32_t value = 0;
};

int sum_piece(void *ctx, const uint8_t *p, int n) {
  auto &s = *static_cast<payload_sum *>(ctx);
  uint32_t len = static_cast<uint32_t>(n);
  s.value = s.crc ? crc32(s.value, p, len) : sum32(s.value, p, len);
  return n;
}

// A sink that counts what a stream decodes to and keeps none of it.
int count_piece(void *ctx, const uint8_t *, int n) {
  *static_cast<uint64_t *>(ctx) += static_cast<uint64_t>(n);
  return n;
}

constexpr uint32_t PIECE = 65536;

// What the steps share.
struct preflight_ctx {
  const install_settings &s;
  int problems = 0;
  int blocks = 0;                        // block lines
  int program = 0;                       // blocks to be programmed
  std::map<uint32_t, int> targets = {};  // partition -> the first block programmed into it
};

// The block's payload check, whatever -f says: "check=crc-good" and the like.
void check_payload(line &l, const rom_walk_blk &b) {
  const uint32_t kind = b.buf.hdr.flags.get() & ROM_VERIFY_MASK;
  if (kind != ROM_VERIFY_CRC && kind != ROM_VERIFY_CHECKSUM) {
    l.add("check", "none");
    return;
  }
  const bool crc = kind == ROM_VERIFY_CRC;
  payload_sum sum{crc};
  region_sink sink;
  sink.ctx = &sum;
  sink.put = sum_piece;
  region_result r = read_region(b.fd, b.payload, b.length, PIECE, nullptr, sink);
  const bool good = r.end == region_end::done && sum.value == b.buf.hdr.verify.get();
  l.add("check", std::string(crc ? "crc" : "checksum") + (good ? "-good" : "-bad"));
  if (!good) l.problem(crc ? "payload-crc" : "payload-checksum");
}

// Decodes the payload as the install will, into nothing, and tells how many
// bytes it gives. @return false when it does not decode (problem named).
bool decoded_size(line &l, const rom_walk_blk &b, uint64_t *size) {
  const uint32_t cypher = b.buf.hdr.cypher.get();
  const cypher_type *t = cypher_find(cypher);
  if (!t) {
    l.problem("cypher");
    return false;
  }
  if (t->decoding != cypher_decoding::stream || b.length == 0) {
    *size = b.length;  // stored and transformed payloads keep their length
  } else {
    *size = 0;
    zentarc_input input;
    if (t->within(b.fd, b.payload, b.length, count_piece, size, &input) < 0) {
      l.problem(input.wanted_more ? "stream-past-block" : "stream");
      return false;
    }
    // The install's decoder is not held to the payload: at the end of a
    // damaged stream it reads on into the padding and the next header, and
    // may fail where the bounded decode above stopped content. Run the very
    // decode the install runs, and refuse what it would not finish cleanly.
    uint64_t installed = 0;
    if (t->stream(b.fd, b.payload, static_cast<int>(b.length), count_piece, &installed) < 0 ||
        installed != *size) {
      l.problem("stream-end");
      return false;
    }
  }
  l.add("decoded", *size);
  return true;
}

// The bytes the writer is handed for `size` decoded bytes (the last chunk
// padded to the alignment), the pages they take, and the erase blocks.
struct footprint {
  uint64_t write, pages, eblocks;
};

footprint footprint_of(const mtd_geometry &g, uint32_t type, bool block_align, uint64_t size) {
  flash_layout lay =
      blk_flash_layout(g.cls, type, g.erasesize, g.writesize, g.oobsize, block_align ? 1 : 0);
  footprint f{};
  f.write = (size + lay.align - 1) / lay.align * lay.align;
  const bool records = g.cls == MTD_CLASS_NAND && type == ROM_BLK_TYPE_NAND_OOB;
  const uint64_t per_page = records ? g.writesize + g.oobsize : g.writesize;
  f.pages = (f.write + per_page - 1) / per_page;
  const uint64_t pages_per_block = g.erasesize / g.writesize;
  f.eblocks = (f.pages + pages_per_block - 1) / pages_per_block;
  return f;
}

// The partition of a block to be programmed: it opens (read-only) and has a
// geometry its writer takes; *good gets its good erase blocks.
// @return false when it cannot take the block (problem named).
bool check_partition(line &l, const rom_walk_blk &b, mtd_device *dev, uint64_t *good,
                     const install_settings &s) {
  const int number = blk_partition(s, static_cast<int>(b.buf.hdr.id.get()));
  if (mtd_open(dev, number, mtd_access::read_only) < 0) {
    l.problem("partition");
    l.add("errno", errno_word(errno));
    return false;
  }
  if (mtd_query(dev) < 0) {
    l.problem("geometry");
    l.add("errno", errno_word(errno));
    return false;
  }
  const mtd_geometry &g = dev->geo;
  const bool nand = g.cls == MTD_CLASS_NAND;
  l.add("class", nand ? "nand" : "nor");
  l.add("size", g.size);
  l.add("erase", g.erasesize);
  l.add("page", g.writesize);
  l.add("oob", g.oobsize);
  if (!mtd_geometry_writable(g)) {
    l.problem("geometry");
    return false;
  }
  // The install opens the partition for writing, which the kernel refuses
  // (EACCES) for one it does not mark writeable.
  if (!g.writeable) l.problem("read-only");
  // Page records on a partition that is not NAND would land as plain data.
  if (!nand && b.buf.hdr.type.get() == ROM_BLK_TYPE_NAND_OOB) l.problem("oob-not-nand");
  if (nand && b.buf.hdr.type.get() == ROM_BLK_TYPE_NAND_OOB && mtd_oob_layout(*dev) < 0) {
    l.problem("oob-layout");
    l.add("errno", errno_word(errno));
    return false;
  }
  // One question per erase block, as the erase and the writer ask; to the
  // NOR writer no block is bad.
  const uint64_t blocks = g.size / g.erasesize;
  uint64_t bad = 0;
  for (uint64_t k = 0; nand && k < blocks; ++k) {
    int r = mtd_block_bad(*dev, static_cast<uint32_t>(k * g.erasesize));
    if (r < 0) {
      l.problem("bad-block-query");
      l.add("errno", errno_word(errno));
      return false;
    }
    bad += static_cast<uint64_t>(r);
  }
  l.add("bad", bad);
  l.add("good", blocks - bad);
  *good = blocks - bad;
  return true;
}

// A block the install will program: its partition, its payload decoded, and
// the data as it will be written against the partition's good erase blocks.
void check_program(line &l, const rom_walk_blk &b, const install_settings &s) {
  mtd_device dev;
  uint64_t good = 0;
  const bool partition = check_partition(l, b, &dev, &good, s);
  uint64_t size = 0;
  if (!decoded_size(l, b, &size) || !partition) return;
  footprint f = footprint_of(dev.geo, b.buf.hdr.type.get(), s.block_align, size);
  l.add("write", f.write);
  l.add("pages", f.pages);
  l.add("eblocks", f.eblocks);
  if (f.eblocks > good || f.write > dev.geo.size || f.write > UINT32_MAX) l.problem("too-large");
}

int preflight_blk(void *ctx, const rom_walk_blk &b) {
  auto &c = *static_cast<preflight_ctx *>(ctx);
  const blk_hdr &h = b.buf.hdr;
  const uint32_t type = h.type.get(), id = h.id.get();
  ++c.blocks;
  line l("preflight:");
  l.add("block", static_cast<uint64_t>(b.index));
  l.add("offset", b.offset);
  l.add("type", blk_type_name(type));
  l.add("id", id);
  l.add("name", report_word(text_field(h.name)));
  l.add("cypher", blk_cypher_name(h.cypher.get()));
  l.add("length", b.length);

  // The file: the header as written, the block whole inside the file.
  if (h.magic.get() != BLK_MAGIC) l.problem("magic");
  if (b.hsize < ROM_HDR_SIZE) l.problem("header-size");  // above 144 ends the walk
  l.add("hcrc", b.hcrc_ok ? "good" : "bad");
  if (!b.hcrc_ok) l.problem("header-crc");
  if (uint64_t{b.total} !=
      uint64_t{b.hsize} + (uint64_t{b.length} + ROM_BLK_ALIGN - 1) / ROM_BLK_ALIGN * ROM_BLK_ALIGN)
    l.problem("total");
  if (b.cut_short) l.problem("cut-short");
  check_payload(l, b);

  // What the install does with it.
  switch (blk_type_action(type)) {
    case blk_action::leave:
      l.add("install", "leave");
      break;
    case blk_action::refuse:
      l.add("install", "refuse");
      l.problem("type");
      break;
    case blk_action::program: {
      if (!blk_selected(c.s, static_cast<int>(id))) {
        l.add("install", "unselected");
        break;
      }
      l.add("install", "program");
      l.add("partition", "mtd" + std::to_string(blk_partition(c.s, static_cast<int>(id))));
      ++c.program;
      auto [first, fresh] = c.targets.emplace(id, b.index);
      if (!fresh) {
        l.problem("duplicate");
        l.add("duplicate-of", static_cast<uint64_t>(first->second));
      }
      check_program(l, b, c.s);
      break;
    }
  }
  c.problems += l.print();
  return 0;
}

}  // namespace

bool device_binding_given(const install_settings &s) {
  return s.device_name.has_value() || s.device_id.has_value();
}

int device_binding_check(const rom_walk &w, const install_settings &s) {
  line l("device:");
  if (w.kind != ROM_CHECK_ROM) {
    l.add("kind", "block");
  } else {
    l.add("kind", "rom");
    l.add("name", report_word(text_field(w.rom.dev_name)));
    l.add("id", w.rom.dev_id.get());
  }
  if (s.device_name) l.add("expected-name", report_word(*s.device_name));
  if (s.device_id) l.add("expected-id", *s.device_id);
  if (w.kind != ROM_CHECK_ROM) {
    l.problem("no-rom-header");
  } else {
    if (s.device_name && text_field(w.rom.dev_name) != *s.device_name) l.problem("name");
    if (s.device_id && w.rom.dev_id.get() != *s.device_id) l.problem("id");
  }
  return l.print() ? RES_FAULT : RES_OK;
}

int preflight_check(rom_walk *w, const install_settings &s) {
  preflight_ctx c{s};
  const bool rom = w->kind == ROM_CHECK_ROM;

  line image("preflight: image");
  image.add("kind", rom ? "rom" : "block");
  image.add("size", w->size);
  if (rom) {
    image.add("header", w->rom.hsize.get());
    image.add("length", w->rom.length.get());
    image.add("blocks", w->rom.blocks.get());
    image.add("name", report_word(text_field(w->rom.dev_name)));
    image.add("id", w->rom.dev_id.get());
    // A smaller header would put the first block inside it.
    if (w->rom.hsize.get() < ROM_HDR_SIZE) image.problem("header-size");
  }
  c.problems += image.print();

  rom_walk_steps steps;
  steps.ctx = &c;
  steps.block = preflight_blk;
  rom_walk_rules rules;
  rules.quiet = true;
  rom_walk_blocks(w, steps, rules);

  // The walk must step from block to block to the exact end of the file,
  // over as many blocks and bytes as the rom header counts.
  const rom_walk_end &e = w->end;
  line end("preflight: end");
  end.add("why", why_word(e.why));
  end.add("offset", e.offset);
  const uint64_t walked = e.offset >= w->first ? e.offset - w->first : 0;
  end.add("blocks", static_cast<uint64_t>(e.blocks));
  end.add("length", walked);
  switch (e.why) {
    case rom_walk_stop::end_of_file:
      break;
    case rom_walk_stop::trailing:
      end.add("trailing", w->size - e.offset);
      end.problem("trailing-bytes");
      break;
    case rom_walk_stop::hsize_limit:
      end.add("header-size", e.value);
      end.problem("header-size");
      break;
    case rom_walk_stop::total_small:
    case rom_walk_stop::total_wraps:
      end.add("total", e.value);
      end.problem(why_word(e.why));
      break;
    case rom_walk_stop::seek_failed:
    case rom_walk_stop::read_failed:
      end.add("errno", errno_word(e.error));
      end.problem("read-failed");
      break;
    default:
      end.problem(why_word(e.why));
      break;
  }
  if (rom && walked != w->rom.length.get()) end.problem("length");
  if (rom && static_cast<uint64_t>(e.blocks) != w->rom.blocks.get()) end.problem("blocks");
  c.problems += end.print();

  report("preflight: verdict=%s blocks=%d program=%d problems=%d\n", c.problems ? "refused" : "ok",
         c.blocks, c.program, c.problems);
  return c.problems ? RES_FAULT : RES_OK;
}

}  // namespace korvane
