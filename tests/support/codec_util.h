// SPDX-License-Identifier: MIT
// Helpers shared by the codec tests: a scratch folder, whole-file reads and
// writes, running a peer tool, and recording sinks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::testutil {

/// A fresh folder, removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string path(const std::string &name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

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
