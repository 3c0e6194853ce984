// SPDX-License-Identifier: MIT
// korvane-mkrom list IMAGE [--json]: the rom header and every block as
// korvane's walk finds them, with their checks. The JSON document's schema
// is described in korvane-mkrom(1), JSON; the README points there.
#include <cinttypes>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "codec/cypher_table.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/scan.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char LIST_USAGE[] =
    "Usage: korvane-mkrom list IMAGE [--json]\n"
    "Show the rom header of IMAGE (a rom image or block file) and every block as\n"
    "korvane's walk finds it: index, offset, type, cypher, id, name, version,\n"
    "stored and decoded sizes, the check kind, and whether the header CRC and\n"
    "the payload check pass.\n"
    "\n"
    "      --json            one JSON document (schema in the README)\n"
    "  -h, --help            show this help\n";

enum { OPT_JSON = 256 };

// Texts as a person reads them: bytes outside printable ASCII as \\xNN.
std::string shown(const std::string &s) { return escaped_bytes(s, true); }

// Whether the rom header's length and blocks count what the walk found.
bool header_agrees(const image_scan &scan) {
  const rom_walk &w = scan.walk;
  if (w.kind != ROM_CHECK_ROM) return true;
  uint64_t end = uint64_t{w.rom.hsize.get()} + w.rom.length.get();
  return w.end.why == rom_walk_stop::end_of_file && w.end.offset == end && end == w.size &&
         scan.blocks.size() == w.rom.blocks.get();
}

struct block_facts {
  bool have_decoded;
  uint64_t decoded;  // the size of the bytes the block was built from
  int payload;       // 1 good, 0 bad, -1 no check
};

block_facts facts(int fd, const rom_walk_blk &b) {
  block_facts f{};
  const cypher_type *t = cypher_find(b.buf.hdr.cypher.get());
  f.have_decoded = t && cypher_source_size(*t, fd, b.payload, b.length, &f.decoded);
  f.payload = scan_payload_ok(b);
  return f;
}

int print_json(const request &req, const image_scan &scan) {
  using nlohmann::json;
  const rom_walk &w = scan.walk;
  json doc;
  doc["format"] = "korvane-mkrom list";
  doc["version"] = 1;
  doc["file"] = req.list.image;
  doc["size"] = w.size;
  doc["kind"] = w.kind == ROM_CHECK_ROM ? "rom" : "block";
  if (w.kind == ROM_CHECK_ROM) {
    const rom_hdr &r = w.rom;
    doc["rom"] = {
        {"hsize", r.hsize.get()},
        {"hcrc", r.hcrc.get()},
        {"hcrc_ok", scan.rom_hcrc_ok},
        {"format", r.format.get()},
        {"flags", r.flags.get()},
        {"length", r.length.get()},
        {"verify", r.verify.get()},
        {"blocks", r.blocks.get()},
        {"dev_id", r.dev_id.get()},
        {"dev_name", text_field(r.dev_name)},
        {"oem_name", text_field(r.oem_name)},
        {"version", text_field(r.version)},
        {"agrees", header_agrees(scan)},
    };
  } else {
    doc["rom"] = nullptr;
  }
  json blocks = json::array();
  for (const rom_walk_blk &b : scan.blocks) {
    const blk_hdr &h = b.buf.hdr;
    block_facts f = facts(w.fd.fd, b);
    blocks.push_back({
        {"index", b.index},
        {"offset", b.offset},
        {"hsize", h.hsize.get()},
        {"hcrc", h.hcrc.get()},
        {"hcrc_ok", b.hcrc_ok},
        {"flags", h.flags.get()},
        {"type", h.type.get()},
        {"type_name", blk_type_name(h.type.get())},
        {"cypher", h.cypher.get()},
        {"cypher_name", blk_cypher_name(h.cypher.get())},
        {"data", h.data.get()},
        {"data_name", blk_data_name(h.data.get())},
        {"id", h.id.get()},
        {"name", text_field(h.name)},
        {"version", text_field(h.version)},
        {"stored_size", h.length.get()},
        {"total", h.total.get()},
        {"decoded_size", f.have_decoded ? json(f.decoded) : json(nullptr)},
        {"check", verify_kind_name(h.flags.get())},
        {"verify", h.verify.get()},
        {"payload_ok", f.payload < 0 ? json(nullptr) : json(f.payload == 1)},
        {"complete", !b.cut_short},
    });
  }
  doc["blocks"] = std::move(blocks);
  doc["walk"] = {{"end_offset", w.end.offset}, {"stopped", scan_end_name(scan)}};
  std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace);
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  return EXIT_DONE;
}

int print_text(const request &req, const image_scan &scan) {
  const rom_walk &w = scan.walk;
  std::printf("%s: %s, %" PRIu64 " bytes\n", req.list.image.c_str(),
              w.kind == ROM_CHECK_ROM ? "rom image" : "block file", w.size);
  if (w.kind == ROM_CHECK_ROM) {
    const rom_hdr &r = w.rom;
    std::printf(
        "rom: hsize %u, hcrc 0x%08x %s, format %u, flags 0x%08x, length %u, blocks %u, "
        "dev-id %u, dev-name %s, oem %s, version %s\n",
        r.hsize.get(), r.hcrc.get(), scan.rom_hcrc_ok ? "good" : "bad", r.format.get(),
        r.flags.get(), r.length.get(), r.blocks.get(), r.dev_id.get(),
        shown(text_field(r.dev_name)).c_str(), shown(text_field(r.oem_name)).c_str(),
        shown(text_field(r.version)).c_str());
  }
  std::printf("%5s %10s %-8s %-7s %10s %10s %10s %-8s %-4s %-7s %s\n", "index", "offset", "type",
              "cypher", "id", "stored", "decoded", "check", "hcrc", "payload", "name / version");
  for (const rom_walk_blk &b : scan.blocks) {
    const blk_hdr &h = b.buf.hdr;
    block_facts f = facts(w.fd.fd, b);
    std::string decoded = f.have_decoded ? std::to_string(f.decoded) : "-";
    const char *payload = f.payload < 0 ? "-" : f.payload ? "good" : "bad";
    std::printf("%5d %10" PRIu64 " %-8s %-7s %10u %10u %10s %-8s %-4s %-7s %s / %s\n", b.index,
                b.offset, blk_type_name(h.type.get()), blk_cypher_name(h.cypher.get()), h.id.get(),
                h.length.get(), decoded.c_str(), verify_kind_name(h.flags.get()),
                b.hcrc_ok ? "good" : "bad", payload, shown(text_field(h.name)).c_str(),
                shown(text_field(h.version)).c_str());
    if (b.cut_short) std::printf("block %d is cut short by the end of the file\n", b.index);
  }
  if (!scan_reached_end(scan))
    std::printf("the walk stops at offset %" PRIu64 " (%s): korvane reads nothing after it\n",
                w.end.offset, scan_end_name(scan));
  if (!header_agrees(scan))
    std::printf("the rom header counts %u blocks in %u bytes; the walk finds %zu ending at %" PRIu64
                " in a file of %" PRIu64 " bytes\n",
                w.rom.blocks.get(), w.rom.length.get(), scan.blocks.size(), w.end.offset, w.size);
  return EXIT_DONE;
}

}  // namespace

int parse_list(request *req, int argc, char **argv) {
  static const option longs[] = {
      {"json", no_argument, nullptr, OPT_JSON},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  std::vector<std::string> args;
  int status =
      parse_options(req->self, argc, argv, "h", longs, LIST_USAGE, &args, [&](int c, const char *) {
        if (c == OPT_JSON) req->list.json = true;
        return GO_ON;
      });
  if (status != GO_ON) return status;
  if (args.size() != 1)
    return cmdline_error(req->self, args.empty() ? "missing IMAGE" : "too many arguments");
  req->list.image = args[0];
  return GO_ON;
}

int run_list(const request &req) {
  image_scan scan;
  std::string error;
  if (image_scan_open(req.list.image.c_str(), &scan, true, nullptr, &error) != 0)
    return failed(req.self, "%s: %s", req.list.image.c_str(), error.c_str());
  return req.list.json ? print_json(req, scan) : print_text(req, scan);
}

}  // namespace korvane::mkrom
