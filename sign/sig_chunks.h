// SPDX-License-Identifier: MIT
// A source of checked chunks: the bytes of a signed image served from
// chunks that were each read once and held against the signed table of
// digests before any of their bytes is handed on. It reads its unchecked
// bytes from a rom_source (the image's file, or any other transport that
// answers read(offset, length)), so a reader that knows the table up front
// can take an image from anywhere. What it serves is read(offset, length),
// as pread answers: the walk, the preflight and the install read the image
// through it (rom_source_bind) as they read a file.
//
// Memory: two chunks and the signature block with its table (32 bytes a
// chunk: 2 MiB for a 4 GiB image at 64 KiB), whatever the size of the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rom/io.h"
#include "sign/sig_crypto.h"

namespace korvane {

/// Why the source stopped serving, once it has.
struct sig_chunk_fault {
  bool failed = false;
  bool mismatch = false;  // the chunk was read whole and its digest differs
  uint64_t chunk = 0;     // its index
  uint64_t offset = 0;    // of its first byte
  int error = 0;          // otherwise: the errno of the read (EIO: the image ended first)
};

struct sig_chunks {
  rom_source raw;             // where the unchecked bytes come from
  uint32_t chunk_size = 0;    // bytes a chunk (the last one may be shorter)
  uint64_t end = 0;           // the chunks cover [0, end)
  std::vector<uint8_t> tail;  // served at [end, end + tail.size()): the signature block as checked
  size_t table_at = 0;        // where in tail the table starts: one SIG_DIGEST_BYTES digest a chunk
  /// Told once, when the first chunk fails; may be null.
  void (*on_fault)(void *ctx, const sig_chunk_fault &fault) = nullptr;
  void *fault_ctx = nullptr;

  sig_chunk_fault fault;  // after a failure every read fails with EBADMSG

  struct held_chunk {
    uint64_t index = UINT64_MAX;
    std::vector<uint8_t> bytes;
  };
  held_chunk held[2];  // the chunks checked last
  int next_slot = 0;
  uint64_t chunks_read = 0;  // chunks read and checked (each time one is read again as well)

  /// The source's size: the chunks and the tail.
  uint64_t size() const { return end + tail.size(); }
};

/// A rom_source reading descriptor *fd with pread (the image's file).
rom_source sig_raw_fd(const int *fd);

/// Reads up to n bytes at offset from checked chunks, as pread: bytes
/// read, 0 at or past the end, or -1 with errno set (EBADMSG once a chunk
/// did not match its digest, or could not be read whole; c->fault says
/// which, and every later read fails too).
ssize_t sig_chunks_read(sig_chunks *c, void *buf, size_t n, uint64_t offset);

/// c as a rom_source (reads through sig_chunks_read); c must outlive it.
rom_source sig_chunks_source(sig_chunks *c);

/// Reads and checks every chunk in order. @return 0, or -1 (c->fault).
int sig_chunks_check_all(sig_chunks *c);

}  // namespace korvane
