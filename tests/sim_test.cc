// korvane-sim end to end: its own options and board files, and that what it
// prints on standard output is exactly what korvane prints.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace korvane {
namespace {

using e2e::bin;
using e2e::run;
using e2e::scratch_dir;

e2e::run_result sim(const scratch_dir &dir, std::vector<std::string> args) {
  args.insert(args.begin(), bin("korvane-sim"));
  return run(args, dir.path());
}

TEST(KorvaneSim, StandardOutputIsKorvanes) {
  scratch_dir dir;
  auto mkrom = [&](std::vector<std::string> args) {
    args.insert(args.begin(), bin("korvane-mkrom"));
    ASSERT_EQ(run(args, dir.path()).status, 0);
  };
  e2e::write_file(dir / "payload", std::string(5000, 'k'));
  mkrom({"create", "img.rom", "--dev-name", "board"});
  mkrom({"add", "img.rom", "payload", "-t", "nand-raw", "-p", "cypher1", "--id", "0", "--name", "kernel", "-f", "crc"});

  const std::vector<std::vector<std::string>> commands = {
      {"--version"}, {"-i", "img.rom"}, {"-I", "-V", "img.rom"}, {"-i", "absent.rom"}, {"--bogus"}};
  for (const auto &command : commands) {
    SCOPED_TRACE(command[0]);
    std::vector<std::string> real = {bin("korvane")};
    real.insert(real.end(), command.begin(), command.end());
    e2e::run_result want = run(real, dir.path());

    std::vector<std::string> args = {"--state", "st", "--"};
    args.insert(args.end(), command.begin(), command.end());
    e2e::run_result got = sim(dir, args);
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
  for (const char *f : {"keypad/watchdog", "keypad/lcd_bklight", "dsplink/bklight", "dsplink/reset"}) {
    EXPECT_TRUE(e2e::file_exists(dir / "korvane-sim-state/proc/" + f)) << f;
  }
  EXPECT_FALSE(e2e::file_exists(dir / "korvane-sim-state/proc/dsplink/rstsw"));
  EXPECT_TRUE(e2e::file_exists(dir / "korvane-sim-state/events.log"));

  // A board file decides which control files exist.
  e2e::write_file(dir / "board", "mtd0 nor size=64K erase=64K\nproc /proc/dsplink/rstsw /proc/dsplink/rsthw\n");
  r = sim(dir, {"--board", "board", "--state", "other", "--version"});
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
       "korvane-sim: board line 2: oob= missing on NAND in \"mtd0 nand size=1M erase=128K page=2048\"\n"},
      {{"--board", "absent", "--", "--version"}, "korvane-sim: absent: cannot be read\n"},
      {{"--board"}, "korvane-sim: --board needs a value\nusage: korvane-sim"},
      {{"--state="}, "korvane-sim: --state needs a folder\nusage: korvane-sim"},
      {{"--state", "board", "--", "--version"}, "korvane-sim: board: cannot be used as the state folder\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.args[0] + " " + (r.args.size() > 1 ? r.args[1] : ""));
    e2e::run_result got = sim(dir, r.args);
    EXPECT_EQ(got.status, 2);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err.rfind(r.err_start, 0), 0u) << got.err;
  }
  e2e::run_result help = sim(dir, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, "");
  EXPECT_EQ(help.err.rfind("usage: korvane-sim [--board FILE] [--state DIR] [--] KORVANE-ARGUMENTS\n", 0), 0u);
}

}  // namespace
}  // namespace korvane
