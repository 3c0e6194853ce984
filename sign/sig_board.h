// SPDX-License-Identifier: MIT
// The signature check on the board (korvane --pubkey): before anything is
// done with an image, and after, that the file did not change meanwhile.
// Each prints one line, "signature: " and words key=value; a refusal ends
// with reason=, a sentence to the end of the line.
//
// A good check leaves the image's walk reading from checked chunks: the
// walk's descriptor becomes one with nothing to read of its own, bound to
// the chunks (rom_source_bind), and the file is read only through them, each
// chunk held against the signed table as it is read. A chunk that no longer
// matches prints a refusal line at once and fails the read, so none of its
// bytes reaches a decoder or the flash.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "rom/io.h"
#include "rom/walk.h"
#include "sign/sig_chunks.h"

namespace korvane {

/// What the check saw of the file, to compare with at the end, and the
/// chunks the image is read from after a good check.
struct sig_guard {
  bool taken = false;
  struct stat st {};
  unique_fd raw{-1, rom_close};  // the image's file once the walk reads the chunks
  std::unique_ptr<sig_chunks> chunks;
  rom_source source;
  int bound = -1;  // the descriptor bound to the chunks
  sig_guard() = default;
  sig_guard(const sig_guard &) = delete;
  sig_guard &operator=(const sig_guard &) = delete;
  ~sig_guard();
};

/// Reads the public key files, refuses an image that group or others may
/// write or that belongs to a user other than root or the one running, and
/// checks the signature of the open image against the keys (one that
/// verifies is enough) and every chunk of it against the signed table.
/// Prints the verdict line. When good, w goes on reading from the chunks.
/// When key_id is given, it gets the id of the key that verified.
/// @return 0 when the image is signed by one of the keys, RES_FAULT otherwise.
int sig_board_check(rom_walk *w, const std::vector<std::string> &keyfiles, sig_guard *guard,
                    std::string *key_id = nullptr);

/// Whether a chunk failed while the image was used after the check (its
/// line is printed then).
bool sig_board_chunk_failed(const sig_guard &guard);

/// Whether the file is still the one the check saw (device, inode, size,
/// modification and status change times); when not, prints a refusal line.
/// @return 0, or RES_FAULT.
int sig_board_unchanged(const rom_walk &w, const sig_guard &guard);

}  // namespace korvane
