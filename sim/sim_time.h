// SPDX-License-Identifier: MIT
// The flash time model of the simulated board. Each partition's chip takes
// a set time to erase an erase block, to program and to read a page (NAND)
// or a time unit of bytes (NOR and RAM). A chip is busy for an erase or a
// program from when it is issued, while the program goes on computing; a
// call that finds the chip busy waits for it first, and a read returns only
// when its data is there. The CPU time the program spends between device
// calls (its own thread's, the simulation's own work left out) advances the
// modelled clock; the run's modelled time ends when the last chip is idle.
// So a run answers how long the same work would keep a board busy: the CPU
// time of this machine stands for the board's, which a caller scales.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

/// A chip's timings, in nanoseconds. unit is the bytes that one program or
/// read time covers on NOR and RAM (on NAND it is the page).
struct sim_timing {
  uint64_t erase_ns = 0;    // one erase block
  uint64_t program_ns = 0;  // one page (NAND) or unit (NOR, RAM)
  uint64_t read_ns = 0;     // one page (NAND) or unit (NOR, RAM)
  uint32_t unit = 0;        // NOR and RAM: bytes per program and read time
};

/// The defaults of a class of chip, by MTD type (MTD_NANDFLASH,
/// MTD_NORFLASH, MTD_RAM): typical datasheet figures of an SLC NAND with
/// 2 KiB pages (read 75 us, program 250 us a page with the bus
/// transfer, erase 2 ms), of a 3 V parallel NOR (erase 500 ms a sector,
/// program 100 us and read 0.5 us per 32 bytes), and none for RAM.
sim_timing sim_timing_default(uint8_t type);

/// Parses a time: a decimal number (with up to 9 decimals) and its unit,
/// ns, us, ms or s ("2ms", "0.5s", "250us"). @return false for anything
/// else or more than about 584 years.
bool sim_time_parse(const std::string &text, uint64_t *ns);

/// What the model keeps of one chip: when it is free again.
struct sim_chip {
  uint64_t busy_until = 0;  // modelled ns
};

enum class sim_flash_op { erase, program, read };

/// What a run has taken so far.
struct sim_time_totals {
  uint64_t total_ns = 0;  // the modelled time up to the last chip's going idle
  uint64_t busy_ns = 0;   // the chips' busy time, summed
  uint64_t cpu_ns = 0;    // the program's CPU time between device calls
  uint64_t wait_ns = 0;   // the time calls waited for a busy chip or a read
  uint64_t erases = 0, programs = 0, reads = 0;
};

/// Starts the model afresh at time 0 (sim_start calls it).
void sim_time_reset();

/// A device call begins: the CPU time since the previous one ended is the
/// program's and advances the modelled clock.
void sim_time_enter();
/// A device call ends: the CPU time from here on is the program's again.
void sim_time_leave();

/// sim_time_enter and sim_time_leave around one scope.
struct sim_time_call {
  sim_time_call() { sim_time_enter(); }
  ~sim_time_call() { sim_time_leave(); }
  sim_time_call(const sim_time_call &) = delete;
  sim_time_call &operator=(const sim_time_call &) = delete;
};

/// count operations of one kind, one after another, on chip with timing t.
/// An erase or a program waits for the chip and leaves it busy; a read
/// waits for the chip and then for its own time.
void sim_time_op(sim_chip *chip, const sim_timing &t, sim_flash_op op, uint64_t count);

/// The run so far; the CPU time since the last device call counts.
sim_time_totals sim_time_result();

/// Replaces the CPU clock (nanoseconds of the calling thread by default);
/// nullptr puts the default back. For tests that need a clock they set.
void sim_time_clock(uint64_t (*cpu_now)());

/// The run's figures as one line of words and numbers:
/// "total-ns T busy-ns B cpu-ns C wait-ns W erases E programs P reads R".
std::string sim_time_line(const sim_time_totals &t);

}  // namespace korvane
