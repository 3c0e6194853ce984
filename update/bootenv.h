// SPDX-License-Identifier: MIT
// The boot loader's environment as the update actions use it: the
// installed backend (platform/bootenv.h), or the board's own through the
// environment library when none is installed.
#pragma once

#include <string>

#include "platform/bootenv.h"

namespace korvane {

/// The backend over the environment library (update/bootenv_uboot.cc, the
/// one file that includes it): place is its fw_env.config, which may name
/// MTD devices or regular files, with one or two copies.
extern const bootenv_ops uboot_bootenv;

/// The backend in use: the installed one, else uboot_bootenv.
const bootenv_ops &bootenv_current();

}  // namespace korvane
