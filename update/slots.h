// SPDX-License-Identifier: MIT
// The two slots as the boot loader's environment records them, and the
// changes each action makes to it. The variables, shared with the boot
// loader's script and korvane-sim's boot step:
//   korvane_next       A or B: the slot the boot loader tries next
//   korvane_good       A or B: the last confirmed slot, always bootable
//   korvane_A, _B      good, pending, failed or empty
//   korvane_A_rec, _B_rec  what the slot holds: "version=V key=K
//                      digest=mtdN:CRC,... time=SECONDS" (empty: nothing)
//   upgrade_available, bootcount, bootlimit: the boot loader's counting
// Every change is one store of all the variables it sets.
#pragma once

#include <string>

#include "platform/bootenv.h"

namespace korvane {

struct slot_view {
  std::string state;   // good, pending, failed, empty, or "" when unset
  std::string record;  // korvane_X_rec
};

struct ab_view {
  std::string next, good;  // "A", "B" or "" when unset
  slot_view slots[2];
  bool upgrade_available = false;
  unsigned bootcount = 0, bootlimit = 0;
};

/// The slots as vars record them.
ab_view ab_view_of(const bootenv_vars &vars);

inline int slot_index(char slot) { return slot == 'B' ? 1 : 0; }
inline char other_slot(char slot) { return slot == 'A' ? 'B' : 'A'; }
inline std::string slot_var(char slot) { return std::string("korvane_") + slot; }

/// The slot a kernel command line names: the last word "korvane.slot=X".
/// @return 'A', 'B', or 0 when no such word names one.
char slot_of_cmdline(const std::string &cmdline);

/// The slot that booted, from "korvane.slot=X" on /proc/cmdline (read
/// through the platform table). @return 'A', 'B', or 0 when it is not there.
char running_slot();

/// Store 1 of an update into target: the slot not bootable, its record
/// gone; when the boot loader would try it next, back to the good slot.
bootenv_vars ab_mark_empty(const ab_view &v, char target);

/// Store 2: the target pending, tried next, with its attempts and record.
bootenv_vars ab_switch(char target, const std::string &record, unsigned attempts);

/// --confirm of the running slot. @return the changes (empty: nothing to
/// write), or sets *refusal when the slot cannot be confirmed.
bootenv_vars ab_confirm(const ab_view &v, char running, std::string *refusal);

/// --reject of the running slot: refused (*refusal) unless the other slot
/// is good.
bootenv_vars ab_reject(const ab_view &v, char running, std::string *refusal);

}  // namespace korvane
