// SPDX-License-Identifier: MIT
// Small descriptor helpers shared by the readers and writers of images.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace korvane {

/// Owns a descriptor and closes it (when it is not negative) at the end of
/// the scope, unless it was released.
struct unique_fd {
  int fd = -1;
  unique_fd() = default;
  explicit unique_fd(int f) : fd(f) {}
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
  ~unique_fd();
  int release();
};

/// Reads up to n bytes, going on after short reads and interruptions.
/// @return bytes read (fewer than n at the end of the file) or -1, errno set.
ssize_t read_full(int fd, void *buf, size_t n);

/// Reads exactly n bytes at offset (pread), going on after short reads and
/// interruptions. @return false (errno set; EIO when the file ends first).
bool read_at(int fd, void *buf, size_t n, uint64_t offset);

/// Writes all n bytes, going on after short writes and interruptions.
/// @return true when all were written; false with errno set.
bool write_all(int fd, const void *buf, size_t n);

/// Offsets in an image are 32-bit: a walk never goes past this.
inline constexpr uint64_t ROM_WALK_LIMIT = 0xFFFFFFFFull;

/// Moves a block walk from the header at *offset to the next one, `total`
/// bytes on. A total below one header would not move the walk forward (or
/// would move it into the block's own header) and one past 32 bits cannot
/// name a block: both end the walk with a message.
/// @return true when the walk may go on.
bool rom_walk_next(uint64_t *offset, uint32_t total);

}  // namespace korvane
