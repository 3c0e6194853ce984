// SPDX-License-Identifier: MIT
#include "sim/sim_env.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <zlib.h>
#include "rom/io.h"
#include "sim/sim.h"
#include "sim/sim_mtd.h"
#include "sim/sim_power.h"

namespace korvane {
namespace {

uint32_t get_le32(const std::string &b) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[3])) << 24;
}

std::string copy_path(const std::string &dir, int copy) {
  return dir + (copy == 0 ? "/uboot.env" : "/uboot-redund.env");
}

// A copy's bytes; an absent file reads as empty (not valid).
int read_copy(const std::string &path, std::string *bytes, std::string *error) {
  bytes->clear();
  unique_fd in{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (in.fd < 0) {
    if (errno == ENOENT) return 0;
    *error = path + ": " + std::strerror(errno);
    return -1;
  }
  char buf[65536];
  ssize_t n;
  while ((n = read_full(in.fd, buf, sizeof buf)) > 0) bytes->append(buf, static_cast<size_t>(n));
  if (n < 0) {
    *error = path + ": " + std::strerror(errno);
    return -1;
  }
  return 0;
}

// Written in place, as the boot loader writes its copy over the old one:
// the copy's flash erased, then programmed. The two are one flash-changing
// operation, so that a power cut there leaves the copy's first bytes new
// and the rest erased (event names it in the event log), never a mix of
// the new copy and the old one that might pass the CRC.
int write_copy(const std::string &path, const std::string &bytes, const std::string &event,
               std::string *error) {
  unique_fd out{::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)};
  if (out.fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return -1;
  }
  const std::string erased(bytes.size(), '\xff');
  if (pwrite(out.fd, erased.data(), erased.size(), 0) != ssize_t(erased.size())) {
    *error = path + ": " + std::strerror(errno);
    return -1;
  }
  const ssize_t w = sim_power_pwrite(out.fd, bytes.data(), bytes.size(), 0, event.c_str());
  if (w < 0) {
    *error = path + ": " + std::strerror(static_cast<int>(-w));
    return -1;
  }
  if (ftruncate(out.fd, static_cast<off_t>(bytes.size())) != 0 || fsync(out.fd) != 0) {
    *error = path + ": " + std::strerror(errno);
    return -1;
  }
  return 0;
}

struct env_state {
  int current = -1;  // the copy the boot loader reads; -1: none valid
  uint8_t flag = 0;  // its flag
  bootenv_vars vars;
};

int load_state(const sim_env_place &place, const std::string &dir, env_state *st,
               std::string *error) {
  if (place.size == 0) {
    *error = "the board has no boot loader environment (an env line in the board file)";
    return -1;
  }
  const int copies = place.redundant ? 2 : 1;
  bootenv_vars vars[2];
  uint8_t flags[2] = {0, 0};
  bool valid[2] = {false, false};
  for (int c = 0; c < copies; ++c) {
    std::string bytes;
    if (read_copy(copy_path(dir, c), &bytes, error) != 0) return -1;
    valid[c] =
        bytes.size() == place.size && uboot_env_decode(bytes, place.redundant, &vars[c], &flags[c]);
  }
  st->current = uboot_env_pick(valid[0] ? &flags[0] : nullptr, valid[1] ? &flags[1] : nullptr);
  if (st->current >= 0) {
    st->flag = flags[st->current];
    st->vars = std::move(vars[st->current]);
  }
  return 0;
}

int load_running(const std::string &place, bootenv_vars *vars, std::string *error) {
  (void)place;  // the board file says where the environment is
  return sim_env_load(sim_env_of_board(), sim_state_dir(), vars, error);
}

int store_running(const std::string &place, const bootenv_vars &changes, std::string *error) {
  (void)place;
  return sim_env_store(sim_env_of_board(), sim_state_dir(), changes, error);
}

}  // namespace

bool uboot_env_encode(const bootenv_vars &vars, uint32_t size, bool redundant, uint8_t flag,
                      std::string *bytes) {
  const size_t head = redundant ? 5 : 4;
  if (size < head + 1) return false;
  std::string data;
  for (const auto &[name, value] : vars) {
    if (value.empty()) continue;
    data += name + "=" + value;
    data += '\0';
  }
  data += '\0';
  if (data.size() > size - head) return false;
  data.resize(size - head, '\0');
  const uint32_t crc = static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
  bytes->clear();
  for (int k = 0; k < 4; ++k) *bytes += static_cast<char>(crc >> (8 * k));
  if (redundant) *bytes += static_cast<char>(flag);
  *bytes += data;
  return true;
}

bool uboot_env_decode(const std::string &bytes, bool redundant, bootenv_vars *vars, uint8_t *flag) {
  const size_t head = redundant ? 5 : 4;
  if (bytes.size() <= head) return false;
  const char *data = bytes.data() + head;
  const size_t len = bytes.size() - head;
  if (::crc32(0, reinterpret_cast<const Bytef *>(data), static_cast<uInt>(len)) != get_le32(bytes))
    return false;
  *flag = redundant ? static_cast<uint8_t>(bytes[4]) : 0;
  vars->clear();
  size_t at = 0;
  while (at < len && data[at] != '\0') {
    const char *end = static_cast<const char *>(std::memchr(data + at, '\0', len - at));
    if (!end) return false;
    std::string entry(data + at, static_cast<size_t>(end - (data + at)));
    auto eq = entry.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    (*vars)[entry.substr(0, eq)] = entry.substr(eq + 1);
    at = static_cast<size_t>(end - data) + 1;
  }
  return at < len;  // the empty entry that ends the list is there
}

int uboot_env_pick(const uint8_t *flag0, const uint8_t *flag1) {
  if (flag0 && !flag1) return 0;
  if (!flag0 && flag1) return 1;
  if (!flag0 && !flag1) return -1;
  if (*flag0 == 255 && *flag1 == 0) return 1;
  if (*flag1 == 255 && *flag0 == 0) return 0;
  return *flag1 > *flag0 ? 1 : 0;
}

int sim_env_load(const sim_env_place &place, const std::string &dir, bootenv_vars *vars,
                 std::string *error) {
  env_state st;
  if (load_state(place, dir, &st, error) != 0) return -1;
  *vars = std::move(st.vars);
  return 0;
}

int sim_env_store(const sim_env_place &place, const std::string &dir, const bootenv_vars &changes,
                  std::string *error) {
  env_state st;
  if (load_state(place, dir, &st, error) != 0) return -1;
  for (const auto &[name, value] : changes) {
    if (value.empty()) {
      st.vars.erase(name);
    } else {
      st.vars[name] = value;
    }
  }
  // The copy that is not current gets the new state; with none valid, the
  // second one, as after a first store over a blank environment.
  const int target = place.redundant ? (st.current == 1 ? 0 : 1) : 0;
  const uint8_t flag = st.current < 0 ? 1 : static_cast<uint8_t>(st.flag + 1);
  std::string bytes;
  if (!uboot_env_encode(st.vars, place.size, place.redundant, flag, &bytes)) {
    *error =
        "the variables do not fit into the environment of " + std::to_string(place.size) + " bytes";
    return -1;
  }
  const std::string event =
      "env store copy=" + std::to_string(target) + " flag=" + std::to_string(unsigned{flag});
  if (write_copy(copy_path(dir, target), bytes, event, error) != 0) return -1;
  sim_log("%s", event.c_str());
  return 0;
}

const bootenv_ops sim_bootenv = {"sim", load_running, store_running};

}  // namespace korvane
