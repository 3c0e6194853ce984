// SPDX-License-Identifier: MIT
// Small descriptor helpers shared by the readers and writers of images.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace korvane {

/// Owns a descriptor and closes it at the end of the scope (when it is not
/// negative), unless it was released. What closes it is the closer: ::close
/// for ordinary files; close_positive (rom_close) where descriptor 0 must
/// never be closed (the image, the fake MTD file); plat_close for what was
/// opened through the platform table, mtd_close for an MTD device.
struct unique_fd {
  using closer = int (*)(int fd);
  int fd = -1;
  closer close_fn = ::close;

  unique_fd() = default;
  explicit unique_fd(int f, closer c = ::close) : fd(f), close_fn(c) {}
  unique_fd(unique_fd &&other) noexcept;
  unique_fd &operator=(unique_fd &&other) noexcept;
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
  ~unique_fd() { reset(); }
  /// Closes the descriptor held and takes f.
  void reset(int f = -1);
  /// @return the descriptor, no longer owned.
  int release();
};

/// A closer that closes fd only when it is greater than 0. @return 0
int close_positive(int fd);

/// Where the bytes of an image come from when they do not come straight
/// from its file: read(offset, length), as pread answers it (bytes read,
/// 0 at the end, or -1 with errno set).
struct rom_source {
  void *ctx = nullptr;
  ssize_t (*read_at)(void *ctx, void *buf, size_t n, uint64_t offset) = nullptr;
};

/// Serves every read of descriptor fd made through read_some, read_full and
/// read_at from src instead (the descriptor still keeps the position, so
/// lseek goes on working); nullptr ends it. One descriptor at a time: the
/// image of a run. Its user makes fd a descriptor with nothing of its own
/// to read, so that a read past these helpers finds an empty file.
void rom_source_bind(int fd, const rom_source *src);

/// One read at the current position, as ::read: from the source bound to
/// fd, if any. @return bytes read, 0 at the end, or -1 with errno set.
ssize_t read_some(int fd, void *buf, size_t n);

/// Reads up to n bytes, going on after short reads and interruptions.
/// @return bytes read (fewer than n at the end of the file) or -1, errno set.
ssize_t read_full(int fd, void *buf, size_t n);

/// Reads exactly n bytes at offset (pread), going on after short reads and
/// interruptions. @return false (errno set; EIO when the file ends first).
bool read_at(int fd, void *buf, size_t n, uint64_t offset);

/// Writes all n bytes, going on after short writes and interruptions.
/// @return true when all were written; false with errno set.
bool write_all(int fd, const void *buf, size_t n);

}  // namespace korvane
