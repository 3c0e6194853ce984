// SPDX-License-Identifier: MIT
// Info display and extraction: the -I, -i and -x actions of korvane.
#pragma once

#include <cstdint>

namespace korvane {

/// Shows a rom image or block file: the rom header, then (with all set or a
/// directory given) every block header with its hcrc and, when both the flag
/// word and the block carry a verify kind, its payload check. With a
/// directory, every block is also written to a file of its own there: as
/// stored (with_header 1) or decoded by its cypher type (with_header 0).
/// Only the verify kind (ROM_VERIFY_MASK) of flags is read.
/// @return 0, or RES_FAULT (the message has been printed).
int rom_show(const char *path, const char *dir, uint32_t flags, int with_header, int all);

struct rom_walk;

/// rom_show over an image already opened with rom_walk_open (the one a
/// check before the action read).
int rom_show_walk(rom_walk *w, const char *dir, uint32_t flags, int with_header, int all);

}  // namespace korvane
