// SPDX-License-Identifier: MIT
// Updates of a board with two slots end to end on korvane-sim: the update
// into the slot that is not running, the boot loader's counting and
// fallback (korvane-sim --boot), --confirm and --reject, and every refusal
// leaving both slots and both copies of the environment as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "rom/layout.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

using namespace install_test;
using e2e::bin;
using e2e::scratch_dir;
namespace fs = std::filesystem;

// Two boards: the slots on NAND (one bad block in slot B's kernel) and
// the slots on NOR, both with the control files that -k acts on.
struct board_kind {
  const char *name;
  const char *board;
  uint32_t kernel_type, root_type;
};

const board_kind NAND = {
    "nand",
    "mtd0 nand size=1M erase=128K page=2048 oob=64 name=kernel_a\n"
    "mtd1 nand size=1M erase=128K page=2048 oob=64 bad=3 name=kernel_b\n"
    "mtd2 nand size=512K erase=16K page=512 oob=16 name=root_a\n"
    "mtd3 nand size=512K erase=16K page=512 oob=16 name=root_b\n"
    "mtd4 nor size=256K erase=64K name=data\n"
    "env size=8K redundant\n"
    "slot A mtd0 mtd2\n"
    "slot B mtd1 mtd3\n"
    "proc /proc/keypad/watchdog /proc/keypad/lcd_bklight\n",
    ROM_BLK_TYPE_NAND_RAW,
    ROM_BLK_TYPE_NAND_OOB,
};

const board_kind NOR = {
    "nor",
    "mtd0 nor size=1M erase=64K name=kernel_a\n"
    "mtd1 nor size=1M erase=64K name=kernel_b\n"
    "mtd2 nor size=512K erase=64K name=root_a\n"
    "mtd3 nor size=512K erase=64K name=root_b\n"
    "mtd4 nor size=256K erase=64K name=data\n"
    "env size=4K redundant\n"
    "slot A mtd0 mtd2\n"
    "slot B mtd1 mtd3\n"
    "proc /proc/keypad/watchdog /proc/keypad/lcd_bklight\n",
    ROM_BLK_TYPE_NOR,
    ROM_BLK_TYPE_NOR,
};

// Block ids 0 and 1 go to the slots (by name for the kernel, by number
// for the root); id 9 is left alone.
constexpr const char *CONFIG =
    "; the board\n"
    "[board]\n"
    "device = board\n"
    "device-id = 7\n"
    "[slot.A]\n"
    "0 = kernel_a\n"
    "1 = mtd2\n"
    "[slot.B]\n"
    "0 = kernel_b\n"
    "1 = 3\n"
    "[image]\n"
    "leave-alone = 9\n"
    "[bootloader]\n"
    "type = u-boot\n"
    "boot-attempts = 2\n";

struct ab_board {
  const board_kind &kind;
  scratch_dir dir;

  explicit ab_board(const board_kind &k, const std::string &config = CONFIG) : kind(k) {
    e2e::write_file(dir / "board", k.board);
    e2e::write_file(dir / "system.conf", config);
  }

  std::vector<blk_input> blocks(int seed, size_t kernel = 300000) const {
    return {
        {kind.kernel_type, 0, "kernel", ROM_BLK_CT_CYPHER1, firmware_like(kernel, seed),
         ROM_VERIFY_CRC},
        {kind.root_type, 1, "root", ROM_BLK_CT_NONE, pattern(90000, seed + 1), ROM_VERIFY_CRC},
        {ROM_BLK_TYPE_NAND_RAW, 9, "data", ROM_BLK_CT_NONE, pattern(1000, seed + 2)},
    };
  }

  std::vector<blk_place> image(const std::string &name, int seed, size_t kernel = 300000) const {
    std::vector<blk_place> p = build_image(dir / name, blocks(seed, kernel));
    chmod((dir / name).c_str(), 0644);
    return p;
  }

  e2e::run_result korvane(const std::vector<std::string> &words) const {
    std::vector<std::string> args = {bin("korvane-sim"), "--board",    "board",
                                     "--state",          "state",      "--",
                                     "--config",         "system.conf"};
    args.insert(args.end(), words.begin(), words.end());
    return e2e::run(args, dir.path());
  }
  e2e::run_result boot(bool fail = false) const {
    return e2e::run({bin("korvane-sim"), "--board", "board", "--state", "state",
                     fail ? "--boot-fail" : "--boot"},
                    dir.path());
  }
  std::string status() const { return korvane({"--status"}).out; }

  // Every partition and both copies of the environment.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> m;
    for (const auto &e : fs::directory_iterator(dir / "state")) {
      std::string name = e.path().filename();
      if (name.rfind("mtd", 0) == 0 || name.rfind("uboot", 0) == 0)
        m[name] = e2e::read_file(e.path());
    }
    return m;
  }
};

// The files that differ between two snapshots ("" when none). A partition
// file that one of them lacks counts as erased (the simulation makes it
// on first use).
std::string changed(const std::map<std::string, std::string> &a,
                    const std::map<std::string, std::string> &b) {
  auto erased = [](const std::string &bytes) {
    return bytes.find_first_not_of('\xff') == std::string::npos;
  };
  std::string names;
  std::map<std::string, int> all;
  for (const auto &[k, v] : a) all[k] = 1;
  for (const auto &[k, v] : b) all[k] = 1;
  for (const auto &[name, one] : all) {
    auto x = a.find(name), y = b.find(name);
    bool same = x != a.end() && y != b.end() ? x->second == y->second
                : x != a.end()               ? name.rfind("mtd", 0) == 0 && erased(x->second)
                                             : name.rfind("mtd", 0) == 0 && erased(y->second);
    if (!same) names += name + " ";
  }
  return names;
}

bool has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class AbSim : public testing::TestWithParam<const board_kind *> {};

TEST_P(AbSim, UpdateBootConfirm) {
  ab_board b(*GetParam());
  b.image("v2.rom", 1);
  EXPECT_TRUE(has(b.status(), "status: schema=1 running=A next=A good=A upgrade-available=0"));
  const auto before = b.snapshot();

  e2e::run_result r = b.korvane({"--update", "v2.rom"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "update: slots running=A target=B")) << r.out;
  EXPECT_TRUE(has(r.out, "update: mark slot=B state=empty")) << r.out;
  EXPECT_TRUE(has(r.out, "read-back: mtd1 ok")) << r.out;
  EXPECT_TRUE(has(r.out, "update: switch slot=B state=pending attempts=2 version=1.0.4.9"))
      << r.out;
  // Slot A and the partition nobody maps are untouched; slot B holds the kernel.
  const auto after = b.snapshot();
  const std::string written = changed(before, after);
  for (const char *kept : {"mtd0.", "mtd2.", "mtd4."}) EXPECT_FALSE(has(written, kept)) << written;
  EXPECT_TRUE(has(written, "mtd1.data mtd")) << written;
  EXPECT_EQ(after.at("mtd1.data").substr(0, 1000), b.blocks(1)[0].content.substr(0, 1000));

  std::string s = b.status();
  EXPECT_TRUE(has(s, "running=A next=B good=A upgrade-available=1 bootcount=0 bootlimit=2")) << s;
  EXPECT_TRUE(has(s, "slot=B state=pending attempts-left=2 version=1.0.4.9 key=none digest=mtd1:"))
      << s;

  r = b.boot();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      has(r.err, "boot: slot=B state=pending bootcount=1 bootlimit=2 fallback=no result=up"))
      << r.err;
  EXPECT_TRUE(has(b.status(), "slot=B state=pending attempts-left=1"));

  r = b.korvane({"--confirm"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "confirm: slot=B state=good next=B good=B changed=yes\n");
  const auto confirmed = b.snapshot();
  r = b.korvane({"--confirm"});  // idempotent: nothing written
  EXPECT_EQ(r.out, "confirm: slot=B state=good next=B good=B changed=no\n");
  EXPECT_EQ(changed(b.snapshot(), confirmed), "");

  // Ordinary boots of a confirmed system count nothing.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(b.boot().status, 0);
  EXPECT_EQ(changed(b.snapshot(), confirmed), "");
  EXPECT_TRUE(has(b.status(), "running=B next=B good=B upgrade-available=0 bootcount=0"));

  // The next update goes into slot A.
  b.image("v3.rom", 2);
  r = b.korvane({"--update", "v3.rom"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "update: slots running=B target=A")) << r.out;
}

TEST_P(AbSim, FailingBootsFallBackToTheOldSlot) {
  ab_board b(*GetParam());
  b.image("v2.rom", 1);
  ASSERT_EQ(b.korvane({"--update", "v2.rom"}).status, 0);
  // Two attempts: both fail, the third boot falls back.
  for (int i = 1; i <= 2; ++i) {
    e2e::run_result r = b.boot(true);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "slot=B state=pending bootcount=" + std::to_string(i) +
                               " bootlimit=2 fallback=no result=down"))
        << r.err;
  }
  e2e::run_result r = b.boot();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.err, "boot: slot=A state=good bootcount=0 bootlimit=2 fallback=yes result=up"))
      << r.err;
  std::string s = b.status();
  EXPECT_TRUE(has(s, "running=A next=A good=A upgrade-available=0 bootcount=0")) << s;
  EXPECT_TRUE(has(s, "slot=B state=failed attempts-left=- version=")) << s;
  // A failed slot is written again by the next update.
  b.image("v3.rom", 3);
  EXPECT_EQ(b.korvane({"--update", "v3.rom"}).status, 0);
}

INSTANTIATE_TEST_SUITE_P(Boards, AbSim, testing::Values(&NAND, &NOR),
                         [](const auto &info) { return std::string(info.param->name); });

// Every refusal happens before anything is written: both slots and both
// copies of the environment stay byte for byte.
TEST(AbSimRefusal, NothingIsWritten) {
  struct row {
    const char *what;
    std::function<std::string(ab_board &)> setup;  // makes the image, returns its name
    const char *step;
  };
  const row rows[] = {
      {"built for another board",
       [](ab_board &b) {
         b.image("x.rom", 1);
         e2e::write_file(b.dir / "system.conf",
                         std::string(CONFIG).replace(std::string(CONFIG).find("device = board"), 14,
                                                     "device = other"));
         return std::string("x.rom");
       },
       "device"},
      {"too large for the slot",
       [](ab_board &b) {
         b.image("x.rom", 1, 1200000);
         return std::string("x.rom");
       },
       "preflight"},
      {"a payload whose check fails",
       [](ab_board &b) {
         std::vector<blk_place> p = b.image("x.rom", 1);
         std::string bytes = e2e::read_file(b.dir / "x.rom");
         bytes[p[1].offset + p[1].hsize + 500] ^= 1;
         e2e::write_file(b.dir / "x.rom", bytes);
         return std::string("x.rom");
       },
       "preflight"},
      {"a flash block no slot maps",
       [](ab_board &b) {
         std::vector<blk_input> in = b.blocks(1);
         in[2].id = 4;
         build_image(b.dir / "x.rom", in);
         return std::string("x.rom");
       },
       "blocks"},
      {"a slot's block missing",
       [](ab_board &b) {
         std::vector<blk_input> in = b.blocks(1);
         in.erase(in.begin() + 1);
         build_image(b.dir / "x.rom", in);
         return std::string("x.rom");
       },
       "blocks"},
      {"unsigned, with a trusted key configured",
       [](ab_board &b) {
         e2e::run_result k =
             e2e::run({bin("korvane-mkrom"), "keygen", "board.key", "board.pub"}, b.dir.path());
         EXPECT_EQ(k.status, 0);
         e2e::write_file(b.dir / "system.conf", std::string(CONFIG) + "[keys]\nkey = board.pub\n");
         b.image("x.rom", 1);
         return std::string("x.rom");
       },
       "signature"},
      {"the running slot not yet confirmed (the target would be the last good slot)",
       [](ab_board &b) {
         b.image("v2.rom", 1);
         EXPECT_EQ(b.korvane({"--update", "v2.rom"}).status, 0);
         EXPECT_EQ(b.boot().status, 0);  // slot B runs, pending
         b.image("x.rom", 2);
         return std::string("x.rom");
       },
       "slots"},
  };
  for (const board_kind *kind : {&NAND, &NOR}) {
    for (const row &r : rows) {
      SCOPED_TRACE(std::string(kind->name) + ": " + r.what);
      ab_board b(*kind);
      ASSERT_EQ(b.korvane({"--status"}).status, 0);  // the board set up
      const std::string image = r.setup(b);
      const auto before = b.snapshot();
      e2e::run_result out = b.korvane({"-k", "--update", image});
      EXPECT_EQ(out.status, 1) << out.out;
      EXPECT_TRUE(has(out.out, std::string("update: refused step=") + r.step)) << out.out;
      EXPECT_FALSE(has(out.out, "update: mark")) << out.out;
      EXPECT_EQ(changed(b.snapshot(), before), "");
      EXPECT_FALSE(has(e2e::read_file(b.dir / "state/events.log"), "kill")) << "killed";
    }
  }
}

// A write that fails after the slot was marked empty: the update fails,
// the slot stays empty and the board boots the running slot as before.
TEST(AbSimFailure, AFailedWriteLeavesTheSlotEmpty) {
  ab_board b(NAND);
  std::string board = NAND.board;
  board.replace(board.find("name=root_b"), 11, "name=root_b fail=write:3:EIO");
  e2e::write_file(b.dir / "board", board);
  b.image("v2.rom", 1);
  e2e::run_result r = b.korvane({"--update", "v2.rom", "--json"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "update: mark slot=B state=empty")) << r.out;
  EXPECT_TRUE(has(r.out,
                  "update: failed step=write reason=programming slot B failed; it stays "
                  "empty"))
      << r.out;
  EXPECT_TRUE(has(r.out, "\"result\":\"failed\"")) << r.out;
  std::string s = b.status();
  EXPECT_TRUE(has(s, "running=A next=A good=A upgrade-available=0")) << s;
  EXPECT_TRUE(has(s, "slot=B state=empty attempts-left=-\n")) << s;
  r = b.boot();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.err, "boot: slot=A state=good")) << r.err;
}

// The boot step checks the slot against its record: a partition changed
// after the update does not boot, and its attempts run out as a system that
// never comes up.
TEST(AbSimFailure, ASlotThatNoLongerHoldsItsImageDoesNotBoot) {
  ab_board b(NOR);
  b.image("v2.rom", 1);
  ASSERT_EQ(b.korvane({"--update", "v2.rom"}).status, 0);
  std::string root = e2e::read_file(b.dir / "state/mtd3.data");
  root[1000] ^= 0x40;
  e2e::write_file(b.dir / "state/mtd3.data", root);
  e2e::run_result r = b.boot();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err,
                  "result=down reason=the slot's partitions do not hold its image: "
                  "digest-mismatch"))
      << r.err;
  EXPECT_EQ(b.boot().status, 1);
  r = b.boot();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.err, "slot=A state=good bootcount=0 bootlimit=2 fallback=yes result=up"))
      << r.err;
}

// A signed update with the board's key: the record names the key.
TEST(AbSimSigned, TheRecordNamesTheKey) {
  ab_board b(NAND, std::string(CONFIG) + "[keys]\nkey = board.pub\n");
  ASSERT_EQ(
      e2e::run({bin("korvane-mkrom"), "keygen", "board.key", "board.pub"}, b.dir.path()).status, 0);
  b.image("v2.rom", 1);
  e2e::run_result r = e2e::run({bin("korvane-mkrom"), "sign", "v2.rom", "board.key"}, b.dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  chmod((b.dir / "v2.rom").c_str(), 0644);
  r = b.korvane({"--update", "v2.rom"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "signature: result=ok")) << r.out;
  const size_t at = r.out.find(" key=", r.out.find("signature: result=ok"));
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string key = r.out.substr(at + 5, 16);
  EXPECT_TRUE(has(b.status(),
                  "slot=B state=pending attempts-left=2 version=1.0.4.9 key=" + key + " digest="))
      << b.status();
}

TEST(AbSimBoot, NeedsABoardWithSlots) {
  scratch_dir d;
  e2e::write_file(d / "board", "mtd0 nor size=64K erase=64K\n");
  e2e::run_result r =
      e2e::run({bin("korvane-sim"), "--board", "board", "--state", "state", "--boot"}, d.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "--boot needs a board with slots")) << r.err;
  EXPECT_FALSE(fs::exists(d / "state")) << "no state folder for a mistake";
  r = e2e::run({bin("korvane-sim"), "--boot", "--", "-I", "x"}, d.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "drop the korvane arguments")) << r.err;
  // korvane's update actions on such a board reach no environment at all.
  e2e::write_file(d / "system.conf", CONFIG);
  r = e2e::run({bin("korvane-sim"), "--board", "board", "--state", "state", "--", "--config",
                "system.conf", "--status"},
               d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "status: refused reason=the boot loader's environment: the board has no boot loader "
            "environment (an env line in the board file)\n");
}

// An update over one that is staged but never booted: the mark takes the
// boot loader back to the good slot first, so a failure in between leaves
// the board booting it.
TEST(AbSimFailure, AStagedUpdateIsWithdrawnFirst) {
  ab_board b(NOR);
  b.image("v2.rom", 1);
  ASSERT_EQ(b.korvane({"--update", "v2.rom"}).status, 0);
  ASSERT_TRUE(has(b.status(), "next=B good=A upgrade-available=1"));
  std::string board = NOR.board;
  board.replace(board.find("name=kernel_b"), 13, "name=kernel_b fail=write:2:EIO");
  e2e::write_file(b.dir / "board", board);
  b.image("v3.rom", 2);
  e2e::run_result r = b.korvane({"--update", "v3.rom"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "update: failed step=write")) << r.out;
  std::string s = b.status();
  EXPECT_TRUE(has(s, "running=A next=A good=A upgrade-available=0 bootcount=0")) << s;
  EXPECT_TRUE(has(s, "slot=B state=empty attempts-left=-\n")) << s;
}

TEST(AbSimReject, OnlyWhileTheOtherSlotIsGood) {
  ab_board b(NAND);
  b.image("v2.rom", 1);
  ASSERT_EQ(b.korvane({"--update", "v2.rom"}).status, 0);
  ASSERT_EQ(b.boot().status, 0);
  e2e::run_result r = b.korvane({"--reject"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "reject: slot=B state=failed next=A good=A changed=yes\n");
  ASSERT_EQ(b.boot().status, 0);
  EXPECT_TRUE(has(b.status(), "running=A next=A good=A upgrade-available=0"));
  // Slot B failed: rejecting A would leave nothing to boot.
  const auto before = b.snapshot();
  r = b.korvane({"--reject"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "reject: refused slot=A reason=slot B is failed; rejecting slot A would leave "
            "no slot to boot\n");
  EXPECT_EQ(changed(b.snapshot(), before), "");
}

TEST(AbSimJson, StatusAndUpdateSummaries) {
  ab_board b(NOR);
  b.image("v2.rom", 1);
  e2e::run_result r = b.korvane({"--update", "v2.rom", "--json"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
  EXPECT_TRUE(has(last, "\"action\":\"update\"")) << last;
  EXPECT_TRUE(has(last, "\"result\":\"ok\"")) << last;
  EXPECT_TRUE(has(last, "\"target\":\"B\"")) << last;
  r = b.korvane({"--status", "--json"});
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
  EXPECT_TRUE(has(r.out, "\"schema\":1")) << r.out;
  EXPECT_TRUE(has(r.out, "\"B\":{\"attempts_left\":2,\"record\":{\"digest\":\"mtd1:")) << r.out;
}

// A configuration error names the file and the line, ends with status 2
// and touches nothing.
TEST(AbSimConfig, ErrorsNameTheLine) {
  struct row {
    std::string text;
    const char *line;
    const char *says;
  };
  const std::string base = CONFIG;
  const row rows[] = {
      {base + "[slot.C]\n0 = x\n", "line=17", "unknown section [slot.C]"},
      {base + "boot-attempts = 0\n", "line=16", "boot-attempts '0' is not a number from 1 to 100"},
      {base + "[slot.A]\n2 = data\n", "line=17", "block id 2 is mapped in [slot.A] only"},
      {base + "[image]\nleave-alone = 1\n", "line=10", "block id 1 is both mapped and left alone"},
      {"[slot.A]\n0 = kernel_a\n[slot.B]\n0 = kernel_a\n", "line=4", "is given twice"},
      {"[slot.A]\n0 = kernel_x\n[slot.B]\n0 = kernel_b\n", "line=2", "is not in /proc/mtd"},
      {"[slot.A]\nkernel = kernel_a\n", "line=2", "is not a block id"},
      {"[slot.A]\n0 = kernel_a\n", "line=-", "no [slot.B] section"},
      {"this is not ini\n", "line=1", "not a line of an INI file"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    ab_board b(NAND, r.text);
    b.image("v2.rom", 1);
    e2e::run_result ok =
        e2e::run({bin("korvane-sim"), "--board", "board", "--state", "state", "--", "-I", "v2.rom"},
                 b.dir.path());
    ASSERT_EQ(ok.status, 0);
    const auto before = b.snapshot();
    e2e::run_result out = b.korvane({"--update", "v2.rom"});
    EXPECT_EQ(out.status, 2);
    EXPECT_TRUE(has(out.out, std::string("config: error file=system.conf ") + r.line + " reason="))
        << out.out;
    EXPECT_TRUE(has(out.out, r.says)) << out.out;
    EXPECT_EQ(changed(b.snapshot(), before), "");
  }
  // A missing file.
  ab_board b(NAND);
  e2e::run_result out = b.korvane({"--config", "none.conf", "--status"});
  EXPECT_EQ(out.status, 2);
  EXPECT_TRUE(has(out.out, "config: error file=none.conf line=- reason=cannot be read")) << out.out;
}

}  // namespace
}  // namespace korvane
