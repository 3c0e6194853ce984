// SPDX-License-Identifier: MIT
// The chunked reader: a byte region of a descriptor read piece by piece,
// each piece transformed in place (when a transform is given) and handed to
// a sink. Extraction copies regions into files through it (copy_region),
// programming feeds payloads to the flash sink through it. Never holds more
// than one piece.
#pragma once

#include <cstdint>

namespace korvane {

/// Transforms n bytes in place. @return the number of bytes to hand on.
using copy_transform = int (*)(uint8_t *buf, int n);

/// Where a chunked read delivers its pieces.
struct region_sink {
  void *ctx = nullptr;
  /// Takes n bytes at p. @return n when all were taken; anything else stops
  /// the read (the sink has said why).
  int (*put)(void *ctx, const uint8_t *p, int n) = nullptr;
  /// Optional, for a sink that gathers pieces in a buffer of its own: the
  /// place where the next piece of up to n bytes may be read, so that put
  /// finds it there and need not copy it; nullptr when the sink cannot
  /// promise that room for every piece. Asked once before the first piece
  /// and then before each.
  uint8_t *(*room)(void *ctx, uint32_t n) = nullptr;
};

/// How a chunked read ended.
enum class region_end {
  done,           // all count bytes were read and taken
  short_source,   // the source ended first
  seek_failed,    // positioning the source failed
  no_memory,      // no buffer for a piece (a piece size of 0 included)
  read_failed,    // a read failed
  bad_transform,  // a transform gave a negative count or more than a piece
  refused,        // the sink did not take a piece
};

struct region_result {
  region_end end;
  uint32_t read;  // source bytes read
  uint32_t put;   // bytes the sink took
  int error;      // seek_failed, read_failed, no_memory: the errno
};

/// Reads count bytes of src from offset in pieces of at most `piece` bytes.
/// Prints nothing: the caller says what went wrong in its own words.
region_result read_region(int src, uint64_t offset, uint32_t count, uint32_t piece,
                          copy_transform transform, const region_sink &sink);

/// Copies count bytes of src from offset to dst at its current position.
/// @return bytes written (fewer than count when src ends early), or RES_FAULT.
int copy_region(int src, uint64_t offset, uint32_t count, int dst, uint32_t chunk,
                copy_transform transform);

}  // namespace korvane
