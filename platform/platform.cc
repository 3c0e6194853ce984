// SPDX-License-Identifier: MIT
#include "platform/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace korvane {
namespace {

int real_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int real_ioctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }
void real_sync() { ::sync(); }
void real_programming(int, const char *) {}

const platform_ops *installed = &platform_linux;

}  // namespace

const platform_ops platform_linux = {
    "linux",   real_open, ::close,  ::read,   ::write, ::lseek, real_ioctl, ::kill,
    real_sync, ::sleep,   ::usleep, ::getpid, "/dev",  "/proc", "/sys",     real_programming,
};

const platform_ops &plat() { return *installed; }

int plat_close(int fd) { return plat().close(fd); }

const platform_ops *platform_install(const platform_ops *ops) {
  const platform_ops *prev = installed;
  installed = ops ? ops : &platform_linux;
  return prev;
}

}  // namespace korvane
