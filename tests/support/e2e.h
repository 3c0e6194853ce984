// SPDX-License-Identifier: MIT
// Helpers for end-to-end tests: run a built program with arguments in a
// folder and capture its standard output, standard error and exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::e2e {

struct run_result {
  int status;       // exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

/// Path of a program built by this project ("korvane", "korvane-mkrom", ...).
std::string bin(const std::string &program);

/// Runs argv[0] (a path) with the rest as arguments, in cwd (or the current
/// folder when empty), with standard input from /dev/null.
run_result run(const std::vector<std::string> &argv, const std::string &cwd = "");

/// A fresh empty folder under the system's temporary folder, removed with
/// its contents when the object goes.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir &) = delete;
  scratch_dir &operator=(const scratch_dir &) = delete;
  const std::string &path() const { return path_; }
  std::string path(const std::string &name) const { return path_ + "/" + name; }
  std::string operator/(const std::string &name) const { return path(name); }

 private:
  std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);

/// n bytes that tell their position apart (and do not compress), different
/// for every seed.
std::string pattern(size_t n, unsigned seed);

/// CRC-32 computed bit by bit, independently of the project's table-driven
/// one, for checking what the programs wrote.
uint32_t reference_crc32(const void *data, size_t n);

}  // namespace korvane::e2e
