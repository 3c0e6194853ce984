// SPDX-License-Identifier: MIT
// Header dumps: the label lines that show a rom or block header, one row a
// line, walked by one printer. The three block dumps (info and extraction,
// the verbose install, the builder's summary) are three tables side by side
// in dump.cc, so what differs between them is a row, not a function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "rom/output.h"

namespace korvane {

/// How a line shows its field: "%-16s:0x%08x", "%-16s:%d" (signed), or
/// "%-16s:%s" with the text field or the value's display name.
enum class hdr_fmt { hex, dec, text, name };

/// Where a line's label comes from: the row, or the outcome of a check
/// ("blk good hcrc" / "blk bad  hcrc"; "blk none verify" / "blk good
/// verify" / "blk bad  verify").
enum class hdr_label { row, hcrc, verify };

struct hdr_row {
  const char *label;
  size_t field;  // offset of the 32-bit field, or of the text field, in the header
  hdr_fmt fmt;
  hdr_label from = hdr_label::row;
  size_t width = 0;                         // text: bytes of the field
  const char *(*name)(uint32_t) = nullptr;  // name: the value's display name
};

/// The outcomes of a block's checks, for the labels that show them.
struct hdr_checks {
  bool hcrc_ok = true;
  int verified = -1;  // -1 not checked, 0 good, anything else bad
};

extern const std::span<const hdr_row> ROM_HDR_LINES;      // every rom header dump
extern const std::span<const hdr_row> BLK_INFO_LINES;     // -i and -x
extern const std::span<const hdr_row> BLK_EXECUTE_LINES;  // -e with -V
extern const std::span<const hdr_row> BLK_SUMMARY_LINES;  // the builder, after each block

/// Where a dump's lines go: report() (the default), or report_result() for
/// a dump that is an operation's result (the builder's summary), which stays
/// on standard output when a program sends report() elsewhere.
typedef void (*dump_printer)(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// One "%-16s:%d" line outside a header: the walk's position lines.
void dump_dec(const char *label, uint32_t value, dump_printer print = report);

/// Prints one line a row for the header at hdr (in file byte order).
void dump_hdr(std::span<const hdr_row> rows, const void *hdr, const hdr_checks &checks = {},
              dump_printer print = report);

}  // namespace korvane
