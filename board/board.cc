// SPDX-License-Identifier: MIT
#include "board/board.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "rom/io.h"
#include "rom/result.h"

namespace korvane {
namespace {

constexpr const char *WATCHDOG = "/proc/keypad/watchdog";
constexpr const char *LCD_BKLIGHT = "/proc/keypad/lcd_bklight";
constexpr const char *DSP_BKLIGHT = "/proc/dsplink/bklight";
constexpr const char *DSP_RESET = "/proc/dsplink/reset";
constexpr const char *DSP_RSTSW = "/proc/dsplink/rstsw";
constexpr const char *DSP_RSTHW = "/proc/dsplink/rsthw";

constexpr size_t PROC_READ_MAX = 256;     // bytes read of a cmdline or stat file
constexpr useconds_t SETTLE_US = 500000;  // pause after a backlight or watchdog step
constexpr unsigned REBOOT_WAIT_S = 60000;

struct dir_closer {
  void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// Reads at most PROC_READ_MAX bytes of /proc/<entry>/<file> into buf in one
// read. @return the byte count, 0 when the file cannot be opened or is empty.
size_t read_proc_file(const char *entry, const char *file, char *buf) {
  std::string path = std::string("/proc/") + entry + "/" + file;
  unique_fd f(plat().open(path.c_str(), O_RDONLY, 0), plat_close);
  if (f.fd < 0) return 0;
  ssize_t n = plat().read(f.fd, buf, PROC_READ_MAX);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool is_listed(const std::string &name, const char *const *names, int count) {
  for (int i = 0; i < count; i++) {
    if (names[i] && name == names[i]) return true;
  }
  return false;
}

// Decides for a filtered kill. @return 1 when the process is listed, 0 when
// it is not, -1 when its files are missing or unreadable (left alone).
int listed_state(const char *entry, const char *const *names, int count) {
  char line[PROC_READ_MAX];
  size_t n = read_proc_file(entry, "cmdline", line);
  if (n == 0) return -1;
  // The arguments form one line: the last byte read ends it, every NUL
  // before it becomes a space.
  line[n - 1] = '\0';
  for (size_t i = 0; i + 1 < n; i++) {
    if (line[i] == '\0') line[i] = ' ';
  }
  const char *slash = std::strrchr(line, '/');
  std::string command = slash ? slash + 1 : line;

  char stat[PROC_READ_MAX];
  n = read_proc_file(entry, "stat", stat);
  if (n == 0) return -1;
  const char *open = static_cast<const char *>(std::memchr(stat, '(', n));
  if (!open) return -1;
  const char *end = stat + n;
  const char *close = static_cast<const char *>(std::memchr(open + 1, ')', end - (open + 1)));
  if (!close) return -1;
  std::string process(open + 1, close);

  return is_listed(process, names, count) || is_listed(command, names, count) ? 1 : 0;
}

// The process id a /proc entry names: the decimal number its name starts
// with. @return 0 for a name that does not start with a digit or whose number
// is not a process id; kill() would read 0 and negative numbers (an overflow
// wrapped to -1 among them) as whole process groups.
pid_t entry_pid(const char *name) {
  if (!std::isdigit(static_cast<unsigned char>(name[0]))) return 0;
  errno = 0;
  long long v = std::strtoll(name, nullptr, 10);
  if (errno != 0 || v <= 0 || v > INT_MAX) return 0;
  return static_cast<pid_t>(v);
}

}  // namespace

bool board_control_present() {
  for (const char *path : BOARD_CONTROL_FILES) {
    unique_fd f(plat().open(path, O_RDONLY, 0), plat_close);
    if (f.fd >= 0 || (errno != ENOENT && errno != ENOTDIR)) return true;
  }
  return false;
}

int proc_write_string(const char *path, const char *text) {
  unique_fd f(plat().open(path, O_RDWR, 0), plat_close);
  if (f.fd < 0) return RES_IO;
  (void)plat().write(f.fd, text, std::strlen(text));  // a control file's answer is not looked at
  return 0;
}

int lcd_backlight_set(const char *text) {
  proc_write_string(LCD_BKLIGHT, text);
  return 0;
}

int watchdog_write(const char *text) {
  proc_write_string(WATCHDOG, text);
  return 0;
}

int kill_processes(const char *const *names, int count, int spare_listed) {
  dir_ptr dir(opendir(plat().proc_root));
  if (!dir) return RES_FAULT;
  const bool filtered = names && count > 0;
  const pid_t self = plat().getpid();
  while (const dirent *e = readdir(dir.get())) {
    pid_t pid = entry_pid(e->d_name);
    if (pid == 0 || pid == self || pid == 1) continue;
    if (filtered) {
      int listed = listed_state(e->d_name, names, count);
      if (listed < 0) continue;
      if (spare_listed ? listed == 1 : listed == 0) continue;
    }
    plat().kill(pid, SIGKILL);
    plat().kill(pid, SIGTERM);
  }
  return 0;
}

int kill_all_sequence() {
  plat().sync();
  plat().sleep(1);
  watchdog_write("0");
  kill_processes(nullptr, 0, 0);
  watchdog_write("0");
  kill_processes(nullptr, 0, 0);  // catches whatever started after the first pass
  watchdog_write("0");
  plat().sync();
  plat().sleep(1);
  return 0;
}

int board_reboot(int wait_and_exit) {
  proc_write_string(DSP_BKLIGHT, "0");
  plat().usleep(SETTLE_US);
  if (proc_write_string(DSP_RESET, "1") < 0) {
    // Boards without the reset file take the software and hardware resets.
    proc_write_string(DSP_RSTSW, "1");
    proc_write_string(DSP_RSTHW, "1");
  }
  plat().sync();
  plat().sleep(1);
  lcd_backlight_set("0");
  plat().usleep(SETTLE_US);
  watchdog_write("201");
  plat().usleep(SETTLE_US);
  watchdog_write("1");
  if (!wait_and_exit) return 0;
  plat().sleep(REBOOT_WAIT_S);  // the board resets during this wait
  std::fflush(nullptr);
  std::exit(0);
}

}  // namespace korvane
