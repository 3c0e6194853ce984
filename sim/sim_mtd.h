// SPDX-License-Identifier: MIT
// One simulated MTD partition as the kernel's MTD character device presents
// it: the answers to read, write and the MTD ioctls, over backing files that
// are mapped into memory (STATE/mtdN.data, and STATE/mtdN.oob on NAND with
// the OOB bytes of page k at k * oobsize). Failures are returned as -errno;
// every operation that changes the device, and every refusal, is logged.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/sim_board.h"

namespace korvane {

/// A shared writable mapping of a whole file, released with the object.
struct sim_mapping {
  uint8_t *p = nullptr;
  size_t n = 0;
  sim_mapping() = default;
  sim_mapping(const sim_mapping &) = delete;
  sim_mapping &operator=(const sim_mapping &) = delete;
  ~sim_mapping();
};

struct sim_device {
  sim_mtd desc;  // live: faults and bad blocks changed here apply at once
  std::string data_path, oob_path;
  std::string bad_path;  // the marks of MEMSETBADBLOCK, one block number a line ("" keeps none)
  sim_mapping data, oob;
  unsigned count[SIM_OP_COUNT] = {};
  uint32_t ecc_corrected = 0;  // ECCGETSTATS: bitflips the software ECC corrected
  uint32_t ecc_failed = 0;     // and steps it could not correct
  sim_chip chip;               // the flash time model's state of the chip
};

/// Creates missing backing files (erased, all 0xFF), extends short ones with
/// 0xFF, and maps them. Does nothing when already mapped. @return 0 or -errno.
int sim_device_map(sim_device &d);

/// Counts one call of op and applies a scheduled fault or a refusal.
/// @return 0 to go on, or -errno (already logged as "fail").
int sim_device_check(sim_device &d, sim_op op);

/// Reads at pos like the character device (short at the end, 0 past it).
/// NAND with software ECC returns every page as the kernel's ECC read path
/// does: a step whose stored code shows one flipped bit comes back with that
/// bit flipped, an uncorrectable step as stored, and the read succeeds; the
/// ECC counters count both. Weak cells read flipped before the ECC looks.
ssize_t sim_device_read(sim_device &d, uint64_t pos, void *buf, size_t n);

/// Writes at pos: NAND and NOR program (stored = old AND new), RAM takes the
/// new bytes. NAND needs whole pages. @return the bytes written or -errno.
ssize_t sim_device_write(sim_device &d, uint64_t pos, const void *buf, size_t n);

/// MEMGETINFO, MEMERASE, MEMWRITEOOB, MEMREADOOB, MEMGETOOBSEL,
/// MEMGETBADBLOCK, MEMSETBADBLOCK (NAND; the mark is appended to bad_path)
/// and ECCGETSTATS; writable
/// is whether the descriptor was opened for writing. @return >= 0 or -errno.
int sim_device_ioctl(sim_device &d, bool writable, unsigned long request, void *arg);

/// Appends one line to the event log (defined by the simulation in sim.cc).
void sim_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korvane
