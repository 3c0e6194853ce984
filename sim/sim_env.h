// SPDX-License-Identifier: MIT
// The boot loader's environment of the simulated board, kept in the state
// folder in the boot loader's own format, and the backend that the update
// layer reads and writes it through while korvane-sim runs.
//
// A copy is SIZE bytes: the CRC-32 (little-endian) of the data area, then,
// for a redundant environment, one flag byte, then the data area:
// "name=value\0" for every variable in name order, one more "\0", and zero
// bytes to the end. Of a redundant environment's two copies the boot loader
// reads the one whose CRC holds; when both do, the one with the newer flag
// (the greater, with 0 newer than 255). A store writes the whole
// environment into the other copy with the flag one past the current one,
// so a store cut short leaves the current copy as it was.
//
// State folder files: uboot.env (the first copy) and, for a redundant
// environment, uboot-redund.env.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bootenv.h"
#include "sim/sim_board.h"

namespace korvane {

/// One copy's bytes for vars. @return false when the variables do not fit.
bool uboot_env_encode(const bootenv_vars &vars, uint32_t size, bool redundant, uint8_t flag,
                      std::string *bytes);

/// Reads one copy. @return false when its size or CRC is wrong (or a
/// variable has no '=').
bool uboot_env_decode(const std::string &bytes, bool redundant, bootenv_vars *vars, uint8_t *flag);

/// Which copy the boot loader reads: 0 or 1, or -1 when neither is valid.
/// A copy that is not valid is passed as null.
int uboot_env_pick(const uint8_t *flag0, const uint8_t *flag1);

/// The environment of the board in state folder dir, as the boot loader
/// reads it. @return 0 (empty vars when no copy is valid), or -1 with *error.
int sim_env_load(const sim_env_place &place, const std::string &dir, bootenv_vars *vars,
                 std::string *error);

/// Sets changes (an empty value removes the variable) in one store.
/// @return 0, or -1 with *error.
int sim_env_store(const sim_env_place &place, const std::string &dir, const bootenv_vars &changes,
                  std::string *error);

/// The backend over the running simulation's state folder.
extern const bootenv_ops sim_bootenv;

}  // namespace korvane
