// SPDX-License-Identifier: MIT
#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace korvane::fuzz {
namespace {

std::string *scratch_path;

void remove_scratch() {
  std::error_code ignored;
  std::filesystem::remove_all(*scratch_path, ignored);
}

}  // namespace

command_line command_line_of(const char *program, const uint8_t *data, size_t size,
                             size_t max_words) {
  command_line c;
  c.words.push_back(program);
  std::string word;
  for (size_t i = 0; i < size && c.words.size() < max_words; ++i) {
    if (data[i] == 0) {
      c.words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (!word.empty() && c.words.size() < max_words) c.words.push_back(word);
  return c;
}

char **command_line::argv() {
  pointers.clear();
  for (std::string &w : words) pointers.push_back(w.data());
  pointers.push_back(nullptr);
  return pointers.data();
}

void check_failed(const char *file, int line, const char *what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

void quiet_stdout() {
  std::fflush(stdout);
  int null_fd = open("/dev/null", O_WRONLY);
  FUZZ_CHECK(null_fd >= 0);
  FUZZ_CHECK(dup2(null_fd, STDOUT_FILENO) == STDOUT_FILENO);
  close(null_fd);
}

const std::string &scratch() {
  if (!scratch_path) {
    // Memory-backed when the machine has it: rewriting a truncated file on
    // a disk file system waits for the journal, milliseconds per input.
    const char *tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string templ = base + "/korvane-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(templ.data()) != nullptr);
    scratch_path = new std::string(templ);
    std::atexit(remove_scratch);
  }
  return *scratch_path;
}

void write_input(const std::string &path, const uint8_t *data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  while (size) {
    ssize_t n = write(fd, data, size);
    FUZZ_CHECK(n > 0);
    data += n;
    size -= static_cast<size_t>(n);
  }
  close(fd);
}

void empty_folder(const std::string &path) {
  for (const auto &entry : std::filesystem::directory_iterator(path))
    std::filesystem::remove_all(entry.path());
}

int open_fds() {
  DIR *d = opendir("/proc/self/fd");
  FUZZ_CHECK(d != nullptr);
  int n = 0;
  while (const dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n - 1;  // the folder's own descriptor
}

}  // namespace korvane::fuzz
