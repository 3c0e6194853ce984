// SPDX-License-Identifier: MIT
#include "rom/staged.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "rom/io.h"

namespace korvane {
namespace {

constexpr size_t PIECE = 1 << 20;  // write and copy steps, each one progress report

void (*step_hook)(const char *) = nullptr;

// The named temporary file being written, for the signal handlers.
char signal_name[PATH_MAX];
volatile sig_atomic_t signal_name_set = 0;

void remember_name(const std::string &name) {
  signal_name_set = 0;
  if (name.size() < sizeof signal_name) {
    std::memcpy(signal_name, name.c_str(), name.size() + 1);
    signal_name_set = 1;
  }
}

void forget_name() { signal_name_set = 0; }

void on_signal(int sig) {
  if (signal_name_set) unlink(signal_name);
  signal(sig, SIG_DFL);
  raise(sig);
}

void step(const char *what) {
  if (step_hook) step_hook(what);
}

int fail(std::string *error, const std::string &what, int err) {
  *error = what + ": " + std::strerror(err);
  errno = err;
  return -1;
}

void report_progress(staged_file *s) {
  if (s->progress.step) s->progress.step(s->progress.ctx, s->written, s->progress.total);
}

std::string folder_of(const std::string &path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A name beside the target that no file has yet.
std::string fresh_name(const std::string &target) {
  static std::minstd_rand gen(static_cast<unsigned>(getpid()) ^ std::random_device{}());
  static const char chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = target + ".";
  for (int i = 0; i < 6; ++i) name += chars[gen() % (sizeof chars - 1)];
  return name;
}

bool copy_by_reads(staged_file *s, int src, uint64_t from, uint64_t length) {
  std::unique_ptr<uint8_t[]> buf(new uint8_t[PIECE]);
  uint64_t done = from;
  while (done < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(PIECE, length - done));
    ssize_t n = pread(src, buf.get(), want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the source ended early
      return false;
    }
    step("copy");
    if (!write_all(s->fd, buf.get(), static_cast<size_t>(n))) return false;
    done += static_cast<uint64_t>(n);
    s->written += static_cast<uint64_t>(n);
    report_progress(s);
  }
  return true;
}

}  // namespace

staged_file::~staged_file() { staged_discard(this); }

int staged_open(const char *target, mode_t mode, staged_file *s, std::string *error) {
  staged_discard(s);
  struct stat st;
  std::string path = target;
  if (lstat(target, &st) == 0 && S_ISLNK(st.st_mode)) {
    // Replace the file the link points at, not the link.
    char *real = realpath(target, nullptr);
    if (!real) return fail(error, std::string("cannot resolve ") + target, errno);
    path = real;
    std::free(real);
  }
  s->target = path;
  s->dir = folder_of(path);
  s->written = 0;
  if (access("/proc/self/fd", X_OK) == 0) {
    s->fd = open(s->dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  }
  if (s->fd < 0) {
    // No anonymous files here: a named one beside the target.
    std::string name = s->target + ".XXXXXX";
    s->fd = mkostemp(name.data(), O_CLOEXEC);
    if (s->fd < 0) return fail(error, "cannot create a temporary file in " + s->dir, errno);
    s->name = name;
    remember_name(name);
  }
  if (fchmod(s->fd, mode & 07777) != 0) {
    int err = errno;
    staged_discard(s);
    return fail(error, "cannot set the permissions of a temporary file in " + s->dir, err);
  }
  return 0;
}

int staged_write(staged_file *s, const void *buf, size_t n, std::string *error) {
  const auto *p = static_cast<const uint8_t *>(buf);
  while (n) {
    size_t piece = std::min(n, PIECE);
    step("write");
    if (!write_all(s->fd, p, piece)) return fail(error, "cannot write " + s->target, errno);
    p += piece;
    n -= piece;
    s->written += piece;
    report_progress(s);
  }
  return 0;
}

int staged_pwrite(staged_file *s, const void *buf, size_t n, uint64_t offset, std::string *error) {
  step("write");
  const auto *p = static_cast<const uint8_t *>(buf);
  while (n) {
    ssize_t w = pwrite(s->fd, p, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return fail(error, "cannot write " + s->target, w == 0 ? EIO : errno);
    p += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return 0;
}

int staged_copy(staged_file *s, int src, uint64_t length, std::string *error) {
  if (length == 0) return 0;
  const std::string what = "cannot copy the image into a temporary file in " + s->dir;
  // A shared copy of the extents (btrfs, XFS): no data moves.
  if (s->written == 0) {
    step("copy");
    if (ioctl(s->fd, FICLONE, src) == 0) {
      if (ftruncate(s->fd, static_cast<off_t>(length)) != 0 ||
          lseek(s->fd, static_cast<off_t>(length), SEEK_SET) < 0)
        return fail(error, what, errno);
      s->written = length;
      report_progress(s);
      return 0;
    }
  }
  // A copy inside the kernel, falling back on reads and writes where the
  // file systems do not offer one.
  uint64_t base = s->written;
  uint64_t done = 0;
  while (done < length) {
    loff_t in = static_cast<loff_t>(done);
    size_t want = static_cast<size_t>(std::min<uint64_t>(8 * PIECE, length - done));
    step("copy");
    ssize_t n = copy_file_range(src, &in, s->fd, nullptr, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && done == 0 &&
        (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
         errno == EBADF)) {
      if (!copy_by_reads(s, src, 0, length)) return fail(error, what, errno);
      return 0;
    }
    if (n <= 0) return fail(error, what, n == 0 ? EIO : errno);
    done += static_cast<uint64_t>(n);
    s->written = base + done;
    report_progress(s);
  }
  return 0;
}

int staged_commit(staged_file *s, std::string *error) {
  if (s->fd < 0) return fail(error, "nothing to commit for " + s->target, EBADF);
  step("fsync");
  if (fsync(s->fd) != 0) {
    int err = errno;
    staged_discard(s);
    return fail(error, "cannot write " + s->target, err);
  }
  std::string name = s->name;
  if (name.empty()) {
    // Give the anonymous file a name beside the target, then move it over.
    std::string self = "/proc/self/fd/" + std::to_string(s->fd);
    for (int tries = 0;; ++tries) {
      name = fresh_name(s->target);
      step("link");
      if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
      if (errno != EEXIST || tries > 100) {
        int err = errno;
        staged_discard(s);
        return fail(error, "cannot name the new version of " + s->target, err);
      }
    }
    s->name = name;
    remember_name(name);
  }
  step("rename");
  if (rename(name.c_str(), s->target.c_str()) != 0) {
    int err = errno;
    staged_discard(s);
    return fail(error, "cannot replace " + s->target, err);
  }
  forget_name();
  s->name.clear();
  close(s->fd);
  s->fd = -1;
  // The rename is durable once the folder is.
  step("fsync-dir");
  unique_fd dir{open(s->dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd >= 0) (void)fsync(dir.fd);
  return 0;
}

void staged_discard(staged_file *s) {
  int saved = errno;
  if (!s->name.empty()) {
    unlink(s->name.c_str());
    forget_name();
    s->name.clear();
  }
  if (s->fd >= 0) close(s->fd);
  s->fd = -1;
  errno = saved;
}

void staged_remove_on_signals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
}

void staged_set_step_hook(void (*hook)(const char *step)) { step_hook = hook; }

}  // namespace korvane
