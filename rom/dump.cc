// SPDX-License-Identifier: MIT
#include "rom/dump.h"

#include <cstring>
#include <string>

#include "codec/cypher_table.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "rom/output.h"

namespace korvane {
namespace {

using enum hdr_fmt;
constexpr hdr_label HCRC = hdr_label::hcrc;
constexpr hdr_label VERIFY = hdr_label::verify;
constexpr hdr_label ROW = hdr_label::row;

constexpr hdr_row rom_lines[] = {
    {"rom magic", offsetof(rom_hdr, magic), hex},
    {"rom hsize", offsetof(rom_hdr, hsize), dec},
    {"rom hcrc", offsetof(rom_hdr, hcrc), hex},
    {"rom format", offsetof(rom_hdr, format), hex},
    {"rom flags", offsetof(rom_hdr, flags), hex},
    {"rom lenght", offsetof(rom_hdr, length), dec},
    {"rom verify", offsetof(rom_hdr, verify), hex},
    {"rom blocks", offsetof(rom_hdr, blocks), dec},
    {"rom dev id", offsetof(rom_hdr, dev_id), dec},
    {"rom dev name", offsetof(rom_hdr, dev_name), text, ROW, sizeof(rom_hdr::dev_name)},
    {"rom oem name", offsetof(rom_hdr, oem_name), text, ROW, sizeof(rom_hdr::oem_name)},
    {"rom version", offsetof(rom_hdr, version), text, ROW, sizeof(rom_hdr::version)},
};

// Info and execute differ in two rows: hsize and flags.
constexpr hdr_row blk_info_lines[] = {
    {"blk magic", offsetof(blk_hdr, magic), hex},
    {"blk hsize", offsetof(blk_hdr, hsize), dec},
    {"blk hcrc", offsetof(blk_hdr, hcrc), hex, HCRC},
    {"blk flags", offsetof(blk_hdr, flags), hex},
    {"blk lenght", offsetof(blk_hdr, length), dec},
    {"blk total", offsetof(blk_hdr, total), dec},
    {"blk verify", offsetof(blk_hdr, verify), hex, VERIFY},
    {"blk type", offsetof(blk_hdr, type), dec},
    {"blk id", offsetof(blk_hdr, id), dec},
    {"blk name", offsetof(blk_hdr, name), text, ROW, sizeof(blk_hdr::name)},
    {"blk version", offsetof(blk_hdr, version), text, ROW, sizeof(blk_hdr::version)},
    {"blk cypher", offsetof(blk_hdr, cypher), name, ROW, 0, blk_cypher_name},
    {"blk data", offsetof(blk_hdr, data), name, ROW, 0, blk_data_name},
};

constexpr hdr_row blk_execute_lines[] = {
    {"blk magic", offsetof(blk_hdr, magic), hex},
    {"blk hsize", offsetof(blk_hdr, hsize), hex},
    {"blk hcrc", offsetof(blk_hdr, hcrc), hex, HCRC},
    {"blk flags", offsetof(blk_hdr, flags), dec},
    {"blk lenght", offsetof(blk_hdr, length), dec},
    {"blk total", offsetof(blk_hdr, total), dec},
    {"blk verify", offsetof(blk_hdr, verify), hex, VERIFY},
    {"blk type", offsetof(blk_hdr, type), dec},
    {"blk id", offsetof(blk_hdr, id), dec},
    {"blk name", offsetof(blk_hdr, name), text, ROW, sizeof(blk_hdr::name)},
    {"blk version", offsetof(blk_hdr, version), text, ROW, sizeof(blk_hdr::version)},
    {"blk cypher", offsetof(blk_hdr, cypher), name, ROW, 0, blk_cypher_name},
    {"blk data", offsetof(blk_hdr, data), name, ROW, 0, blk_data_name},
};

// The builder's summary: the execute formats, the checks unlabelled, no
// cypher and data lines.
constexpr hdr_row blk_summary_lines[] = {
    {"blk magic", offsetof(blk_hdr, magic), hex},
    {"blk hsize", offsetof(blk_hdr, hsize), hex},
    {"blk hcrc", offsetof(blk_hdr, hcrc), hex},
    {"blk flags", offsetof(blk_hdr, flags), dec},
    {"blk lenght", offsetof(blk_hdr, length), dec},
    {"blk total", offsetof(blk_hdr, total), dec},
    {"blk verify", offsetof(blk_hdr, verify), hex},
    {"blk type", offsetof(blk_hdr, type), dec},
    {"blk id", offsetof(blk_hdr, id), dec},
    {"blk name", offsetof(blk_hdr, name), text, ROW, sizeof(blk_hdr::name)},
    {"blk version", offsetof(blk_hdr, version), text, ROW, sizeof(blk_hdr::version)},
};

const char *label_of(const hdr_row &row, const hdr_checks &checks) {
  switch (row.from) {
    case hdr_label::hcrc:
      return checks.hcrc_ok ? "blk good hcrc" : "blk bad  hcrc";
    case hdr_label::verify:
      return checks.verified == -1  ? "blk none verify"
             : checks.verified == 0 ? "blk good verify"
                                    : "blk bad  verify";
    default:
      return row.label;
  }
}

}  // namespace

const std::span<const hdr_row> ROM_HDR_LINES = rom_lines;
const std::span<const hdr_row> BLK_INFO_LINES = blk_info_lines;
const std::span<const hdr_row> BLK_EXECUTE_LINES = blk_execute_lines;
const std::span<const hdr_row> BLK_SUMMARY_LINES = blk_summary_lines;

void dump_dec(const char *label, uint32_t value, dump_printer print) {
  print("%-16s:%d\n", label, static_cast<int32_t>(value));
}

void dump_hdr(std::span<const hdr_row> rows, const void *hdr, const hdr_checks &checks,
              dump_printer print) {
  const auto *base = static_cast<const uint8_t *>(hdr);
  for (const hdr_row &row : rows) {
    const char *label = label_of(row, checks);
    if (row.fmt == text) {
      std::string s = text_field(reinterpret_cast<const char *>(base + row.field), row.width);
      print("%-16s:%s\n", label, s.c_str());
      continue;
    }
    be32 f;
    std::memcpy(&f, base + row.field, sizeof f);
    const uint32_t v = f.get();
    switch (row.fmt) {
      case hex:
        print("%-16s:0x%08x\n", label, v);
        break;
      case dec:
        dump_dec(label, v, print);
        break;
      default:
        print("%-16s:%s\n", label, row.name(v));
        break;
    }
  }
}

}  // namespace korvane
