// SPDX-License-Identifier: MIT
#include "tests/support/codec_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/e2e.h"

namespace korvane::testutil {

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  e2e::write_file(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> read_file(const std::string &path) {
  if (!e2e::file_exists(path)) throw std::runtime_error("cannot read " + path);
  std::string s = e2e::read_file(path);
  return {s.begin(), s.end()};
}

std::string find_tool(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

int run_tool(const std::vector<std::string> &argv, const std::string &in, const std::string &out) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (!in.empty()) {
      int fd = open(in.c_str(), O_RDONLY);
      if (fd < 0 || dup2(fd, 0) < 0) _exit(126);
      close(fd);
    }
    if (!out.empty()) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
      close(fd);
    }
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int record_sink(void *ctx, const uint8_t *bytes, int count) {
  auto *s = static_cast<RecordSink *>(ctx);
  int call = static_cast<int>(s->pieces.size());
  s->pieces.push_back(count);
  int take = count;
  if (s->refuse_at >= 0 && call >= s->refuse_at && count > 0) take = count - 1;
  if (s->data.size() + static_cast<size_t>(take) > s->capacity) {
    take = static_cast<int>(s->capacity - s->data.size());
  }
  s->data.insert(s->data.end(), bytes, bytes + take);
  return take;
}

}  // namespace korvane::testutil
