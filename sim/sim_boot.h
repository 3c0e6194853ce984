// SPDX-License-Identifier: MIT
// The boot step of the simulated board: what the boot loader and the
// shipped boot script do at power-on of a board with two slots.
//
// It reads the environment as the boot loader does (sim_env.h). While
// upgrade_available is 1 it counts the attempt (bootcount one up, one
// store), and once bootcount exceeds bootlimit it runs the fallback instead
// of the normal boot: the slot korvane_next is marked failed, korvane_next
// becomes korvane_good, the counting stops (one store), and korvane_good
// boots. The normal boot boots korvane_next. A slot boots only when it is
// good or pending and its partitions hold exactly what its record's digest
// names; then /proc/cmdline says korvane.slot=X for the next run of
// korvane. A boot asked to fail models a system that never comes up (it
// never reaches --confirm): the attempt is counted and nothing else runs.
//
// It prints one line to the stream given:
//   boot: slot=X state=STATE bootcount=N bootlimit=N fallback=yes|no result=up
//   boot: slot=X state=STATE bootcount=N bootlimit=N fallback=yes|no result=down reason=TEXT
//   boot: result=error reason=TEXT
#pragma once

#include <cstdint>
#include <cstdio>

namespace korvane {

/// Boots the running simulation's board once; fail models a boot that
/// never comes up. @return 0 when the system came up, 1 when it did not, 2
/// when the board cannot boot at all (no slots, an unreadable environment).
int sim_boot(bool fail, FILE *out);

/// The CRC-32 of partition number's good erase blocks, in order, as the
/// state folder holds them (bad ones left out). @return false when the
/// board has no such partition.
bool sim_partition_digest(int number, uint32_t *crc);

}  // namespace korvane
