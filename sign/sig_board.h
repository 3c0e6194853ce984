// SPDX-License-Identifier: MIT
// The signature check on the board (korvane --pubkey): before anything is
// done with an image, and after, that the file did not change meanwhile.
// Each prints one line, "signature: " and words key=value; a refusal ends
// with reason=, a sentence to the end of the line.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "rom/walk.h"

namespace korvane {

/// What the check saw of the file, to compare with at the end.
struct sig_guard {
  bool taken = false;
  struct stat st {};
};

/// Reads the public key files, refuses an image that group or others may
/// write, and checks the signature of the open image against the keys (one
/// that verifies is enough). Prints the verdict line.
/// When key_id is given, it gets the id of the key that verified.
/// @return 0 when the image is signed by one of the keys, RES_FAULT otherwise.
int sig_board_check(rom_walk *w, const std::vector<std::string> &keyfiles, sig_guard *guard,
                    std::string *key_id = nullptr);

/// Whether the file's size and modification time are still those the check
/// saw; when not, prints a refusal line. @return 0, or RES_FAULT.
int sig_board_unchanged(const rom_walk &w, const sig_guard &guard);

}  // namespace korvane
