// SPDX-License-Identifier: MIT
// What each action writes into the environment, for every state the slots
// can be in, and the running slot as the kernel's command line names it.
#include "update/slots.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

TEST(Slots, TheRunningSlotIsTheLastWordThatNamesOne) {
  const struct {
    const char *cmdline;
    char slot;
  } rows[] = {
      {"console=ttyS0 korvane.slot=A\n", 'A'},
      {"korvane.slot=B root=/dev/mtdblock3", 'B'},
      {"korvane.slot=A korvane.slot=B", 'B'},  // the kernel hands on the last
      {"korvane.slot=B korvane.slot=C", 0},    // a word that names no slot
      {"korvane.slot=AB", 0},                  // more than a slot
      {"xkorvane.slot=A", 0},                  // not a word of its own
      {"korvane.slot=", 0},
      {"", 0},
  };
  for (const auto &r : rows) EXPECT_EQ(slot_of_cmdline(r.cmdline), r.slot) << r.cmdline;
}

ab_view view_of(const bootenv_vars &vars) { return ab_view_of(vars); }

TEST(Slots, ConfirmWritesOnlyForAPendingSlot) {
  const struct {
    const char *what;
    bootenv_vars env;
    char running;
    bootenv_vars changes;
    bool refused;
  } rows[] = {
      {"pending: good, the one to boot, counting stopped",
       {{"korvane_A", "good"},
        {"korvane_B", "pending"},
        {"korvane_next", "B"},
        {"korvane_good", "A"},
        {"upgrade_available", "1"},
        {"bootcount", "1"}},
       'B',
       {{"korvane_B", "good"},
        {"korvane_good", "B"},
        {"korvane_next", "B"},
        {"upgrade_available", "0"},
        {"bootcount", "0"}},
       false},
      {"good already: nothing",
       {{"korvane_A", "good"}, {"korvane_next", "A"}, {"korvane_good", "A"}},
       'A',
       {},
       false},
      {"good, with an update staged for the other slot: it stays staged",
       {{"korvane_A", "good"},
        {"korvane_B", "pending"},
        {"korvane_next", "B"},
        {"korvane_good", "A"},
        {"upgrade_available", "1"}},
       'A',
       {},
       false},
      {"rejected", {{"korvane_A", "failed"}, {"korvane_good", "B"}}, 'A', {}, true},
      {"unknown to the environment", {}, 'A', {}, true},
  };
  for (const auto &r : rows) {
    std::string refusal;
    EXPECT_EQ(ab_confirm(view_of(r.env), r.running, &refusal), r.changes) << r.what;
    EXPECT_EQ(!refusal.empty(), r.refused) << r.what << ": " << refusal;
  }
}

TEST(Slots, RejectNeedsAGoodSlotToFallBackTo) {
  std::string refusal;
  bootenv_vars changes = ab_reject(view_of({{"korvane_A", "good"},
                                            {"korvane_B", "pending"},
                                            {"korvane_next", "B"},
                                            {"korvane_good", "A"},
                                            {"upgrade_available", "1"}}),
                                   'B', &refusal);
  EXPECT_EQ(refusal, "");
  EXPECT_EQ(changes, (bootenv_vars{{"korvane_B", "failed"},
                                   {"korvane_next", "A"},
                                   {"korvane_good", "A"},
                                   {"upgrade_available", "0"},
                                   {"bootcount", "0"}}));
  for (const char *other : {"empty", "failed", "pending"}) {
    refusal.clear();
    changes = ab_reject(view_of({{"korvane_A", "good"}, {"korvane_B", other}}), 'A', &refusal);
    EXPECT_TRUE(changes.empty()) << other;
    EXPECT_EQ(refusal,
              std::string("slot B is ") + other + "; rejecting slot A would leave no slot to boot");
  }
}

TEST(Slots, TheMarkWithdrawsAStagedSlot) {
  const ab_view staged = view_of({{"korvane_next", "B"}, {"korvane_good", "A"}});
  EXPECT_EQ(ab_mark_empty(staged, 'B'), (bootenv_vars{{"korvane_B", "empty"},
                                                      {"korvane_B_rec", ""},
                                                      {"korvane_next", "A"},
                                                      {"upgrade_available", "0"},
                                                      {"bootcount", "0"}}));
  const ab_view resting = view_of({{"korvane_next", "A"}, {"korvane_good", "A"}});
  EXPECT_EQ(ab_mark_empty(resting, 'B'),
            (bootenv_vars{{"korvane_B", "empty"}, {"korvane_B_rec", ""}}));
}

}  // namespace
}  // namespace korvane
