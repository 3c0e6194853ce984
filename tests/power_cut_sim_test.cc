// SPDX-License-Identifier: MIT
// Power cuts during an install, end to end through korvane-sim: the count
// of flash-changing operations, and a cut at every one of them over an
// older install. What each cut leaves is checked against a replay of the
// event log: everything logged before the cut landed, the operation cut
// short lies between its before and after, nothing after it happened; and
// the next install over the torn state lands the image.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "rom/layout.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

using e2e::bin;
using e2e::scratch_dir;
using install_test::blk_input;
using install_test::build_image;
using install_test::pattern;

namespace fs = std::filesystem;

// A board of one partition, an old image installed on it and a new one.
struct board_case {
  const char *name;
  std::string board;
  uint32_t type;
  uint32_t erasesize, writesize, oobsize;  // writesize 0: NOR, one write per erase block
};

const board_case BOARDS[] = {
    // The control files: -r acts only on a board that has them.
    {"NAND",
     "mtd0 nand size=64K erase=16K page=512 oob=16\n"
     "proc /proc/keypad/watchdog /proc/keypad/lcd_bklight\n"
     "proc /proc/dsplink/bklight /proc/dsplink/reset\n",
     ROM_BLK_TYPE_NAND_RAW, 16384, 512, 16},
    {"NOR", "mtd0 nor size=32K erase=8K\n", ROM_BLK_TYPE_NOR, 8192, 0, 0},
};

struct state {
  std::string data, oob;
};

struct power_run {
  const board_case &c;
  scratch_dir dir;

  explicit power_run(const board_case &bc) : c(bc) {
    e2e::write_file(dir / "board", c.board);
    build_image(dir / "old.rom", {blk_input{c.type, 0, "fw", ROM_BLK_CT_NONE, pattern(12000, 1)}});
    build_image(dir / "new.rom", {blk_input{c.type, 0, "fw", ROM_BLK_CT_NONE, pattern(10000, 2)}});
    e2e::run_result r = sim("old", {"--", "-e", "old.rom"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }

  e2e::run_result sim(const std::string &st, std::vector<std::string> args) {
    args.insert(args.begin(), {bin("korvane-sim"), "--board", "board", "--state", st});
    return e2e::run(args, dir.path());
  }
  // A copy of the old install's state folder, to install the new image over.
  void copy_old(const std::string &to) {
    fs::remove_all(dir / to);
    fs::copy(dir / "old", dir / to, fs::copy_options::recursive);
  }
  std::string read(const std::string &name) const {
    return e2e::file_exists(dir / name) ? e2e::read_file(dir / name) : "";
  }
  state at(const std::string &st) const {
    return {read(st + "/mtd0.data"), read(st + "/mtd0.oob")};
  }
  // The lines a run added to the event log of a copy of the old state.
  std::vector<std::string> new_events(const std::string &st) const {
    std::string log = read(st + "/events.log");
    std::istringstream in(log.substr(read("old/events.log").size()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

struct change {
  std::string op;  // erase or write
  uint64_t offset = 0, length = 0;
};
bool parse_change(const std::string &line, change *ch) {
  std::istringstream words(line);
  std::string dev;
  return static_cast<bool>(words >> ch->op >> dev >> ch->offset >> ch->length) &&
         (ch->op == "erase" || ch->op == "write");
}

// The OOB bytes of the pages of [offset, offset + length) on NAND.
std::pair<size_t, size_t> oob_range(const board_case &c, const change &ch) {
  if (c.oobsize == 0) return {0, 0};
  return {ch.offset / c.writesize * c.oobsize, ch.length / c.writesize * c.oobsize};
}

// What a change leaves on s: an erase sets its bytes to 0xFF, a write
// puts there what the complete install left.
void apply(const board_case &c, const change &ch, const state &full, state *s) {
  auto [oob_at, oob_len] = oob_range(c, ch);
  if (ch.op == "erase") {
    s->data.replace(ch.offset, ch.length, ch.length, '\xFF');
    s->oob.replace(oob_at, oob_len, oob_len, '\xFF');
  } else {
    s->data.replace(ch.offset, ch.length, full.data, ch.offset, ch.length);
    s->oob.replace(oob_at, oob_len, full.oob, oob_at, oob_len);
  }
}

// Every bit on which before and after agree keeps that value in torn.
bool between(const std::string &before, const std::string &after, const std::string &torn) {
  if (before.size() != after.size() || torn.size() != after.size()) return false;
  for (size_t i = 0; i < torn.size(); i++) {
    if (((torn[i] ^ before[i]) & ~(before[i] ^ after[i])) != 0) return false;
  }
  return true;
}

TEST(PowerCutSim, CountOfARunAndNothingWithoutTheOption) {
  for (const board_case &c : BOARDS) {
    SCOPED_TRACE(c.name);
    power_run b(c);
    b.copy_old("plain");
    e2e::run_result plain = b.sim("plain", {"--", "-e", "new.rom"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "") << "korvane-sim says nothing of its own without the option";

    b.copy_old("counted");
    e2e::run_result r = b.sim("counted", {"--count-ops", "--", "-e", "new.rom"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, plain.out);
    EXPECT_TRUE(b.at("counted").data == b.at("plain").data);
    // One operation per erase block erased and per page (NAND) or erase
    // block (NOR) written, as the log of the plain run shows them.
    uint64_t ops = 0;
    for (const std::string &line : b.new_events("plain")) {
      change ch;
      if (!parse_change(line, &ch)) continue;
      const uint64_t unit = ch.op == "erase" || c.writesize == 0 ? c.erasesize : c.writesize;
      ops += (ch.length + unit - 1) / unit;
    }
    EXPECT_EQ(ops, c.writesize ? 4u + 20u : 4u + 2u) << "erase blocks + pages or NOR pieces";
    EXPECT_EQ(r.err, "korvane-sim: flash operations: " + std::to_string(ops) + "\n");
    std::vector<std::string> log = b.new_events("counted");
    EXPECT_EQ(log.back(), "flash-operations " + std::to_string(ops));
    log.pop_back();
    EXPECT_EQ(log, b.new_events("plain"));
  }
}

// The count reaches the log also where korvane ends the process itself: the
// board's reset, and -h, whose background child does the work.
TEST(PowerCutSim, CountAtTheBoardsResetAndInTheBackground) {
  power_run b(BOARDS[0]);
  for (const char *extra : {"-r", "-h"}) {
    SCOPED_TRACE(extra);
    b.copy_old("st");
    e2e::run_result r = b.sim("st", {"--count-ops", "--", "-e", "new.rom", extra});
    EXPECT_EQ(r.status, 0);
    // e2e::run waits for standard error to close, so the child has ended.
    EXPECT_EQ(r.err, "korvane-sim: flash operations: 24\n");
    EXPECT_EQ(b.new_events("st").back(), "flash-operations 24");
  }
}

TEST(PowerCutSim, ACutAtEveryOperationOfAnInstall) {
  for (const board_case &c : BOARDS) {
    SCOPED_TRACE(c.name);
    power_run b(c);
    b.copy_old("full");
    ASSERT_EQ(b.sim("full", {"--", "-e", "new.rom"}).status, 0);
    const state old = b.at("old"), full = b.at("full");
    const std::vector<std::string> full_log = b.new_events("full");
    const uint64_t ops = c.writesize ? 24 : 6;

    for (uint64_t n = 1; n <= ops; n++) {
      SCOPED_TRACE("cut at " + std::to_string(n));
      const std::string cut = "--cut-at=" + std::to_string(n);
      b.copy_old("torn");
      e2e::run_result r = b.sim("torn", {cut, "--cut-seed", "7", "--", "-e", "new.rom"});
      ASSERT_EQ(r.status, 3) << r.out << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "korvane-sim: power cut at flash operation " + std::to_string(n) + "\n");

      // The log is the complete run's up to the cut, then the powercut line,
      // then nothing.
      std::vector<std::string> log = b.new_events("torn");
      ASSERT_FALSE(log.empty());
      const std::string last = log.back();
      log.pop_back();
      ASSERT_LE(log.size(), full_log.size());
      EXPECT_EQ(log, std::vector<std::string>(full_log.begin(), full_log.begin() + log.size()));
      const std::string head = "powercut " + std::to_string(n) + " 7 ";
      ASSERT_EQ(last.rfind(head, 0), 0u) << last;
      change torn_op;
      ASSERT_TRUE(parse_change(last.substr(head.size()), &torn_op)) << last;

      // Replayed, the log gives the state before the operation cut short.
      state model = old;
      for (const std::string &line : log) {
        change ch;
        if (parse_change(line, &ch)) apply(c, ch, full, &model);
      }
      state after = model;
      apply(c, torn_op, full, &after);
      const state torn = b.at("torn");
      ASSERT_EQ(torn.data.size(), model.data.size());
      auto [oob_at, oob_len] = oob_range(c, torn_op);
      auto outside = [](std::string s, uint64_t at, uint64_t len) { return s.erase(at, len); };
      // (Whole partitions are compared with ==: a failure prints no bytes.)
      EXPECT_TRUE(outside(torn.data, torn_op.offset, torn_op.length) ==
                  outside(model.data, torn_op.offset, torn_op.length))
          << "only the operation cut short differs";
      EXPECT_TRUE(outside(torn.oob, oob_at, oob_len) == outside(model.oob, oob_at, oob_len));
      const std::string t = torn.data.substr(torn_op.offset, torn_op.length),
                        before = model.data.substr(torn_op.offset, torn_op.length),
                        meant = after.data.substr(torn_op.offset, torn_op.length);
      EXPECT_TRUE(between(before, meant, t));
      EXPECT_TRUE(between(model.oob.substr(oob_at, oob_len), after.oob.substr(oob_at, oob_len),
                          torn.oob.substr(oob_at, oob_len)));
      if (before != meant) {
        EXPECT_TRUE(t != before) << "some bits changed";
        EXPECT_TRUE(t != meant) << "not all bits changed";
      }

      // The same seed tears the same bits, another seed others.
      b.copy_old("again");
      ASSERT_EQ(b.sim("again", {cut, "--cut-seed=7", "--", "-e", "new.rom"}).status, 3);
      EXPECT_TRUE(b.at("again").data == torn.data && b.at("again").oob == torn.oob);
      b.copy_old("other");
      ASSERT_EQ(b.sim("other", {cut, "--cut-seed", "8", "--", "-e", "new.rom"}).status, 3);
      if (before != meant) {
        EXPECT_TRUE(b.at("other").data != torn.data) << "another seed tears other bits";
      }

      // The next install over the torn state lands the image.
      r = b.sim("torn", {"--", "-e", "new.rom"});
      EXPECT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_TRUE(b.at("torn").data == full.data && b.at("torn").oob == full.oob);
    }

    // A cut past the last operation is never reached: the run completes and
    // says how many there were.
    b.copy_old("past");
    e2e::run_result r = b.sim("past", {"--cut-at", std::to_string(ops + 1), "--", "-e", "new.rom"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "korvane-sim: flash operations: " + std::to_string(ops) + "\n");
    EXPECT_TRUE(b.at("past").data == full.data);
  }
}

TEST(PowerCutSim, MistakesInTheOptions) {
  scratch_dir dir;
  struct row {
    std::vector<std::string> args;
    std::string err_start;
  };
  const row rows[] = {
      {{"--cut-at", "0", "--", "-V"},
       "korvane-sim: --cut-at takes a number of 1 or more, not '0'\nusage: "},
      {{"--cut-at=5x", "--", "-V"},
       "korvane-sim: --cut-at takes a number of 1 or more, not '5x'\n"},
      {{"--cut-at", "18446744073709551616", "--", "-V"},  // 2^64
       "korvane-sim: --cut-at takes a number of 1 or more, not '18446744073709551616'\n"},
      {{"--cut-seed", "-1", "--", "-V"}, "korvane-sim: --cut-seed takes a number, not '-1'\n"},
      {{"--cut-at"}, "korvane-sim: --cut-at needs a value\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.args[0]);
    std::vector<std::string> args = {bin("korvane-sim"), "--state", "st"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    e2e::run_result got = e2e::run(args, dir.path());
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err.rfind(r.err_start, 0), 0u) << got.err;
    EXPECT_FALSE(e2e::file_exists(dir / "st"));
  }
}

}  // namespace
}  // namespace korvane
