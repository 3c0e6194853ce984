// SPDX-License-Identifier: MIT
#include "board/board.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "rom/result.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// A board in a folder: "/proc/X" is served from ROOT/X, signals, syncs and
// sleeps are only recorded. Every event goes to `events` in order (and to
// `mirror_fd` when set, so a process that ends can still be checked).
struct fake_board {
  std::string root;
  pid_t self = 40;
  std::vector<std::string> events;
  std::map<int, std::string> open_fds;  // descriptor -> path as the code named it
  std::vector<std::string> opened;      // every path the code tried to open
  size_t largest_read = 0;
  bool fail_writes = false;
  int mirror_fd = -1;

  void log(const std::string &e) {
    events.push_back(e);
    if (mirror_fd >= 0) {
      std::string line = e + "\n";
      (void)::write(mirror_fd, line.data(), line.size());
    }
  }
};

fake_board *fake = nullptr;

int f_open(const char *path, int flags, mode_t mode) {
  fake->opened.push_back(path);
  std::string p = path;
  if (p.rfind("/proc/", 0) != 0) {
    fake->log("open outside /proc " + p);
    errno = ENOENT;
    return -1;
  }
  int fd = ::open((fake->root + p.substr(5)).c_str(), flags | O_CLOEXEC, mode);
  if (fd >= 0) fake->open_fds[fd] = p;
  return fd;
}

int f_close(int fd) {
  fake->open_fds.erase(fd);
  return ::close(fd);
}

ssize_t f_read(int fd, void *buf, size_t n) {
  fake->largest_read = std::max(fake->largest_read, n);
  return ::read(fd, buf, n);
}

ssize_t f_write(int fd, const void *buf, size_t n) {
  auto it = fake->open_fds.find(fd);
  fake->log("proc " + (it == fake->open_fds.end() ? std::string("?") : it->second) + " " +
            std::string(static_cast<const char *>(buf), n));
  if (fake->fail_writes) {
    errno = EIO;
    return -1;
  }
  return ::write(fd, buf, n);
}

off_t f_lseek(int, off_t, int) {
  fake->log("lseek");
  return -1;
}

int f_ioctl(int, unsigned long, void *) {
  fake->log("ioctl");
  return -1;
}

int f_kill(pid_t pid, int sig) {
  fake->log("kill " + std::to_string(pid) + " " + std::to_string(sig));
  return 0;
}

void f_sync() { fake->log("sync"); }

unsigned f_sleep(unsigned s) {
  fake->log("sleep " + std::to_string(s));
  return 0;
}

int f_usleep(useconds_t us) {
  fake->log("usleep " + std::to_string(us));
  return 0;
}

pid_t f_getpid() { return fake->self; }

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "korvane-board-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    board.root = templ;
    fake = &board;
    ops = {"fake",
           f_open,
           f_close,
           f_read,
           f_write,
           f_lseek,
           f_ioctl,
           f_kill,
           f_sync,
           f_sleep,
           f_usleep,
           f_getpid,
           "/nonexistent-dev",
           board.root.c_str(),
           "/nonexistent-sys",
           platform_linux.programming};
    platform_install(&ops);
  }

  void TearDown() override {
    platform_install(nullptr);
    fake = nullptr;
    EXPECT_THAT(board.open_fds, IsEmpty()) << "descriptors left open";
    std::error_code ec;
    fs::remove_all(board.root, ec);
  }

  // Creates the control file named as "/proc/...".
  void add_control(const std::string &path) {
    fs::path p = board.root + path.substr(5);
    fs::create_directories(p.parent_path());
    std::ofstream(p).flush();
  }

  std::string content(const std::string &path) {
    std::ifstream in(board.root + path.substr(5), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // A process folder; a missing file is left out.
  void add_process(const std::string &entry, std::optional<std::string> cmdline,
                   std::optional<std::string> stat) {
    fs::path dir = fs::path(board.root) / entry;
    fs::create_directories(dir);
    if (cmdline) std::ofstream(dir / "cmdline", std::ios::binary) << *cmdline;
    if (stat) std::ofstream(dir / "stat", std::ios::binary) << *stat;
  }

  // The pids signalled, checking that each got SIGKILL then SIGTERM at once.
  std::set<int> signalled() {
    std::set<int> pids;
    const auto &ev = board.events;
    for (size_t i = 0; i < ev.size(); i += 2) {
      int pid = 0;
      EXPECT_EQ(std::sscanf(ev[i].c_str(), "kill %d", &pid), 1) << ev[i];
      const std::string kill = "kill " + std::to_string(pid);
      EXPECT_EQ(ev[i], kill + " 9");
      EXPECT_EQ(i + 1 < ev.size() ? ev[i + 1] : "", kill + " 15");
      EXPECT_TRUE(pids.insert(pid).second) << "signalled twice: " << pid;
    }
    return pids;
  }

  fake_board board;
  platform_ops ops{};
};

const std::string WATCHDOG = "/proc/keypad/watchdog";
const std::string LCD = "/proc/keypad/lcd_bklight";

TEST_F(BoardTest, ProcWriteStringWritesBareTextToExistingFileOnly) {
  add_control(WATCHDOG);
  EXPECT_EQ(proc_write_string(WATCHDOG.c_str(), "201"), 0);
  EXPECT_EQ(content(WATCHDOG), "201");  // no newline
  EXPECT_EQ(proc_write_string("/proc/dsplink/reset", "1"), RES_IO);
  EXPECT_FALSE(fs::exists(board.root + "/dsplink/reset"));  // never created
  EXPECT_THAT(board.events, ElementsAre("proc " + WATCHDOG + " 201"));

  board.fail_writes = true;  // the write's result is not looked at
  EXPECT_EQ(proc_write_string(WATCHDOG.c_str(), "0"), 0);
}

TEST_F(BoardTest, WatchdogAndBacklightReturnZeroEvenWithoutTheirFiles) {
  EXPECT_EQ(watchdog_write("0"), 0);
  EXPECT_EQ(lcd_backlight_set("0"), 0);
  EXPECT_THAT(board.events, IsEmpty());
  EXPECT_THAT(board.opened, ElementsAre(WATCHDOG, LCD));

  add_control(WATCHDOG);
  add_control(LCD);
  EXPECT_EQ(watchdog_write("1"), 0);
  EXPECT_EQ(lcd_backlight_set("0"), 0);
  EXPECT_THAT(board.events, ElementsAre("proc " + WATCHDOG + " 1", "proc " + LCD + " 0"));
}

TEST_F(BoardTest, UnfilteredKillSignalsEveryNumericEntryButSelfAndInit) {
  for (const char *e : {"1", "40", "7", "123", "self", "abc", "0", "4294967295", "99999999999"})
    add_process(e, std::nullopt, std::nullopt);
  add_control(WATCHDOG);  // a non-numeric folder

  const char *list[] = {"sh"};
  struct {
    const char *const *names;
    int count;
  } no_list[] = {{nullptr, 0}, {list, 0}, {list, -1}, {nullptr, 3}};
  for (auto c : no_list) {
    for (int spare : {0, 1}) {
      board.events.clear();
      EXPECT_EQ(kill_processes(c.names, c.count, spare), 0);
      // "0" and the numbers past the pid range would reach kill() as a process
      // group or as -1 (every process), so they are never signalled.
      EXPECT_EQ(signalled(), (std::set<int>{7, 123})) << c.count << " " << spare;
    }
  }
  EXPECT_THAT(board.opened, IsEmpty());  // only the folder is read
}

TEST_F(BoardTest, KillFailsWhenProcCannotBeListed) {
  std::string missing = board.root + "/missing";
  ops.proc_root = missing.c_str();
  EXPECT_EQ(kill_processes(nullptr, 0, 0), RES_FAULT);
  const char *list[] = {"x"};
  EXPECT_EQ(kill_processes(list, 1, 1), RES_FAULT);
  EXPECT_THAT(board.events, IsEmpty());
}

enum class seen { listed, unlisted, alone };

struct proc_case {
  const char *why;
  std::optional<std::string> cmdline, stat;
  seen expect;
};

TEST_F(BoardTest, FilteredKillParsesCmdlineAndStat) {
  using namespace std::string_literals;
  const std::string long_cmd = std::string(250, 'x') + "/toolz\0"s;  // 'z' is byte 256
  const std::string long_stat = std::string(256, 'x') + "(keep) S";
  const std::vector<proc_case> cases = {
      {"command name after the last slash", "/usr/bin/keep\0"s, "9 (other) S 1", seen::listed},
      {"stat name", "/usr/bin/other\0"s, "9 (keep) S 1", seen::listed},
      {"arguments join the command name", "/usr/bin/keep\0-d\0"s, "9 (daemon) S", seen::unlisted},
      {"last slash looked for in the arguments", "/bin/sh\0/etc/init.d/tool\0"s, "(sh)",
       seen::listed},
      {"no slash: the whole line", "tool\0"s, "(x)", seen::listed},
      {"one-byte command line is empty", "k"s, "(y)", seen::unlisted},
      {"the 256th byte read ends the line", long_cmd, "(z)", seen::listed},
      {"name ends at the next ')'", "/bin/other\0"s, "9 (tool)x) S", seen::listed},
      {"exact match only", "/bin/keeper\0"s, "(kee)", seen::unlisted},
      {"case matters", "/bin/other\0"s, "(Keep)", seen::unlisted},
      {"empty cmdline", ""s, "(keep)", seen::alone},
      {"no cmdline file", std::nullopt, "(keep)", seen::alone},
      {"no stat file", "/bin/keep\0"s, std::nullopt, seen::alone},
      {"empty stat", "/bin/keep\0"s, ""s, seen::alone},
      {"no '('", "/bin/keep\0"s, "9 keep) S", seen::alone},
      {"no ')'", "/bin/keep\0"s, "9 (keep S", seen::alone},
      {"')' only before '('", "/bin/keep\0"s, ") (keep S", seen::alone},
      {"'(' past the 256 bytes read", "/bin/other\0"s, long_stat, seen::alone},
  };
  std::map<int, const proc_case *> by_pid;
  int pid = 100;
  for (const auto &c : cases) {
    add_process(std::to_string(pid), c.cmdline, c.stat);
    by_pid[pid++] = &c;
  }
  add_process("1", "/bin/other\0"s, "(other)");   // init: never signalled
  add_process("40", "/bin/other\0"s, "(other)");  // this process
  add_process("unrelated", "/bin/other\0"s, "(other)");

  const char *list[] = {"keep", "tool", "k"};
  for (int spare : {1, 0}) {
    board.events.clear();
    EXPECT_EQ(kill_processes(list, 3, spare), 0);
    std::set<int> got = signalled();
    for (const auto &[p, c] : by_pid) {
      bool want = c->expect == (spare ? seen::unlisted : seen::listed);
      EXPECT_EQ(got.count(p) == 1, want) << c->why << " (spare " << spare << ")";
    }
    EXPECT_EQ(got.count(1) + got.count(40), 0u);
  }
  EXPECT_LE(board.largest_read, 256u);
}

TEST_F(BoardTest, KillSequenceOrder) {
  add_process("1", std::nullopt, std::nullopt);
  add_process("40", std::nullopt, std::nullopt);
  add_process("7", std::nullopt, std::nullopt);
  add_control(WATCHDOG);
  EXPECT_EQ(kill_all_sequence(), 0);
  const std::string wd = "proc " + WATCHDOG + " 0";
  EXPECT_THAT(board.events, ElementsAre("sync", "sleep 1", wd, "kill 7 9", "kill 7 15", wd,
                                        "kill 7 9", "kill 7 15", wd, "sync", "sleep 1"));

  fs::remove(board.root + "/keypad/watchdog");  // a board without a watchdog file
  board.events.clear();
  EXPECT_EQ(kill_all_sequence(), 0);
  EXPECT_THAT(board.events, ElementsAre("sync", "sleep 1", "kill 7 9", "kill 7 15", "kill 7 9",
                                        "kill 7 15", "sync", "sleep 1"));
}

// The reboot steps before the final wait, for a board with the given files.
std::vector<std::string> reboot_steps(bool dsplink_reset, bool others) {
  std::vector<std::string> e;
  auto proc = [&](const std::string &path, const char *v) {
    if (others) e.push_back("proc " + path + " " + v);
  };
  proc("/proc/dsplink/bklight", "0");
  e.push_back("usleep 500000");
  if (dsplink_reset) {
    e.push_back("proc /proc/dsplink/reset 1");
  } else {
    proc("/proc/dsplink/rstsw", "1");
    proc("/proc/dsplink/rsthw", "1");
  }
  e.insert(e.end(), {"sync", "sleep 1"});
  proc(LCD, "0");
  e.push_back("usleep 500000");
  proc(WATCHDOG, "201");
  e.push_back("usleep 500000");
  proc(WATCHDOG, "1");
  return e;
}

TEST_F(BoardTest, RebootWithoutWaitReturnsAfterTheResetSteps) {
  struct {
    bool reset, others;
  } boards[] = {{true, true}, {false, true}, {false, false}};
  for (auto b : boards) {
    fs::remove_all(board.root + "/keypad");
    fs::remove_all(board.root + "/dsplink");
    if (b.others) {
      for (const char *f : {"/proc/dsplink/bklight", "/proc/dsplink/rstsw", "/proc/dsplink/rsthw",
                            "/proc/keypad/lcd_bklight", "/proc/keypad/watchdog"})
        add_control(f);
    }
    if (b.reset) add_control("/proc/dsplink/reset");
    board.events.clear();
    EXPECT_EQ(board_reboot(0), 0);
    EXPECT_THAT(board.events, ElementsAreArray(reboot_steps(b.reset, b.others)))
        << "reset file " << b.reset << ", other files " << b.others;
  }
}

TEST_F(BoardTest, RebootWithWaitSleepsThenExitsZero) {
  for (const char *f : {"/proc/dsplink/bklight", "/proc/dsplink/reset", "/proc/keypad/lcd_bklight",
                        "/proc/keypad/watchdog"})
    add_control(f);
  std::string log = board.root + "/events.log";
  board.mirror_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(board.mirror_fd, 0);
  EXPECT_EXIT(
      {
        board_reboot(1);
        std::_Exit(3);  // must not be reached
      },
      ::testing::ExitedWithCode(0), "");
  ::close(board.mirror_fd);
  board.mirror_fd = -1;

  std::vector<std::string> want = reboot_steps(true, true);
  want.push_back("sleep 60000");
  std::vector<std::string> got;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) got.push_back(line);
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace korvane
