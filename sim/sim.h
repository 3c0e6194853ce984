// SPDX-License-Identifier: MIT
// The simulated board: a platform table that serves /dev/mtdN from backing
// files and /proc control files from a state folder, records signals, syncs
// and sleeps instead of performing them, and hands every other path and
// descriptor to the real calls.
//
// State folder STATE:
//   mtdN.data, mtdN.oob   the partitions' bytes and (NAND) OOB bytes
//   mtdN.bad              the blocks marked bad by MEMSETBADBLOCK, one number
//                         a line: bad in every later run
//   proc/                 the "/proc" root: control files and process folders
//                         (a board with slots: also mtd and cmdline)
//   sys/class/mtd/mtdN/   the partitions' attributes as the kernel publishes
//                         them (name, type, size, erasesize, writesize,
//                         oobsize, flags), written afresh at every start
//   uboot.env, uboot-redund.env  the boot loader's environment (sim_env.h)
//   events.log            one line per device operation and board action,
//                         appended across runs, each run's first line its
//                         mark (sim_mark_run); "program mtdN NAME" names the
//                         image block an install is about to program there
//
// Every flash-changing operation is counted, and power can be cut at one of
// them (sim/sim_power.h).
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/sim_board.h"

namespace korvane {

/// Creates the state folder (and STATE/proc with the board's control files)
/// when missing, opens the event log and installs the simulated table.
/// @return 0, or -1 with *error set (nothing installed).
int sim_start(const sim_board &board, const std::string &state_dir, std::string *error);

/// Marks the start of a run in the event log with one line, "run N: ARGS",
/// N counting the runs the log has marked (the last mark's number plus one,
/// 1 in a new log), the arguments separated by single spaces, each with
/// blanks, controls, bytes outside ASCII and the backslash shown as \xNN.
/// @return 0, or -1 when not started or the line cannot be written.
int sim_mark_run(const std::vector<std::string> &args);

/// Restores the table that was installed before sim_start, closes every
/// descriptor the simulation still serves and the event log. Safe to call
/// when not started.
void sim_stop();

/// The live description of partition number while the simulation runs
/// (nullptr when the board has none): bad blocks, faults, refusals and the
/// missing flag changed through it apply to the next operation.
sim_mtd *sim_partition(int number);

/// Marks erase block `block` of NAND partition number bad.
void sim_mark_bad(int number, uint32_t block);

/// Schedules a fault: the nth op of partition number (counted from the
/// start of the simulation) fails with err; with onward every later one too.
void sim_inject(int number, sim_op op, unsigned nth, int err, bool onward = false);

/// Where the running simulation keeps the boot loader's environment (size 0
/// when its board has none).
const sim_env_place &sim_env_of_board();

/// The slots of the running simulation's board (none, or A and B).
const std::vector<sim_slot> &sim_slots();

/// The state folder of the running simulation, as an absolute path.
const std::string &sim_state_dir();

}  // namespace korvane
