// SPDX-License-Identifier: MIT
// Helpers shared by the codec tests: whole-file reads and writes as bytes,
// running a peer tool, and recording sinks. The scratch folder is
// e2e::scratch_dir.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::testutil {

/// Whole-file writes and reads as bytes (reading a missing file throws).
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
std::vector<uint8_t> read_file(const std::string &path);

/// The full path of a program found on PATH, or "" when there is none.
std::string find_tool(const std::string &name);

/// Runs argv (argv[0] a full path) with stdin and stdout redirected to the
/// given files ("" leaves them alone, stderr goes to /dev/null).
/// @return the exit status, or -1 when it did not exit normally.
int run_tool(const std::vector<std::string> &argv, const std::string &in = "",
             const std::string &out = "");

/// A zentarc_sink context that records what it is given. From call number
/// refuse_at on (counting from 0) it takes one byte less than offered.
struct RecordSink {
  std::vector<uint8_t> data;
  std::vector<int> pieces;
  int refuse_at = -1;
  size_t capacity = SIZE_MAX;  // a buffer sink: refuses what does not fit
};
int record_sink(void *ctx, const uint8_t *bytes, int count);

}  // namespace korvane::testutil
