// SPDX-License-Identifier: MIT
// The seam between the flash and board subsystems and the operating system.
// mtd/ and board/ make system calls only through the installed table, whose
// default entries are the real Linux calls; the simulated board installs its
// own table. Code always names the real paths ("/dev/mtd3",
// "/proc/keypad/watchdog"); a table may serve such a path from elsewhere.
#pragma once

#include <sys/types.h>

namespace korvane {

struct platform_ops {
  const char *name;
  int (*open)(const char *path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void *buf, size_t n);
  ssize_t (*write)(int fd, const void *buf, size_t n);
  off_t (*lseek)(int fd, off_t offset, int whence);
  int (*ioctl)(int fd, unsigned long request, void *arg);
  int (*kill)(pid_t pid, int sig);
  void (*sync)();
  unsigned (*sleep)(unsigned seconds);
  int (*usleep)(useconds_t usec);
  pid_t (*getpid)();
  const char *dev_root;   // where "/dev" really is: "/dev" on Linux
  const char *proc_root;  // where "/proc" really is, for listing processes
  const char *sys_root;   // where "/sys" really is, for listing /sys/class/mtd
  /// Told which image block the install is about to program onto partition
  /// mtd (its name as the header holds it, NUL-terminated). Does nothing on
  /// Linux; the simulated board records it so that its flash can be drawn.
  void (*programming)(int mtd, const char *block_name);
};

/// The real calls.
extern const platform_ops platform_linux;

/// The installed table (platform_linux until another is installed).
const platform_ops &plat();

/// Closes fd through the installed table (the closer of unique_fd for
/// descriptors the table opened). @return its result.
int plat_close(int fd);

/// Installs a table; nullptr restores platform_linux. @return the previous one.
const platform_ops *platform_install(const platform_ops *ops);

}  // namespace korvane
