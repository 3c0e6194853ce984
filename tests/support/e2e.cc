// SPDX-License-Identifier: MIT
#include "tests/support/e2e.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace korvane::e2e {
namespace {

// Reads both pipes to their ends without letting either fill up.
void drain(int out_fd, int err_fd, std::string &out, std::string &err) {
  char buf[65536];
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    fd_set set;
    FD_ZERO(&set);
    if (out_open) FD_SET(out_fd, &set);
    if (err_open) FD_SET(err_fd, &set);
    if (select(std::max(out_fd, err_fd) + 1, &set, nullptr, nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("select failed");
    }
    for (auto [fd, open, text] :
         {std::tuple{out_fd, &out_open, &out}, std::tuple{err_fd, &err_open, &err}}) {
      if (!*open || !FD_ISSET(fd, &set)) continue;
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) text->append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR) *open = false;
    }
  }
}

}  // namespace

std::string bin(const std::string &program) {
  const char *dir = std::getenv("KORVANE_BIN_DIR");
  return std::string(dir && *dir ? dir : KORVANE_BIN_DIR) + "/" + program;
}

run_result run(const std::vector<std::string> &argv, const std::string &cwd) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  run_result r{};
  drain(out_pipe[0], err_pipe[0], r.out, r.err);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return r;
}

scratch_dir::scratch_dir() {
  std::string templ = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

scratch_dir::~scratch_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string pattern(size_t n, unsigned seed) {
  std::string v(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<char>(x >> 24);
  }
  return v;
}

uint32_t reference_crc32(const void *data, size_t n) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

}  // namespace korvane::e2e
