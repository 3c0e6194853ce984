// SPDX-License-Identifier: MIT
// The execute walk: every block of an image, in file order, handed to block
// programming, with the verbose header dumps and the display-only checks.
#pragma once

#include "install/install_settings.h"
#include "rom/walk.h"

namespace korvane {

/// Walks the image or block file at path and programs its blocks as the
/// settings say. A block that fails ends the walk unless skip_bad is set.
/// @return 0 when the walk reached its end (or a header larger than 144
///         bytes), RES_FAULT on failure, and also when skip_bad went on
///         past a block whose read-back failed.
int rom_execute(const char *path, const install_settings &settings);

/// rom_execute over an image already opened with rom_walk_open (the one
/// the checks before the install read).
int rom_execute_walk(rom_walk *w, const install_settings &settings);

}  // namespace korvane
