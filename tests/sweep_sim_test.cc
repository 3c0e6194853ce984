// SPDX-License-Identifier: MIT
// Power cuts over updates of a two-slot board: korvane-sim sweep cuts every
// flash operation of an update, and every environment store of the boots
// after it, on a small NAND and a small NOR board, and every cut must leave
// a board that boots a complete, verified slot. Beside it, the cases the
// sweep is built on: an environment copy cut short is passed over, and a
// boot cut at its store has not used up an attempt.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cstdlib>
#include <sstream>
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

struct sweep_board {
  const char *name;
  const char *board;
  uint32_t kernel_type, root_type;
};

// Small boards: a bad block in slot B's kernel on NAND, erase blocks small
// enough on NOR that the update has a few dozen operations.
const sweep_board NAND = {
    "nand",
    "mtd0 nand size=512K erase=128K page=2048 oob=64 name=kernel_a\n"
    "mtd1 nand size=512K erase=128K page=2048 oob=64 bad=1 name=kernel_b\n"
    "mtd2 nand size=128K erase=16K page=512 oob=16 name=root_a\n"
    "mtd3 nand size=128K erase=16K page=512 oob=16 name=root_b\n"
    "env size=4K redundant\n"
    "slot A mtd0 mtd2\n"
    "slot B mtd1 mtd3\n",
    ROM_BLK_TYPE_NAND_RAW,
    ROM_BLK_TYPE_NAND_OOB,
};

const sweep_board NOR = {
    "nor",
    "mtd0 nor size=256K erase=4K name=kernel_a\n"
    "mtd1 nor size=256K erase=4K name=kernel_b\n"
    "mtd2 nor size=64K erase=4K name=root_a\n"
    "mtd3 nor size=64K erase=4K name=root_b\n"
    "env size=4K redundant\n"
    "slot A mtd0 mtd2\n"
    "slot B mtd1 mtd3\n",
    ROM_BLK_TYPE_NOR,
    ROM_BLK_TYPE_NOR,
};

constexpr const char *CONFIG =
    "[board]\n"
    "device = board\n"
    "device-id = 7\n"
    "[slot.A]\n"
    "0 = kernel_a\n"
    "1 = root_a\n"
    "[slot.B]\n"
    "0 = kernel_b\n"
    "1 = root_b\n"
    "[bootloader]\n"
    "type = u-boot\n"
    "boot-attempts = 2\n";

struct fixture {
  const sweep_board &kind;
  scratch_dir dir;

  explicit fixture(const sweep_board &k, const std::string &board_text = "", size_t kernel = 20000)
      : kind(k) {
    e2e::write_file(dir / "board", board_text.empty() ? k.board : board_text);
    e2e::write_file(dir / "system.conf", CONFIG);
    image("old.rom", 1, kernel);
    image("new.rom", 5, kernel);
  }

  void image(const std::string &name, int seed, size_t kernel) const {
    build_image(dir / name, {{kind.kernel_type, 0, "kernel", ROM_BLK_CT_NONE,
                              firmware_like(kernel, seed), ROM_VERIFY_CRC},
                             {kind.root_type, 1, "root", ROM_BLK_CT_NONE,
                              pattern(kernel / 3, seed + 1), ROM_VERIFY_CRC}});
    chmod((dir / name).c_str(), 0644);
  }

  e2e::run_result sweep() const {
    // The sweep runs korvane-sim as the tests do (under the armhf build's
    // emulator, through its launcher).
    setenv("KORVANE_SIM_SELF", bin("korvane-sim").c_str(), 1);
    return e2e::run({bin("korvane-sim"), "sweep", "--board", "board", "--config", "system.conf",
                     "--image", "new.rom", "--from", "old.rom", "--seed", "7"},
                    dir.path());
  }
  e2e::run_result sim(const std::vector<std::string> &words) const {
    std::vector<std::string> args = {bin("korvane-sim"), "--board", "board", "--state", "state"};
    args.insert(args.end(), words.begin(), words.end());
    return e2e::run(args, dir.path());
  }
  e2e::run_result korvane(const std::vector<std::string> &words) const {
    std::vector<std::string> args = {"--", "--config", "system.conf"};
    args.insert(args.end(), words.begin(), words.end());
    return sim(args);
  }
};

bool has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// The numbers of a table row ("update 79 78 1 0 0"): points, A-good,
// B-pending, B-good, failures.
std::vector<unsigned> row(const std::string &out, const std::string &phase) {
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first != phase) continue;
    std::vector<unsigned> v;
    for (unsigned n; words >> n;) v.push_back(n);
    return v;
  }
  return {};
}

// Hundreds of short runs, each over a fresh copy of a state folder: in
// memory when the machine has a tmpfs for it, as the sweep script does.
class Sweep : public testing::TestWithParam<const sweep_board *> {
 protected:
  static void SetUpTestSuite() {
    if (access("/dev/shm", W_OK | X_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  }
};

// Every cut point of the update and of the boots, torn erases and programs
// and torn environment copies among them: no failure, and each cut of the
// update boots slot A or slot B pending.
TEST_P(Sweep, EveryCutBootsACompleteSlot) {
  fixture f(*GetParam());
  e2e::run_result r = f.sweep();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "sweep: result=ok ")) << r.out;
  const auto ops_at = r.out.find("update-operations=");
  ASSERT_NE(ops_at, std::string::npos) << r.out;
  const unsigned ops = static_cast<unsigned>(std::atoi(r.out.c_str() + ops_at + 18));
  const std::vector<unsigned> update = row(r.out, "update"), boot = row(r.out, "boot");
  ASSERT_EQ(update.size(), 5u) << r.out;
  ASSERT_EQ(boot.size(), 5u) << r.out;
  EXPECT_GT(ops, 10u);
  EXPECT_EQ(update[0], ops);
  EXPECT_EQ(update[1] + update[2], ops) << r.out;
  EXPECT_EQ(update[4], 0u);
  // Boots while B is pending: one store each, two for the fallback.
  EXPECT_EQ(boot[0], 4u) << r.out;
  EXPECT_EQ(boot[4], 0u);
}

INSTANTIATE_TEST_SUITE_P(Boards, Sweep, testing::Values(&NAND, &NOR),
                         [](const auto &info) { return std::string(info.param->name); });

// A boot cut at its store leaves that copy torn: the boot loader reads the
// other one, so the cut attempt is not counted, and a confirmed system's
// boot writes nothing at all.
TEST(SweepCases, BootCutAtItsStoreCountsNoAttempt) {
  fixture f(NAND);
  ASSERT_EQ(f.korvane({"--update", "new.rom"}).status, 0);
  e2e::run_result r = f.sim({"--count-ops", "--boot-fail"});
  EXPECT_TRUE(has(r.err, "korvane-sim: flash operations: 1")) << r.err;
  EXPECT_TRUE(has(r.err, "bootcount=1 ")) << r.err;

  r = f.sim({"--cut-at", "1", "--cut-seed", "3", "--boot"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_TRUE(has(e2e::read_file(f.dir / "state/events.log"), "powercut 1 3 env store copy="));
  r = f.sim({"--boot"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "boot: slot=B state=pending bootcount=2 bootlimit=2 fallback=no"))
      << r.err;

  ASSERT_EQ(f.korvane({"--confirm"}).status, 0);
  r = f.sim({"--count-ops", "--boot"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "boot: slot=B state=good bootcount=0")) << r.err;
  EXPECT_TRUE(has(r.err, "korvane-sim: flash operations: 0")) << r.err;
}

// The first store of an update cut short: the environment still reads as
// before the update (the torn copy fails its CRC), so slot A boots.
TEST(SweepCases, UpdateCutAtItsFirstStoreKeepsTheEnvironment) {
  fixture f(NOR);
  const std::string before = f.korvane({"--status"}).out;
  ASSERT_TRUE(has(before, "running=A next=A good=A")) << before;
  e2e::run_result r =
      f.sim({"--cut-at", "1", "--", "--config", "system.conf", "--update", "new.rom"});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_TRUE(has(e2e::read_file(f.dir / "state/events.log"), "powercut 1 0 env store copy="));
  EXPECT_EQ(f.korvane({"--status"}).out, before);
  r = f.sim({"--boot"});
  EXPECT_TRUE(has(r.err, "boot: slot=A state=good")) << r.err;
}

// A board whose environment has a single copy: a cut at a store leaves no
// valid environment, and the sweep says so with a replay that shows it.
TEST(SweepCases, FailuresCarryAReplay) {
  std::string board = NOR.board;
  board.replace(board.find("env size=4K redundant"), 21, "env size=4K");
  fixture f(NOR, board, 4000);
  e2e::run_result r = f.sweep();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "sweep: failure phase=update cut-at=1 reason=no slot came up")) << r.out;
  EXPECT_TRUE(has(r.out, "sweep: result=failed ")) << r.out;
  const auto at = r.out.find("sweep: replay: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string replay = r.out.substr(at + 15, r.out.find('\n', at) - at - 15);
  EXPECT_TRUE(has(replay, "--cut-at 1 --cut-seed 7 -- --config ")) << replay;
  e2e::run_result again = e2e::run({"/bin/sh", "-c", replay}, f.dir.path());
  EXPECT_EQ(again.status, 2) << again.err;
  EXPECT_TRUE(has(again.err, "boot: result=error reason=no valid copy of the environment"))
      << again.err;
  const auto work = r.out.find(" work=", r.out.find("sweep: result="));
  ASSERT_NE(work, std::string::npos);
  e2e::run({"/bin/rm", "-rf", r.out.substr(work + 6, r.out.find('\n', work) - work - 6)});
}

}  // namespace
}  // namespace korvane
