// SPDX-License-Identifier: MIT
#include "rom/io.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace korvane {

unique_fd::unique_fd(unique_fd &&other) noexcept
    : fd(std::exchange(other.fd, -1)), close_fn(other.close_fn) {}

unique_fd &unique_fd::operator=(unique_fd &&other) noexcept {
  if (this != &other) {
    reset(std::exchange(other.fd, -1));
    close_fn = other.close_fn;
  }
  return *this;
}

void unique_fd::reset(int f) {
  if (fd >= 0) close_fn(fd);
  fd = f;
}

int unique_fd::release() { return std::exchange(fd, -1); }

int close_positive(int fd) {
  if (fd > 0) ::close(fd);
  return 0;
}

ssize_t read_full(int fd, void *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, static_cast<uint8_t *>(buf) + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

bool read_at(int fd, void *buf, size_t n, uint64_t offset) {
  size_t got = 0;
  while (got < n) {
    ssize_t r =
        ::pread(fd, static_cast<uint8_t *>(buf) + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) errno = EIO;
      return false;
    }
    got += static_cast<size_t>(r);
  }
  return true;
}

bool write_all(int fd, const void *buf, size_t n) {
  const uint8_t *p = static_cast<const uint8_t *>(buf);
  while (n) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace korvane
