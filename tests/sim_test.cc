// SPDX-License-Identifier: MIT
// korvane-sim end to end: its own options and board files, and that what it
// prints on standard output is exactly what korvane prints.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::bin;
using e2e::pattern;
using e2e::run;
using e2e::scratch_dir;

e2e::run_result sim(const scratch_dir &dir, std::vector<std::string> args) {
  args.insert(args.begin(), bin("korvane-sim"));
  return run(args, dir.path());
}

// What korvane answers to a command line, and what korvane-sim answers with
// the same words after "--state st --".
struct answers {
  e2e::run_result korvane, sim;
};
answers both(const scratch_dir &dir, const std::vector<std::string> &command) {
  std::vector<std::string> real = {bin("korvane")};
  real.insert(real.end(), command.begin(), command.end());
  std::vector<std::string> args = {"--state", "st", "--"};
  args.insert(args.end(), command.begin(), command.end());
  return {run(real, dir.path()), sim(dir, args)};
}

TEST(KorvaneSim, StandardOutputIsKorvanes) {
  scratch_dir dir;
  auto mkrom = [&](std::vector<std::string> args) {
    args.insert(args.begin(), bin("korvane-mkrom"));
    ASSERT_EQ(run(args, dir.path()).status, 0);
  };
  e2e::write_file(dir / "payload", std::string(5000, 'k'));
  mkrom({"create", "img.rom", "--dev-name", "board"});
  mkrom({"add", "img.rom", "payload", "-t", "nand-raw", "-p", "cypher1", "--id", "0", "--name",
         "kernel", "-f", "crc"});

  const std::vector<std::vector<std::string>> commands = {
      {"--version"}, {"-i", "img.rom"}, {"-I", "-V", "img.rom"}, {"-i", "absent.rom"}, {"--bogus"}};
  for (const auto &command : commands) {
    SCOPED_TRACE(command[0]);
    auto [want, got] = both(dir, command);
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(got.status, want.status);
    EXPECT_FALSE(got.out.empty());
  }
  // Without "--" korvane's arguments start at the first word that is not korvane-sim's.
  e2e::run_result got = sim(dir, {"--state=st", "-i", "img.rom"});
  EXPECT_EQ(got.out, run({bin("korvane"), "-i", "img.rom"}, dir.path()).out);
  EXPECT_EQ(got.err, "");
}

TEST(KorvaneSim, StateFolderHoldsTheBoardsControlFiles) {
  scratch_dir dir;
  // The default folder, in the current folder, with the built-in board.
  e2e::run_result r = sim(dir, {"--", "--version"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char *f :
       {"keypad/watchdog", "keypad/lcd_bklight", "dsplink/bklight", "dsplink/reset"}) {
    EXPECT_TRUE(e2e::file_exists(dir / "korvane-sim-state/proc/" + f)) << f;
  }
  EXPECT_FALSE(e2e::file_exists(dir / "korvane-sim-state/proc/dsplink/rstsw"));
  EXPECT_TRUE(e2e::file_exists(dir / "korvane-sim-state/events.log"));

  // A board file decides which control files exist.
  e2e::write_file(dir / "board",
                  "mtd0 nor size=64K erase=64K\nproc /proc/dsplink/rstsw /proc/dsplink/rsthw\n");
  r = sim(dir, {"--board", "board", "--state", "other", "--", "--version"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(e2e::file_exists(dir / "other/proc/dsplink/rsthw"));
  EXPECT_FALSE(e2e::file_exists(dir / "other/proc/keypad/watchdog"));
}

TEST(KorvaneSim, ItsOwnMistakesGoToStandardError) {
  scratch_dir dir;
  e2e::write_file(dir / "board", "# two partitions\nmtd0 nand size=1M erase=128K page=2048\n");
  struct row {
    std::vector<std::string> args;
    std::string err_start;
  };
  const row rows[] = {
      {{"--board", "board", "--", "--version"},
       "korvane-sim: board line 2: oob= missing on NAND in \"mtd0 nand size=1M erase=128K "
       "page=2048\"\n"},
      {{"--board", "absent", "--", "--version"},
       "korvane-sim: absent: cannot be read: No such file or directory\n"},
      {{"--board", ".", "--", "--version"}, "korvane-sim: .: cannot be read: Is a directory\n"},
      // Before "--" every argument is korvane-sim's; a mistyped option of its
      // own is its mistake with or without "--".
      {{"--bord", "board", "--", "-i", "img.rom"},
       "korvane-sim: unknown option '--bord' (korvane's arguments go after --)\nusage: "},
      {{"--bord", "board", "-i", "img.rom"}, "korvane-sim: unknown option '--bord'"},
      {{"--state", "st", "-i", "img.rom", "--", "-V"}, "korvane-sim: unknown option '-i'"},
      {{"--board"}, "korvane-sim: --board needs a value\nusage: korvane-sim"},
      {{"--state="}, "korvane-sim: --state needs a folder\nusage: korvane-sim"},
      {{"--state", "board", "--", "--version"},
       "korvane-sim: board: cannot be used as the state folder: not a folder\n"},
      {{"--state", "board/st", "--", "--version"},
       "korvane-sim: board/st: cannot be used as the state folder: Not a directory\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.args[0] + " " + (r.args.size() > 1 ? r.args[1] : ""));
    e2e::run_result got = sim(dir, r.args);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err.rfind(r.err_start, 0), 0u) << got.err;
    // A run that ends in a usage error makes no state folder.
    EXPECT_FALSE(e2e::file_exists(dir / "korvane-sim-state"));
    EXPECT_FALSE(e2e::file_exists(dir / "st"));
  }
  // Help asked for goes to standard output (korvane-sim --help | less).
  e2e::run_result help = sim(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(
      help.out.rfind("usage: korvane-sim [--board FILE] [--state DIR] [--] KORVANE-ARGUMENTS\n", 0),
      0u);
  EXPECT_NE(help.out.find("korvane's own: korvane-sim -- --help"), std::string::npos);
  EXPECT_FALSE(e2e::file_exists(dir / "korvane-sim-state"));
  // Its own version on standard output, before any board is set up;
  // korvane's banner is "korvane-sim -- --version".
  e2e::run_result version = sim(dir, {"--board", "absent", "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "korvane-sim " KORVANE_VERSION "\n");
  EXPECT_EQ(version.err, "");
  EXPECT_FALSE(e2e::file_exists(dir / "korvane-sim-state"));
}

// A command line that korvane refuses gets korvane's answer, word for word,
// and leaves no state folder behind.
TEST(KorvaneSim, KorvanesUsageErrorsMakeNoState) {
  scratch_dir dir;
  for (std::vector<std::string> command :
       {std::vector<std::string>{"--bogus"}, {"-t", "frob", "-i", "x"}, {"-V"}}) {
    SCOPED_TRACE(command[0]);
    auto [want, got] = both(dir, command);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, want.out);
    // getopt names the program by the path it was started with: korvane-sim
    // starts it as "korvane".
    std::string err = want.err;
    size_t name = err.find("korvane: ");
    if (name != std::string::npos && err.rfind('\n', name) == std::string::npos)
      err = err.substr(name);
    EXPECT_EQ(got.err, err);
    EXPECT_FALSE(e2e::file_exists(dir / "st"));
  }
  // korvane's own long options, also abbreviated, still start its arguments without "--"
  // (--help and --version written out are korvane-sim's own).
  e2e::run_result r = sim(dir, {"--state", "st", "--all", "absent"});
  e2e::run_result want = run({bin("korvane"), "--all-info", "absent"}, dir.path());
  EXPECT_EQ(r.status, want.status) << r.err;
  EXPECT_EQ(r.out, want.out);
}

// ------------------------------------------------------------ installing

// The driver says so while a step it takes from another subsystem is not
// built in yet; the tests below need execute, kill and reboot.
bool lacks_step(const e2e::run_result &r) {
  return r.out.find("not available in this build") != std::string::npos;
}

class KorvaneSimInstall : public ::testing::Test {
 protected:
  scratch_dir dir;

  void mkrom(std::vector<std::string> args) {
    args.insert(args.begin(), bin("korvane-mkrom"));
    e2e::run_result r = run(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  e2e::run_result korvane(std::vector<std::string> args) { return sim(dir, args); }
  std::string state(const std::string &name) { return e2e::read_file(dir / "st/" + name); }
};

TEST_F(KorvaneSimInstall, BlocksLandOnTheDefaultBoard) {
  // mtd0: 400000 bytes of NAND raw across the bad block 2; mtd1: NOR.
  std::string kernel = pattern(400000, 1), boot = pattern(100000, 2);
  e2e::write_file(dir / "kernel", kernel);
  e2e::write_file(dir / "boot", boot);
  mkrom({"create", "img.rom", "--dev-name", "board"});
  mkrom({"add", "img.rom", "kernel", "-t", "nand-raw", "-p", "cypher1", "--id", "0", "--name",
         "kernel", "-f", "crc"});
  mkrom({"add", "img.rom", "boot", "-t", "nor", "-p", "none", "--id", "1", "--name", "boot"});

  e2e::run_result r = korvane({"--state", "st", "--", "-e", "img.rom"});
  if (lacks_step(r)) GTEST_SKIP() << r.out;
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("Bad block at 40000, from 40000 will be skipped\n"), std::string::npos)
      << r.out;

  const size_t block = 128 * 1024;
  std::string mtd0 = state("mtd0.data");
  ASSERT_EQ(mtd0.size(), 8u << 20);
  EXPECT_EQ(mtd0.substr(0, 2 * block), kernel.substr(0, 2 * block));
  EXPECT_EQ(mtd0.substr(2 * block, block), std::string(block, '\xFF')) << "the bad block";
  EXPECT_EQ(mtd0.substr(3 * block, kernel.size() - 2 * block), kernel.substr(2 * block));
  size_t end = 3 * block + kernel.size() - 2 * block;
  EXPECT_EQ(mtd0.substr(end), std::string(mtd0.size() - end, '\xFF'))
      << "padded with 0xFF, then erased";

  std::string mtd1 = state("mtd1.data");
  EXPECT_EQ(mtd1.substr(0, boot.size()), boot);
  EXPECT_EQ(mtd1.substr(boot.size()), std::string(mtd1.size() - boot.size(), '\xFF'));

  // The whole partitions were erased first, skipping the bad block.
  std::string log = state("events.log");
  EXPECT_NE(log.find("badblock mtd0 262144 1\nbadblock mtd0 393216 0\nerase mtd0 393216 131072\n"),
            std::string::npos);
  EXPECT_EQ(log.find("erase mtd0 262144 "), std::string::npos) << "not the bad block";
  EXPECT_NE(log.find("erase mtd1 4128768 65536\n"), std::string::npos) << "the last NOR block";

  // Installing again over the programmed flash gives the same bytes: the erase came first.
  r = korvane({"--state", "st", "--", "-e", "img.rom"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(state("mtd0.data"), mtd0);
}

TEST_F(KorvaneSimInstall, FaultsFromTheBoardFileReachTheRun) {
  std::string data = pattern(3 * 2048, 3);
  e2e::write_file(dir / "data", data);
  mkrom({"create", "img.rom"});
  mkrom({"add", "img.rom", "data", "-t", "nand-raw", "-p", "none", "--id", "3", "--name", "data"});
  e2e::write_file(dir / "board",
                  "mtd3 nand size=1M erase=128K page=2048 oob=64 fail=write:2:EIO\n");
  e2e::run_result r = korvane({"--board", "board", "--state", "st", "--", "-e", "img.rom"});
  if (lacks_step(r)) GTEST_SKIP() << r.out;
  EXPECT_NE(r.out.find("failed to write,Input/output error\n"), std::string::npos) << r.out;
  EXPECT_NE(state("events.log").find("write mtd3 0 2048\nfail mtd3 write 5\n"), std::string::npos);
}

TEST_F(KorvaneSimInstall, KillAndRebootAreRecordedAndEndAtOnce) {
  e2e::write_file(dir / "data", pattern(1000, 4));
  mkrom({"create", "img.rom"});
  mkrom({"add", "img.rom", "data", "-t", "nor", "-p", "none", "--id", "1", "--name", "data"});
  // One other process on the simulated board.
  std::filesystem::create_directories(dir / "st/proc/4242");
  e2e::write_file(dir / "st/proc/4242/cmdline", std::string("/bin/app\0", 9));
  e2e::write_file(dir / "st/proc/4242/stat", "4242 (app) S 1");

  e2e::run_result r = korvane({"--state", "st", "--", "-k", "-r", "-e", "img.rom"});
  if (lacks_step(r)) GTEST_SKIP() << r.out;
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string log = state("events.log");
  const std::string kill_sequence =
      "sync\nsleep 1\nproc /proc/keypad/watchdog 0\nkill 4242 9\nkill 4242 15\n"
      "proc /proc/keypad/watchdog 0\nkill 4242 9\nkill 4242 15\nproc /proc/keypad/watchdog "
      "0\nsync\nsleep 1\n"
      "proc /proc/keypad/watchdog 0\n";
  const std::string reboot =
      "proc /proc/dsplink/bklight 0\nusleep 500000\nproc /proc/dsplink/reset 1\nsync\nsleep 1\n"
      "proc /proc/keypad/lcd_bklight 0\nusleep 500000\nproc /proc/keypad/watchdog 201\nusleep "
      "500000\n"
      "proc /proc/keypad/watchdog 1\nsleep 60000\n";
  EXPECT_EQ(log.rfind("run 1: korvane -k -r -e img.rom\n" + kill_sequence, 0), 0u) << log;
  ASSERT_GE(log.size(), reboot.size());
  EXPECT_EQ(log.substr(log.size() - reboot.size()), reboot) << log;
  EXPECT_NE(log.find("write mtd1 0 1000\n"), std::string::npos) << "the install ran between them";
  EXPECT_EQ(e2e::read_file(dir / "st/proc/keypad/watchdog"), "1");
}

// A board file without proc lines is a machine without the board's control
// files: -k, -q and -r are refused there before anything is done.
TEST_F(KorvaneSimInstall, KillAndRebootAreRefusedWithoutControlFiles) {
  e2e::write_file(dir / "data", pattern(1000, 4));
  mkrom({"create", "img.rom"});
  mkrom({"add", "img.rom", "data", "-t", "nor", "-p", "none", "--id", "1", "--name", "data"});
  e2e::write_file(dir / "board", "mtd1 nor size=512K erase=64K\n");
  std::filesystem::create_directories(dir / "st/proc/4242");
  e2e::write_file(dir / "st/proc/4242/cmdline", std::string("/bin/app\0", 9));
  e2e::write_file(dir / "st/proc/4242/stat", "4242 (app) S 1");

  for (const char *option : {"-k", "-r", "-q"}) {
    SCOPED_TRACE(option);
    e2e::run_result r =
        korvane({"--board", "board", "--state", "st", "--", option, "-e", "img.rom"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("board: result=refused wanted=", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line, and nothing else: " << r.out;
  }
  const std::string log = "\n" + state("events.log");
  for (const char *word : {"\nkill ", "\nproc ", "\nsync", "\nerase ", "\nwrite "})
    EXPECT_EQ(log.find(word), std::string::npos) << word << " in\n" << log;
  EXPECT_FALSE(e2e::file_exists(dir / "st/mtd1.data")) << "the partition was never opened";
  // Each run is marked, numbered on across runs: the refused ones too.
  EXPECT_EQ(log,
            "\nrun 1: korvane -k -e img.rom\nrun 2: korvane -r -e img.rom\n"
            "run 3: korvane -q -e img.rom\n");

  // The same board with one control file is a board.
  e2e::write_file(dir / "board", "mtd1 nor size=512K erase=64K\nproc /proc/dsplink/rstsw\n");
  e2e::run_result r = korvane({"--board", "board", "--state", "st", "--", "-k", "-e", "img.rom"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(state("events.log").find("\nkill 4242 9\n"), std::string::npos);
}

}  // namespace
}  // namespace korvane
