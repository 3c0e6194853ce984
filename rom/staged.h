// SPDX-License-Identifier: MIT
// A new version of a file, written beside it and put in its place in one
// step (rename), so that a reader sees either the old file or the whole new
// one whatever interrupts the writer: a kill, a full disk, a file-size
// limit, a power cut. The new version is an anonymous file in the target's
// folder while it is written (nothing is left behind by a kill); where the
// file system has no anonymous files it is a named one, "TARGET.XXXXXX",
// removed on failure and, once staged_remove_on_signals() is set up, on
// SIGINT, SIGTERM and SIGHUP.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane {

/// Called with the bytes written so far and the bytes expected in all.
struct staged_progress {
  void (*step)(void *ctx, uint64_t done, uint64_t total) = nullptr;
  void *ctx = nullptr;
  uint64_t total = 0;
};

struct staged_file {
  int fd = -1;         // the new version, open for writing
  std::string target;  // the path it replaces (a symbolic link resolved)
  std::string dir;     // the target's folder
  std::string name;    // the named temporary file, when not anonymous
  uint64_t written = 0;
  staged_progress progress;

  staged_file() = default;
  staged_file(const staged_file &) = delete;
  staged_file &operator=(const staged_file &) = delete;
  ~staged_file();  // discards an uncommitted version
};

/// Starts a new version of target (which need not exist) with permission
/// bits mode. @return 0, or -1 with *error set.
int staged_open(const char *target, mode_t mode, staged_file *s, std::string *error);

/// Appends n bytes. @return 0, or -1 with *error set (errno as the write left it).
int staged_write(staged_file *s, const void *buf, size_t n, std::string *error);

/// Writes n bytes at offset (inside what was written). @return 0 or -1.
int staged_pwrite(staged_file *s, const void *buf, size_t n, uint64_t offset, std::string *error);

/// Appends the first length bytes of src (read from offset 0): a shared
/// copy of the extents where the file system offers one, else a copy in the
/// kernel, else reads and writes. @return 0, or -1 with *error set.
int staged_copy(staged_file *s, int src, uint64_t length, std::string *error);

/// Makes the new version durable and puts it in the target's place: fsync,
/// rename over the target, fsync of the folder. @return 0, or -1 with
/// *error set (the target is then as it was).
int staged_commit(staged_file *s, std::string *error);

/// Drops the new version; the target is left as it was.
void staged_discard(staged_file *s);

/// Removes the named temporary file of the version being written when
/// SIGINT, SIGTERM or SIGHUP ends the process.
void staged_remove_on_signals();

/// For tests: called with the name of every step that changes a file
/// ("copy", "write", "fsync", "link", "rename", "fsync-dir") just before it
/// is taken. nullptr turns it off.
void staged_set_step_hook(void (*hook)(const char *step));

}  // namespace korvane
