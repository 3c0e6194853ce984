// SPDX-License-Identifier: MIT
// Power cuts on the simulated board. Every operation of a run that changes
// what the flash holds is counted: an erase of one erase block, a NAND page
// write, a NOR or RAM write within one erase block, an OOB write, a bad-block
// mark, and the writes that other parts of the board make through
// sim_power_pwrite (a copy of the boot environment, say). Power can be cut at
// the Nth of them: that operation is applied torn, in a pattern that follows
// from the seed and N alone, the event log says where power was cut, and the
// process ends at once, as the board would stop.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace korvane {

/// The exit status of a run that ends in a power cut; korvane never uses it.
inline constexpr int SIM_POWER_CUT_STATUS = 3;

/// Resets the count and sets where power is cut: at operation cut_at
/// (counted from 1), or never with cut_at 0. sim_start disarms.
void sim_power_arm(uint64_t cut_at, uint64_t seed);

/// The flash-changing operations counted since the last sim_power_arm.
uint64_t sim_power_count();

/// Counts one flash-changing operation, before it is applied.
/// @return true when power is cut at it: the caller applies it torn, with
/// sim_power_random, and then calls sim_power_cut.
bool sim_power_op();

/// The next value of the torn pattern's stream, which starts afresh at the
/// cut from the seed and the operation's number: the same cut gives the
/// same pattern in every run.
uint64_t sim_power_random();

/// A byte of the stream: each of its bits is a fair coin.
uint8_t sim_power_random_byte();

/// Ends the run where power was cut: appends "powercut N SEED EVENT" to the
/// event log (EVENT, from fmt, is the operation cut short, in the words of
/// its own line), writes "korvane-sim: power cut at flash operation N" to
/// standard error and ends the process with SIM_POWER_CUT_STATUS, without
/// flushing or running anything more.
[[noreturn]] void sim_power_cut(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Writes n bytes at offset of fd (pwrite) as one flash-changing operation.
/// When power is cut at it, a prefix of the bytes is written (its length
/// from the pattern: from none up to all but one) and the run ends with
/// event as the operation cut short.
/// @return the bytes written, or -errno (nothing counted for n == 0).
ssize_t sim_power_pwrite(int fd, const void *buf, size_t n, uint64_t offset, const char *event);

}  // namespace korvane
