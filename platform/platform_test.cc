// SPDX-License-Identifier: MIT
// The real table, once, against an ordinary file; and installing another.
#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

TEST(Platform, RealTableReachesTheSystem) {
  const platform_ops &p = plat();
  EXPECT_EQ(&p, &platform_linux);
  EXPECT_STREQ(p.dev_root, "/dev");
  EXPECT_STREQ(p.proc_root, "/proc");
  EXPECT_STREQ(p.sys_root, "/sys");

  e2e::scratch_dir dir;
  std::string path = dir / "file";
  int fd = p.open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(p.write(fd, "abcdef", 6), 6);
  EXPECT_EQ(p.lseek(fd, 2, SEEK_SET), 2);
  char buf[8] = {};
  EXPECT_EQ(p.read(fd, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "cdef");
  int n = -1;
  errno = 0;
  EXPECT_EQ(p.ioctl(fd, FIONREAD, &n), 0) << "a request an ordinary file answers";
  EXPECT_EQ(n, 0) << "at the end";
  EXPECT_EQ(p.ioctl(fd, TIOCGWINSZ, buf), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(p.close(fd), 0);
  EXPECT_EQ(e2e::read_file(path), "abcdef");

  errno = 0;
  EXPECT_EQ(p.open((dir / "absent").c_str(), O_RDWR, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(p.getpid(), getpid());
  EXPECT_EQ(p.kill(getpid(), 0), 0);
  EXPECT_EQ(p.sleep(0), 0u);
  EXPECT_EQ(p.usleep(0), 0);
  p.sync();
}

TEST(Platform, InstallSwapsAndNullRestores) {
  platform_ops other = platform_linux;
  other.name = "other";
  EXPECT_EQ(platform_install(&other), &platform_linux);
  EXPECT_STREQ(plat().name, "other");
  EXPECT_EQ(platform_install(nullptr), &other);
  EXPECT_EQ(&plat(), &platform_linux);
}

}  // namespace
}  // namespace korvane
