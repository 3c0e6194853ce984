// SPDX-License-Identifier: MIT
// The board side of the simulation: control files, the process folder,
// signals, syncs and sleeps recorded instead of performed; starting and
// stopping the table.
#include "sim/sim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

constexpr const char *BOARD =
    "mtd0 nor size=64K erase=64K\n"
    "proc /proc/keypad/watchdog /proc/dsplink/reset\n";

int write_text(const char *path, const char *text) {
  unique_fd fd(plat().open(path, O_RDWR, 0), plat_close);
  if (fd.fd < 0) return -1;
  return static_cast<int>(plat().write(fd.fd, text, std::strlen(text)));
}

TEST(Sim, StartInstallsAndStopRestores) {
  EXPECT_STREQ(plat().name, "linux");
  {
    sim_fixture sim(BOARD);
    EXPECT_STREQ(plat().name, "sim");
    EXPECT_EQ(sim_state_dir(), sim.dir().path());
    EXPECT_EQ(std::string(plat().proc_root), sim.path("proc"));
    EXPECT_STREQ(plat().dev_root, "/dev");
    EXPECT_EQ(plat().getpid(), getpid());
    EXPECT_NE(sim_partition(0), nullptr);
    EXPECT_EQ(sim_partition(1), nullptr);
  }
  EXPECT_STREQ(plat().name, "linux");
  EXPECT_EQ(sim_partition(0), nullptr);
  sim_stop();  // harmless when not running
}

TEST(Sim, StateFolderIsCreatedAndMadeAbsolute) {
  e2e::scratch_dir dir;
  std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  sim_board board;
  std::string error;
  ASSERT_EQ(sim_board_parse(BOARD, "b", &board, &error), 0);
  int r = sim_start(board, "state/inner/", &error);
  std::filesystem::current_path(cwd);
  ASSERT_EQ(r, 0) << error;
  EXPECT_EQ(sim_state_dir(), dir / "state/inner");
  EXPECT_TRUE(e2e::file_exists(dir / "state/inner/proc/keypad/watchdog"));
  sim_stop();

  // Why a folder cannot be used is said.
  e2e::write_file(dir / "file", "");
  EXPECT_EQ(sim_start(board, dir / "file", &error), -1);
  EXPECT_EQ(error, dir / "file" + ": cannot be used as the state folder: not a folder");
  EXPECT_EQ(sim_start(board, dir / "file/inner", &error), -1);
  EXPECT_EQ(error, dir / "file/inner" + ": cannot be used as the state folder: Not a directory");
  EXPECT_STREQ(plat().name, "linux");
}

// Every run's first line in the log is its mark, numbered on from the last
// mark the log holds, wherever in the file that is.
TEST(Sim, EachRunIsMarkedInTheLog) {
  const std::string piece(65536, 'y');
  // A log whose last mark, "run 7", starts `back` bytes before its end.
  auto seven_back = [&](size_t back) {
    return "run 6: korvane -I x\nrun 7: x\n" + piece.substr(0, back - 10) + "\n";
  };
  struct row {
    const char *what;
    std::string log;  // before the run
    const char *mark;
  } rows[] = {
      {"a new log", "", "run 1: korvane -e a\\x20b\n"},
      {"after a mark", "run 41: korvane -I x\nsync\n", "run 42: korvane -e a\\x20b\n"},
      {"a log of an older build, without marks", "sync\nkill 5 9\n", "run 1: korvane -e a\\x20b\n"},
      {"\"run \" inside a line is no mark", "run 3: x\nproc /p run 9\n",
       "run 4: korvane -e a\\x20b\n"},
      // The log is read backwards in pieces of 64 KiB: the mark just inside
      // the last piece, on its edge, and in the piece before.
      {"65535 bytes back", seven_back(65535), "run 8: korvane -e a\\x20b\n"},
      {"65536 bytes back", seven_back(65536), "run 8: korvane -e a\\x20b\n"},
      {"65537 bytes back", seven_back(65537), "run 8: korvane -e a\\x20b\n"},
      {"pieces back", seven_back(65537) + piece + "\n" + piece + "\n",
       "run 8: korvane -e a\\x20b\n"},
  };
  sim_board board;
  std::string error;
  ASSERT_EQ(sim_board_parse(BOARD, "b", &board, &error), 0);
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    e2e::scratch_dir dir;
    e2e::write_file(dir / "events.log", r.log);
    ASSERT_EQ(sim_start(board, dir.path(), &error), 0) << error;
    EXPECT_EQ(sim_mark_run({"korvane", "-e", "a b"}), 0);
    sim_stop();
    const std::string log = e2e::read_file(dir / "events.log");
    EXPECT_EQ(log.substr(0, r.log.size()), r.log);
    EXPECT_EQ(log.substr(r.log.size()), r.mark);
  }
}

TEST(Sim, ControlFilesExistOnlyWhenListedAndLogEveryWrite) {
  sim_fixture sim(BOARD);
  EXPECT_EQ(e2e::read_file(sim.path("proc/keypad/watchdog")), "");
  EXPECT_EQ(write_text("/proc/keypad/watchdog", "201"), 3);
  EXPECT_EQ(write_text("/proc/keypad/watchdog", "1"), 1);
  EXPECT_EQ(write_text("/proc/dsplink/reset", "1"), 1);
  errno = 0;
  EXPECT_EQ(write_text("/proc/dsplink/rstsw", "1"), -1);
  EXPECT_EQ(errno, ENOENT);

  // A file left in the state folder does not make an unlisted control file appear.
  std::filesystem::create_directories(sim.path("proc/keypad"));
  e2e::write_file(sim.path("proc/keypad/lcd_bklight"), "");
  EXPECT_EQ(write_text("/proc/keypad/lcd_bklight", "0"), -1);
  EXPECT_EQ(write_text("/proc/keypad/../keypad/watchdog", "0"), -1);

  EXPECT_EQ(e2e::read_file(sim.path("proc/keypad/watchdog")), "1") << "holds the last text written";
  EXPECT_EQ(
      sim.events(),
      "proc /proc/keypad/watchdog 201\nproc /proc/keypad/watchdog 1\nproc /proc/dsplink/reset 1\n");

  // Reading a control file gives its text; a read-only descriptor cannot write.
  unique_fd fd(plat().open("/proc/keypad/watchdog", O_RDONLY, 0), plat_close);
  char buf[8] = {};
  EXPECT_EQ(plat().read(fd.fd, buf, sizeof buf), 1);
  EXPECT_EQ(buf[0], '1');
  errno = 0;
  EXPECT_EQ(plat().write(fd.fd, "0", 1), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(Sim, ProcessFoldersAreReadFromTheState) {
  sim_fixture sim(BOARD);
  std::filesystem::create_directories(sim.path("proc/123"));
  e2e::write_file(sim.path("proc/123/cmdline"), std::string("/bin/app\0-x\0", 12));
  unique_fd fd(plat().open("/proc/123/cmdline", O_RDONLY, 0), plat_close);
  ASSERT_GE(fd.fd, 0);
  char buf[32];
  EXPECT_EQ(plat().read(fd.fd, buf, sizeof buf), 12);
  EXPECT_EQ(plat().open("/proc/124/cmdline", O_RDONLY, 0), -1);
  EXPECT_EQ(plat().open("/proc/self/stat", O_RDONLY, 0), -1) << "only what the state holds";
  EXPECT_EQ(sim.events(), "") << "reading is not an event";
}

TEST(Sim, SignalsSyncsAndSleepsAreRecordedNotPerformed) {
  sim_fixture sim(BOARD);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(plat().kill(child, SIGKILL), 0);
  EXPECT_EQ(plat().kill(1, SIGTERM), 0);
  plat().sync();
  EXPECT_EQ(plat().sleep(60000), 0u);
  EXPECT_EQ(plat().usleep(500000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(sim.events(),
            "kill " + std::to_string(child) + " 9\nkill 1 15\nsync\nsleep 60000\nusleep 500000\n");
  // The child was not signalled by the simulation.
  EXPECT_EQ(::kill(child, 0), 0);
  ::kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
}

TEST(Sim, LogAppendsAcrossRuns) {
  e2e::scratch_dir dir;
  sim_board board;
  std::string error;
  ASSERT_EQ(sim_board_parse(BOARD, "b", &board, &error), 0);
  for (int run = 0; run < 2; run++) {
    ASSERT_EQ(sim_start(board, dir.path(), &error), 0);
    plat().sync();
    sim_stop();
  }
  EXPECT_EQ(e2e::read_file(dir / "events.log"), "sync\nsync\n");
}

TEST(Sim, StopClosesWhatIsStillOpen) {
  int fd;
  {
    sim_fixture sim(BOARD);
    fd = sim.open(0);
    ASSERT_GE(fd, 0);
  }
  errno = 0;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace korvane
