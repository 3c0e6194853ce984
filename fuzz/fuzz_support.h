// SPDX-License-Identifier: MIT
// What the fuzz targets share: an input as a command line, a check that
// stops the run, a scratch folder for the files a target needs, and a count
// of open descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::fuzz {

/// A fuzz input as a command line: the program's name, then the input's
/// words, separated by NUL bytes (at most max_words words in all).
struct command_line {
  std::vector<std::string> words;
  std::vector<char *> pointers;
  int argc() const { return static_cast<int>(words.size()); }
  /// The words as argv, null-terminated; valid while the words are unchanged.
  char **argv();
};
command_line command_line_of(const char *program, const uint8_t *data, size_t size,
                             size_t max_words);

/// Prints the failed condition and aborts, so that libFuzzer keeps the input.
[[noreturn]] void check_failed(const char *file, int line, const char *what);

#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : ::korvane::fuzz::check_failed(__FILE__, __LINE__, #cond))

/// Sends standard output to /dev/null: the code under test reports every
/// event there, and libFuzzer's own lines go to standard error.
void quiet_stdout();

/// A fresh folder under $TMPDIR (else /dev/shm, else /tmp), removed with what it holds when
/// the process exits normally. Made once per process.
const std::string &scratch();

/// Replaces the file at path with the bytes.
void write_input(const std::string &path, const uint8_t *data, size_t size);

/// Removes everything inside the folder (not the folder).
void empty_folder(const std::string &path);

/// The number of descriptors this process holds open.
int open_fds();

}  // namespace korvane::fuzz
