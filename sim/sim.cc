// SPDX-License-Identifier: MIT
#include "sim/sim.h"

// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>
#include <vector>

#include "rom/output.h"
#include "sim/sim_env.h"
#include "sim/sim_mtd.h"
#include "sim/sim_power.h"
#include "sim/sim_time.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

// A descriptor the simulation serves. The number is a real descriptor
// (opened read-only on the partition's data file, or on the control file)
// so that it cannot collide with the program's own descriptors.
struct sim_file {
  sim_device *dev = nullptr;  // a partition
  std::string proc_path;      // or a control file, as the program named it
  int accmode = O_RDONLY;
  uint64_t pos = 0;
};

struct sim_state {
  std::string dir, proc_dir, sys_dir;
  std::vector<std::unique_ptr<sim_device>> devs;
  std::vector<std::string> proc_files;
  sim_env_place env;
  std::vector<sim_slot> slots;
  std::map<int, sim_file> files;
  int log_fd = -1;
  platform_ops ops{};
  const platform_ops *previous = nullptr;
  const bootenv_ops *previous_env = nullptr;

  ~sim_state() {
    for (auto &[fd, f] : files) ::close(fd);
    if (log_fd >= 0) ::close(log_fd);
  }
  sim_device *find(int number) {
    for (auto &d : devs) {
      if (d->desc.number == number) return d.get();
    }
    return nullptr;
  }
};

std::unique_ptr<sim_state> sim;

bool all_digits(const char *s) {
  if (!*s) return false;
  for (; *s; s++) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// "/dev/mtdN" as the program writes it ("%d"). @return N or -1.
int device_number(const char *path) {
  static constexpr char prefix[] = "/dev/mtd";
  if (std::strncmp(path, prefix, sizeof prefix - 1) != 0) return -1;
  const char *digits = path + sizeof prefix - 1;
  if (!all_digits(digits) || std::strlen(digits) > 3 || (digits[0] == '0' && digits[1])) return -1;
  return std::atoi(digits);
}

bool has_dot_component(const std::string &rest) {
  std::string::size_type from = 0;
  for (;;) {
    auto at = rest.find('/', from);
    std::string part = rest.substr(from, at == std::string::npos ? std::string::npos : at - from);
    if (part == "." || part == "..") return true;
    if (at == std::string::npos) return false;
    from = at + 1;
  }
}

int fail(int err) {
  errno = err;
  return -1;
}

int open_device(int number, int flags) {
  sim_device *d = sim->find(number);
  if (!d || d->desc.missing) {
    sim_log("fail mtd%d open %d", number, ENOENT);
    return fail(ENOENT);
  }
  if (int r = sim_device_check(*d, SIM_OPEN)) return fail(-r);
  if (d->desc.read_only && (flags & O_ACCMODE) != O_RDONLY) {
    sim_log("fail mtd%d open %d", number, EACCES);
    return fail(EACCES);
  }
  if (int r = sim_device_map(*d)) return fail(-r);
  int fd = ::open(d->data_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  sim->files[fd] = sim_file{d, {}, flags & O_ACCMODE, 0};
  return fd;
}

// "/proc/..." paths: process folders (numeric first component) and the
// root itself are files under STATE/proc; any other path is a control file
// and exists only when the board lists it.
int open_proc(const char *path, int flags, mode_t mode) {
  std::string rest = path[5] == '/' ? std::string(path + 6) : std::string();
  if (has_dot_component(rest)) return fail(ENOENT);
  std::string first = rest.substr(0, rest.find('/'));
  std::string real = rest.empty() ? sim->proc_dir : sim->proc_dir + "/" + rest;
  if (rest.empty() || all_digits(first.c_str())) return ::open(real.c_str(), flags, mode);
  bool listed = false;
  for (const auto &p : sim->proc_files) listed = listed || p == path;
  if (!listed) return fail(ENOENT);
  int fd = ::open(real.c_str(), (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  sim->files[fd] = sim_file{nullptr, path, flags & O_ACCMODE, 0};
  return fd;
}

int sim_open(const char *path, int flags, mode_t mode) {
  int number = device_number(path);
  if (number >= 0) return open_device(number, flags);
  if (std::strncmp(path, "/proc", 5) == 0 && (path[5] == '\0' || path[5] == '/'))
    return open_proc(path, flags, mode);
  return ::open(path, flags, mode);
}

sim_file *served(int fd) {
  auto it = sim->files.find(fd);
  return it == sim->files.end() ? nullptr : &it->second;
}

int sim_close(int fd) {
  sim->files.erase(fd);
  return ::close(fd);
}

ssize_t sim_read(int fd, void *buf, size_t n) {
  sim_file *f = served(fd);
  if (!f) return ::read(fd, buf, n);
  if (f->accmode == O_WRONLY) return fail(EBADF);
  if (!f->dev) return ::read(fd, buf, n);
  const sim_time_call timing;  // the device's own work is not the program's
  ssize_t r = sim_device_read(*f->dev, f->pos, buf, n);
  if (r < 0) return fail(static_cast<int>(-r));
  f->pos += static_cast<uint64_t>(r);
  return r;
}

// A control file keeps the last text written to it, as a person reading the
// state folder expects; the write is logged with the text as written.
ssize_t write_control(int fd, const sim_file &f, const void *buf, size_t n) {
  std::string text(static_cast<const char *>(buf), n);
  std::string shown;
  for (char c : text) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  sim_log("proc %s %s", f.proc_path.c_str(), shown.c_str());
  if (ftruncate(fd, 0) != 0) return -1;
  return pwrite(fd, buf, n, 0);
}

ssize_t sim_write(int fd, const void *buf, size_t n) {
  sim_file *f = served(fd);
  if (!f) return ::write(fd, buf, n);
  if (f->accmode == O_RDONLY) return fail(EBADF);
  if (!f->dev) return write_control(fd, *f, buf, n);
  const sim_time_call timing;  // the device's own work is not the program's
  ssize_t r = sim_device_write(*f->dev, f->pos, buf, n);
  if (r < 0) return fail(static_cast<int>(-r));
  f->pos += static_cast<uint64_t>(r);
  return r;
}

off_t sim_lseek(int fd, off_t offset, int whence) {
  sim_file *f = served(fd);
  if (!f || !f->dev) return ::lseek(fd, offset, whence);
  if (int r = sim_device_check(*f->dev, SIM_SEEK)) return fail(-r);
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET:
      break;
    case SEEK_CUR:
      base = static_cast<int64_t>(f->pos);
      break;
    case SEEK_END:
      base = f->dev->desc.size;
      break;
    default:
      return fail(EINVAL);
  }
  int64_t to = base + offset;
  if (to < 0 || to > int64_t(f->dev->desc.size)) return fail(EINVAL);
  f->pos = static_cast<uint64_t>(to);
  return static_cast<off_t>(to);
}

int sim_ioctl(int fd, unsigned long request, void *arg) {
  sim_file *f = served(fd);
  if (!f || !f->dev) return fail(ENOTTY);  // no other descriptor takes MTD requests
  const sim_time_call timing;              // the device's own work is not the program's
  int r = sim_device_ioctl(*f->dev, f->accmode != O_RDONLY, request, arg);
  return r < 0 ? fail(-r) : r;
}

int sim_kill(pid_t pid, int sig) {
  sim_log("kill %d %d", static_cast<int>(pid), sig);
  return 0;
}

void sim_sync() { sim_log("sync"); }

unsigned sim_sleep(unsigned seconds) {
  sim_log("sleep %u", seconds);
  return 0;
}

int sim_usleep(useconds_t usec) {
  sim_log("usleep %u", static_cast<unsigned>(usec));
  return 0;
}

pid_t sim_getpid() { return ::getpid(); }

int make_control_files(sim_state &s, const sim_board &board, std::string *error) {
  for (const auto &p : board.proc_files) {
    fs::path real = fs::path(s.proc_dir) / p.substr(6);
    std::error_code ec;
    fs::create_directories(real.parent_path(), ec);
    int fd = ::open(real.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error = real.string() + ": " + std::strerror(errno);
      return -1;
    }
    ::close(fd);
  }
  return 0;
}

// STATE/sys/class/mtd as the kernel publishes it for the board's
// partitions (a missing one has none), written afresh at every start so that
// it follows the board file.
int make_sys_tree(const sim_state &s, const std::vector<std::unique_ptr<sim_device>> &devs,
                  std::string *error) {
  const fs::path root = fs::path(s.sys_dir) / "class" / "mtd";
  std::error_code ec;
  fs::remove_all(root, ec);
  for (const auto &d : devs) {
    const sim_mtd &m = d->desc;
    if (m.missing) continue;
    const fs::path dir = root / ("mtd" + std::to_string(m.number));
    fs::create_directories(dir, ec);
    const char *type = m.type == MTD_NANDFLASH ? "nand" : m.type == MTD_NORFLASH ? "nor" : "ram";
    // The kernel's capability flags of the type: writeable, bit-writeable
    // (NOR and RAM), no erase needed (RAM).
    const unsigned flags = m.type == MTD_NANDFLASH  ? 0x400
                           : m.type == MTD_NORFLASH ? 0xc00
                                                    : 0x1c00;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", flags);
    const std::pair<const char *, std::string> attrs[] = {
        {"name", m.name},
        {"type", type},
        {"size", std::to_string(m.size)},
        {"erasesize", std::to_string(m.erasesize)},
        {"writesize", std::to_string(m.writesize)},
        {"oobsize", std::to_string(m.oobsize)},
        {"flags", hex},
    };
    for (const auto &[attr, value] : attrs) {
      std::ofstream out(dir / attr, std::ios::trunc);
      out << value << '\n';
      if (!out) {
        *error = (dir / attr).string() + ": cannot be written";
        return -1;
      }
    }
  }
  return 0;
}

void sim_programming(int mtd, const char *block_name) {
  sim_log("program mtd%d %s", mtd, report_word(block_name).c_str());
}

// The blocks an earlier run marked bad (MEMSETBADBLOCK), on a NAND
// partition; a line that names no block of it is passed over.
void load_marks(sim_device *d) {
  sim_mtd &m = d->desc;
  std::ifstream in(d->bad_path);
  if (!m.is_nand() || !in) return;
  for (std::string line; std::getline(in, line);) {
    char *end = nullptr;
    unsigned long block = std::strtoul(line.c_str(), &end, 10);
    if (end == line.c_str() || *end != '\0' || block >= m.size / m.erasesize) continue;
    if (!m.is_bad(static_cast<uint32_t>(block))) m.bad.push_back(static_cast<uint32_t>(block));
  }
}

// The number of the last run the event log marks ("run N: ..."), 0 when it
// marks none. The log grows across runs, so it is read from its end
// backwards, a piece at a time, until the last such line is found.
uint64_t last_run(int fd) {
  constexpr off_t PIECE = 65536;
  static constexpr char MARK[] = "run ";
  off_t at = ::lseek(fd, 0, SEEK_END);
  std::string head;  // the first, maybe partial, line of the piece read before
  while (at > 0) {
    const off_t n = std::min(at, PIECE);
    at -= n;
    std::string buf(static_cast<size_t>(n), '\0');
    if (::pread(fd, buf.data(), buf.size(), at) != n) return 0;
    buf += head;
    // Lines that begin inside buf: after a newline, or at the start of the file.
    for (size_t nl = buf.size(); nl > 0;) {
      nl = buf.rfind('\n', nl - 1);
      if (nl == std::string::npos) break;
      if (buf.compare(nl + 1, sizeof MARK - 1, MARK) == 0)
        return std::strtoull(buf.c_str() + nl + 1 + sizeof MARK - 1, nullptr, 10);
    }
    if (at == 0 && buf.compare(0, sizeof MARK - 1, MARK) == 0)
      return std::strtoull(buf.c_str() + sizeof MARK - 1, nullptr, 10);
    head = buf.substr(0, buf.find('\n'));
  }
  return 0;
}

// "/proc/mtd" as the kernel writes it, for the partitions the board has.
std::string proc_mtd_text(const sim_board &board) {
  std::string text = "dev:    size   erasesize  name\n";
  for (const auto &m : board.mtds) {
    if (m.missing) continue;
    char line[128];
    std::snprintf(line, sizeof line, "mtd%d: %08x %08x \"%s\"\n", m.number, m.size, m.erasesize,
                  (m.name.empty() ? "mtd" + std::to_string(m.number) : m.name).c_str());
    text += line;
  }
  return text;
}

int write_text(const std::string &path, const std::string &text, std::string *error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) {
    *error = path + ": cannot be written";
    return -1;
  }
  return 0;
}

// A board with slots: the kernel's /proc/mtd and /proc/cmdline, and, on its
// first run, the environment of a board fresh from the factory (slot A
// good and booted, slot B empty, the boot loader's counting at rest).
int start_slots(sim_state &s, const sim_board &board, std::string *error) {
  if (board.slots.empty()) return 0;
  if (write_text(s.proc_dir + "/mtd", proc_mtd_text(board), error) != 0) return -1;
  s.proc_files.push_back("/proc/mtd");
  s.proc_files.push_back("/proc/cmdline");
  std::error_code ec;
  if (!fs::exists(s.dir + "/uboot.env", ec) && !fs::exists(s.dir + "/uboot-redund.env", ec)) {
    bootenv_vars factory = {
        {"bootcmd", "run korvane_boot"}, {"bootlimit", "3"},     {"bootcount", "0"},
        {"upgrade_available", "0"},      {"korvane_next", "A"},  {"korvane_good", "A"},
        {"korvane_A", "good"},           {"korvane_B", "empty"},
    };
    if (sim_env_store(board.env, s.dir, factory, error) != 0) return -1;
  }
  if (!fs::exists(s.proc_dir + "/cmdline", ec) &&
      write_text(s.proc_dir + "/cmdline", "console=ttyS0 korvane.slot=A\n", error) != 0)
    return -1;
  return 0;
}

}  // namespace

void sim_log(const char *fmt, ...) {
  if (!sim || sim->log_fd < 0) return;
  int saved = errno;
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  if (n < 0) n = 0;
  if (n > int(sizeof line) - 2) n = int(sizeof line) - 2;
  line[n++] = '\n';
  (void)::write(sim->log_fd, line, static_cast<size_t>(n));  // O_APPEND: one line, one write
  errno = saved;
}

int sim_start(const sim_board &board, const std::string &state_dir, std::string *error) {
  sim_stop();
  auto s = std::make_unique<sim_state>();
  std::error_code ec, made;
  fs::create_directories(state_dir, made);
  fs::path dir = fs::absolute(state_dir, ec);
  if (made || ec || !fs::is_directory(dir)) {
    // Say why: something else stands there, or the system's reason.
    std::error_code ignored;
    const bool other = fs::exists(state_dir, ignored) && !fs::is_directory(state_dir, ignored);
    const std::string why = other || !(made || ec) ? "not a folder" : (made ? made : ec).message();
    *error = state_dir + ": cannot be used as the state folder: " + why;
    return -1;
  }
  s->dir = dir.lexically_normal().string();
  while (s->dir.size() > 1 && s->dir.back() == '/') s->dir.pop_back();
  s->proc_dir = s->dir + "/proc";
  s->sys_dir = s->dir + "/sys";
  fs::create_directories(s->proc_dir, ec);
  if (ec) {
    *error = s->proc_dir + ": " + ec.message();
    return -1;
  }
  if (make_control_files(*s, board, error) != 0) return -1;
  s->proc_files = board.proc_files;
  s->env = board.env;
  s->slots = board.slots;
  for (const auto &m : board.mtds) {
    auto d = std::make_unique<sim_device>();
    d->desc = m;
    std::string base = s->dir + "/mtd" + std::to_string(m.number);
    d->data_path = base + ".data";
    d->oob_path = base + ".oob";
    d->bad_path = base + ".bad";
    load_marks(d.get());
    s->devs.push_back(std::move(d));
  }
  if (make_sys_tree(*s, s->devs, error) != 0) return -1;
  std::string log_path = s->dir + "/events.log";
  s->log_fd = ::open(log_path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC,
                     0644);  // read for the run count
  if (s->log_fd < 0) {
    *error = log_path + ": " + std::strerror(errno);
    return -1;
  }
  if (start_slots(*s, board, error) != 0) return -1;
  s->ops = platform_ops{"sim",     sim_open, sim_close, sim_read,       sim_write,  sim_lseek,
                        sim_ioctl, sim_kill, sim_sync,  sim_sleep,      sim_usleep, sim_getpid,
                        "/dev",    nullptr,  nullptr,   sim_programming};
  sim = std::move(s);
  sim_power_arm(0, 0);
  sim_time_reset();
  sim->ops.proc_root = sim->proc_dir.c_str();
  sim->ops.sys_root = sim->sys_dir.c_str();
  sim->previous = platform_install(&sim->ops);
  // The board's environment in the state folder; a board without one has
  // none (the PC's own is never reached from the simulation).
  sim->previous_env = bootenv_install(&sim_bootenv);
  return 0;
}

int sim_mark_run(const std::vector<std::string> &args) {
  if (!sim || sim->log_fd < 0) return -1;
  std::string line = "run " + std::to_string(last_run(sim->log_fd) + 1) + ":";
  for (const std::string &a : args) line += " " + report_word(a);
  line += "\n";
  // One write (O_APPEND), however long the line: a run's mark is never cut.
  return ::write(sim->log_fd, line.data(), line.size()) == ssize_t(line.size()) ? 0 : -1;
}

void sim_stop() {
  if (!sim) return;
  platform_install(sim->previous);
  bootenv_install(sim->previous_env);
  sim.reset();
}

sim_mtd *sim_partition(int number) {
  sim_device *d = sim ? sim->find(number) : nullptr;
  return d ? &d->desc : nullptr;
}

void sim_mark_bad(int number, uint32_t block) {
  if (sim_mtd *m = sim_partition(number)) m->bad.push_back(block);
}

void sim_inject(int number, sim_op op, unsigned nth, int err, bool onward) {
  if (sim_mtd *m = sim_partition(number)) m->faults.push_back(sim_fault{op, nth, onward, err});
}

const sim_env_place &sim_env_of_board() {
  static const sim_env_place none;
  return sim ? sim->env : none;
}

const std::vector<sim_slot> &sim_slots() {
  static const std::vector<sim_slot> none;
  return sim ? sim->slots : none;
}

const std::string &sim_state_dir() {
  static const std::string none;
  return sim ? sim->dir : none;
}

}  // namespace korvane
