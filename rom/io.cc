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

namespace {

int bound_fd = -1;
const rom_source *bound_source = nullptr;

const rom_source *source_of(int fd) { return fd >= 0 && fd == bound_fd ? bound_source : nullptr; }

}  // namespace

void rom_source_bind(int fd, const rom_source *src) {
  bound_fd = src ? fd : -1;
  bound_source = src;
}

ssize_t read_some(int fd, void *buf, size_t n) {
  const rom_source *src = source_of(fd);
  if (!src) return ::read(fd, buf, n);
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0) return -1;
  ssize_t r = src->read_at(src->ctx, buf, n, static_cast<uint64_t>(at));
  if (r > 0 && lseek(fd, at + r, SEEK_SET) < 0) return -1;
  return r;
}

ssize_t read_full(int fd, void *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read_some(fd, static_cast<uint8_t *>(buf) + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

bool read_at(int fd, void *buf, size_t n, uint64_t offset) {
  const rom_source *src = source_of(fd);
  size_t got = 0;
  while (got < n) {
    uint8_t *to = static_cast<uint8_t *>(buf) + got;
    ssize_t r = src ? src->read_at(src->ctx, to, n - got, offset + got)
                    : ::pread(fd, to, n - got, static_cast<off_t>(offset + got));
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
