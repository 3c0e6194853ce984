// SPDX-License-Identifier: MIT
// The driver's order of steps around an action: the kill sequence before the
// action, the watchdog write before an execute walk, the reboot after a
// successful action only. The run happens in a forked child with a
// recording platform table that reports every board action on standard
// output, so the board actions and the action's own lines form one stream
// whose order the test reads.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "cli/driver.h"
#include "platform/platform.h"
#include "rom/build.h"
#include "rom/output.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

std::string g_proc;  // the recording board's process list folder

std::set<int> g_control_fds;  // descriptors of open control files
// The control files the board has: all of them unless a test says otherwise.
std::set<std::string> g_control_files(std::begin(BOARD_CONTROL_FILES),
                                      std::end(BOARD_CONTROL_FILES));

bool is_control_file(const char *path) {
  return std::strncmp(path, "/proc/keypad/", 13) == 0 ||
         std::strncmp(path, "/proc/dsplink/", 14) == 0;
}

// The board's control files exist (as /dev/null) and every open of one for
// writing, and every write, is reported (a look for whether one exists
// opens it read-only); the process list is served from g_proc.
int rec_open(const char *path, int flags, mode_t mode) {
  if (is_control_file(path)) {
    if (!g_control_files.count(path)) {
      errno = ENOENT;
      return -1;
    }
    int fd = ::open("/dev/null", O_RDWR);
    if (fd >= 0) {
      g_control_fds.insert(fd);
      if ((flags & O_ACCMODE) != O_RDONLY) report("open %s\n", path);
    }
    return fd;
  }
  if (std::strncmp(path, "/proc/", 6) == 0)
    return ::open((g_proc + (path + 5)).c_str(), flags, mode);
  return ::open(path, flags, mode);
}
int rec_close(int fd) {
  g_control_fds.erase(fd);
  return ::close(fd);
}
ssize_t rec_write(int fd, const void *buf, size_t n) {
  if (g_control_fds.count(fd)) {
    report("write %.*s\n", static_cast<int>(n), static_cast<const char *>(buf));
    return static_cast<ssize_t>(n);
  }
  return ::write(fd, buf, n);
}
int rec_kill(pid_t pid, int sig) {
  report("kill %d %d\n", static_cast<int>(pid), sig);
  return 0;
}
void rec_sync() { report("sync\n"); }
unsigned rec_sleep(unsigned s) {
  report("sleep %u\n", s);
  return 0;
}
int rec_usleep(useconds_t us) {
  report("usleep %u\n", static_cast<unsigned>(us));
  return 0;
}

platform_ops recording_table() {
  platform_ops ops = platform_linux;
  ops.name = "recording";
  ops.open = rec_open;
  ops.write = rec_write;
  ops.close = rec_close;
  ops.kill = rec_kill;
  ops.sync = rec_sync;
  ops.sleep = rec_sleep;
  ops.usleep = rec_usleep;
  ops.proc_root = g_proc.c_str();
  return ops;
}

struct outcome {
  int status;
  std::string out;
};

// Runs the driver in a child in folder `cwd` with the recording table.
outcome drive(const std::string &cwd, std::vector<std::string> args) {
  args.insert(args.begin(), "korvane");
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    close(p[0]);
    if (chdir(cwd.c_str()) != 0) _exit(99);
    static platform_ops ops = recording_table();
    platform_install(&ops);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int status = korvane_main(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    _exit(status);
  }
  close(p[1]);
  outcome o{};
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) o.out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return o;
}

const char *const kill_sequence =
    "sync\nsleep 1\n"
    "open /proc/keypad/watchdog\nwrite 0\n"
    "kill 4242 9\nkill 4242 15\n"
    "open /proc/keypad/watchdog\nwrite 0\n"
    "kill 4242 9\nkill 4242 15\n"
    "open /proc/keypad/watchdog\nwrite 0\n"
    "sync\nsleep 1\n";

const char *const reboot_sequence =
    "open /proc/dsplink/bklight\nwrite 0\nusleep 500000\n"
    "open /proc/dsplink/reset\nwrite 1\n"
    "sync\nsleep 1\n"
    "open /proc/keypad/lcd_bklight\nwrite 0\nusleep 500000\n"
    "open /proc/keypad/watchdog\nwrite 201\nusleep 500000\n"
    "open /proc/keypad/watchdog\nwrite 1\n"
    "sleep 60000\n";

class DriverOrder : public ::testing::Test {
 protected:
  e2e::scratch_dir dir;

  void SetUp() override {
    g_proc = dir / "proc";
    std::filesystem::create_directories(g_proc + "/4242");
    e2e::write_file(g_proc + "/4242/cmdline", std::string("/bin/app\0", 9));
    e2e::write_file(g_proc + "/4242/stat", "4242 (app) S 1");
    // One block that the install walk leaves alone, so -e needs no flash.
    e2e::write_file(dir / "data", "payload");
    testing::internal::CaptureStdout();
    ASSERT_EQ(rom_create((dir / "a.rom").c_str(), 1, "board", "oem", "v1", 0), 0);
    blk_desc d;
    d.type = ROM_BLK_TYPE_FILE;
    std::strcpy(d.name, "data");
    ASSERT_EQ(rom_append_blk((dir / "a.rom").c_str(), (dir / "data").c_str(), 0, &d), 0);
    testing::internal::GetCapturedStdout();
  }
};

TEST_F(DriverOrder, StepsAroundTheAction) {
  struct row {
    std::vector<std::string> args;
    int status;
    std::string before;  // what the output starts with
    std::string after;   // what it ends with
  } rows[] = {
      // The signals come before the action's log line.
      {{"-k", "-V", "-I", "a.rom"}, 0, std::string(kill_sequence) + "show info:a.rom\n", ""},
      // The watchdog is written after the log line and before the walk; the
      // reboot follows the successful walk.
      {{"-r", "-V", "-e", "a.rom"},
       0,
       "execute rom:a.rom\nopen /proc/keypad/watchdog\nwrite 0\nrom magic       :0xad24ec0b\n",
       std::string("rom execute:done\n") + reboot_sequence},
      // Extraction and info get no watchdog write first, but the reboot after.
      {{"-r", "-V", "-x", "a.rom"},
       0,
       "extract rom:a.rom\n============ROM<a.rom>",
       reboot_sequence},
      {{"-r", "-I", "a.rom"}, 0, "============ROM<a.rom>", reboot_sequence},
      // -q is kill and reboot.
      {{"-q", "-I", "a.rom"},
       0,
       std::string(kill_sequence) + "============ROM<a.rom>",
       reboot_sequence},
      // A failing action exits 1 and does not reboot; the kill has happened.
      {{"-r", "-e", "missing.rom"},
       1,
       "open /proc/keypad/watchdog\nwrite 0\nfailed to open rom or block,",
       ""},
      {{"-q", "-x", "missing.rom"},
       1,
       std::string(kill_sequence) + "failed to open rom or block,",
       ""},
  };
  for (const row &r : rows) {
    std::string what = testing::PrintToString(r.args);
    outcome o = drive(dir.path(), r.args);
    EXPECT_EQ(o.status, r.status) << what << "\n" << o.out;
    EXPECT_EQ(o.out.rfind(r.before, 0), 0u) << what << "\n" << o.out;
    if (!r.after.empty()) {
      ASSERT_GE(o.out.size(), r.after.size()) << what;
      EXPECT_EQ(o.out.substr(o.out.size() - r.after.size()), r.after) << what << "\n" << o.out;
    }
    if (r.status != 0) {
      EXPECT_EQ(o.out.find("dsplink"), std::string::npos) << what << ": no reboot";
    }
    size_t first_watchdog = o.out.find("/proc/keypad/watchdog");
    if (r.args[0] == "-r" && r.args.back() == "a.rom" && r.args[r.args.size() - 2] != "-e") {
      EXPECT_GT(first_watchdog, o.out.find("/proc/dsplink/bklight"))
          << what << ": watchdog only in the reboot";
    }
  }
}

// A machine without the board's control files (a PC, a container): -k, -q
// and -r are refused before anything is done, and nothing else changes.
TEST_F(DriverOrder, KillAndRebootNeedTheBoard) {
  const std::string refused =
      "board: result=refused wanted=%s reason=none of the board's control files exists "
      "(/proc/keypad/watchdog,/proc/keypad/lcd_bklight,/proc/dsplink/bklight,"
      "/proc/dsplink/reset,/proc/dsplink/rstsw,/proc/dsplink/rsthw); -k, -q and -r act only on "
      "the board, and nothing was done\n";
  auto refusal = [&](const char *wanted) {
    std::string line = refused;
    line.replace(line.find("%s"), 2, wanted);
    return line;
  };
  struct row {
    std::vector<std::string> args;
    std::string wanted;
  } rows[] = {
      {{"-k", "-V", "-e", "a.rom"}, "kill"},
      {{"-r", "-V", "-x", "a.rom"}, "reboot"},
      {{"-q", "-I", "a.rom"}, "kill,reboot"},
      {{"--kill", "--reboot", "-I", "a.rom"}, "kill,reboot"},
      // Before the fork of -h: the caller hears of it.
      {{"-h", "-k", "-I", "a.rom"}, "kill"},
      // Before the image is opened.
      {{"-q", "-e", "missing.rom"}, "kill,reboot"},
  };
  auto listing = [&] {
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir.path()))
      names.insert(e.path().filename());
    return names;
  };
  const std::set<std::string> files = listing();
  g_control_files.clear();
  for (const row &r : rows) {
    std::string what = testing::PrintToString(r.args);
    outcome o = drive(dir.path(), r.args);
    EXPECT_EQ(o.status, 1) << what;
    EXPECT_EQ(o.out, refusal(r.wanted.c_str())) << what;
  }
  EXPECT_EQ(listing(), files) << "-x extracted nothing";

  // Without -k, -q and -r such a machine runs korvane as before.
  outcome o = drive(dir.path(), {"-V", "-I", "a.rom"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(o.out.rfind("show info:a.rom\n============ROM<a.rom>", 0), 0u) << o.out;

  // One control file is enough: a board without the reset file has the
  // other two reset files, and is a board.
  g_control_files = {"/proc/dsplink/rsthw"};
  o = drive(dir.path(), {"-k", "-I", "a.rom"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(o.out.find("board:"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("kill 4242 9\n"), std::string::npos) << o.out;
  g_control_files = {std::begin(BOARD_CONTROL_FILES), std::end(BOARD_CONTROL_FILES)};
}

}  // namespace
}  // namespace korvane
