// SPDX-License-Identifier: MIT
#include "update/config.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "rom/io.h"
#include "rom/output.h"

namespace korvane {
namespace {

struct parse_ctx {
  FILE *file = nullptr;
  int line = 0;          // of the line the parser read last
  bool at_start = true;  // the next read begins a line
  system_config *config = nullptr;
  config_error error;
};

// The parser's reader: fgets, counting lines so that a handler knows where
// it is (the library passes no line number to it).
char *read_line(char *str, int num, void *stream) {
  auto &c = *static_cast<parse_ctx *>(stream);
  char *r = std::fgets(str, num, c.file);
  if (r && c.at_start) ++c.line;
  if (r) c.at_start = std::strchr(r, '\n') != nullptr;
  return r;
}

bool parse_number(const std::string &text, uint64_t max, uint64_t *out) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (!hex && text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

int fail(parse_ctx &c, const std::string &reason) {
  if (c.error.reason.empty()) c.error = {c.config->path, c.line, reason};
  return 0;  // the parser goes on; the first error is the one reported
}

int handle(void *user, const char *section_c, const char *name_c, const char *value_c) {
  auto &c = *static_cast<parse_ctx *>(user);
  system_config &cfg = *c.config;
  const std::string section = section_c, name = name_c, value = value_c;
  const int line = c.line;
  uint64_t n = 0;
  if (section == "board") {
    if (name == "device") {
      if (value.empty() || value.size() > 16)
        return fail(c, "device is the rom header's device name: 1 to 16 bytes");
      cfg.device_name = value;
    } else if (name == "device-id") {
      if (!parse_number(value, UINT32_MAX, &n))
        return fail(c, "device-id '" + value + "' is not a number (decimal or 0x hexadecimal)");
      cfg.device_id = static_cast<uint32_t>(n);
    } else {
      return fail(c, "unknown key '" + name + "' in [board] (device, device-id)");
    }
  } else if (section == "keys") {
    if (name != "key") return fail(c, "unknown key '" + name + "' in [keys] (key = FILE)");
    if (value.empty()) return fail(c, "key needs the path of a public key file");
    cfg.keys.push_back(value);
  } else if (section == "slot.A" || section == "slot.B") {
    if (!parse_number(name, 255, &n))
      return fail(c, "'" + name + "' in [" + section +
                         "] is not a block id; write BLOCK-ID = PARTITION (block ids 0 to 255)");
    if (value.empty()) return fail(c, "block id " + name + " needs a partition (name, mtdN or N)");
    auto &slot = cfg.slots[section == "slot.A" ? 0 : 1];
    if (slot.count(static_cast<int>(n)))
      return fail(c, "block id " + name + " is mapped twice in [" + section + "]");
    slot[static_cast<int>(n)] = slot_partition{value, line};
  } else if (section == "image") {
    if (name != "leave-alone")
      return fail(c, "unknown key '" + name + "' in [image] (leave-alone)");
    std::string list = value;
    for (size_t at = 0; at <= list.size();) {
      size_t comma = list.find(',', at);
      std::string word =
          list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
      word.erase(0, word.find_first_not_of(" \t"));
      word.erase(word.find_last_not_of(" \t") + 1);
      if (!parse_number(word, 255, &n))
        return fail(c, "leave-alone '" + word + "' is not a block id (0 to 255)");
      cfg.left_alone.insert(static_cast<int>(n));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
  } else if (section == "bootloader") {
    if (name == "type") {
      if (value != "u-boot") return fail(c, "type '" + value + "' is not supported (u-boot)");
    } else if (name == "env-config") {
      if (value.empty()) return fail(c, "env-config needs the path of fw_env.config");
      cfg.env_config = value;
    } else if (name == "boot-attempts") {
      if (!parse_number(value, 100, &n) || n == 0)
        return fail(c, "boot-attempts '" + value + "' is not a number from 1 to 100");
      cfg.boot_attempts = static_cast<unsigned>(n);
    } else {
      return fail(c,
                  "unknown key '" + name + "' in [bootloader] (type, env-config, boot-attempts)");
    }
  } else if (section.empty()) {
    return fail(c, "'" + name + "' stands before any section; put it into one");
  } else {
    return fail(
        c, "unknown section [" + section + "] (board, keys, slot.A, slot.B, image, bootloader)");
  }
  return 1;
}

// The checks of the file as a whole.
int check_whole(system_config &cfg, config_error *error) {
  auto wrong = [&](int line, const std::string &reason) {
    *error = {cfg.path, line, reason};
    return -1;
  };
  for (int s = 0; s < 2; ++s) {
    if (cfg.slots[s].empty())
      return wrong(0, std::string("no [slot.") + "AB"[s] +
                          "] section: map the image's block "
                          "ids to the slot's partitions");
  }
  for (const auto &[id, part] : cfg.slots[0]) {
    if (!cfg.slots[1].count(id))
      return wrong(part.line, "block id " + std::to_string(id) +
                                  " is mapped in [slot.A] only; map it in [slot.B] too");
  }
  for (const auto &[id, part] : cfg.slots[1]) {
    if (!cfg.slots[0].count(id))
      return wrong(part.line, "block id " + std::to_string(id) +
                                  " is mapped in [slot.B] only; map it in [slot.A] too");
    if (cfg.left_alone.count(id))
      return wrong(part.line, "block id " + std::to_string(id) +
                                  " is both mapped and left alone; drop it from leave-alone");
  }
  return 0;
}

}  // namespace

int config_load(const std::string &path, system_config *config, config_error *error) {
  *config = system_config{};
  config->path = path;
  std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "re"), std::fclose);
  struct stat st {};
  if (!file || fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = {path, 0,
              std::string("cannot be read: ") +
                  (file ? "not a regular file" : std::strerror(errno)) +
                  "; give the board's configuration with --config FILE"};
    return -1;
  }
  parse_ctx c;
  c.file = file.get();
  c.config = config;
  int r = ini_parse_stream(read_line, &c, handle, &c);
  if (!c.error.reason.empty() && (r <= 0 || c.error.line <= r)) {
    *error = c.error;
    return -1;
  }
  if (r != 0) {
    *error = {path, r > 0 ? r : 0,
              r > 0 ? "not a line of an INI file: write [section], KEY = VALUE or a ; comment"
                    : "cannot be read"};
    return -1;
  }
  return check_whole(*config, error);
}

int config_partitions(const system_config &config, std::map<int, int> numbers[2],
                      config_error *error) {
  // /proc/mtd: "mtdN: SIZE ERASESIZE "NAME"" after a title line.
  std::map<std::string, int> by_name;
  std::string text;
  unique_fd in{plat().open("/proc/mtd", O_RDONLY | O_CLOEXEC, 0), plat_close};
  char buf[4096];
  ssize_t got;
  while (in.fd >= 0 && (got = plat().read(in.fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(got));
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    int number = -1;
    auto q1 = line.find('"'), q2 = line.rfind('"');
    if (std::sscanf(line.c_str(), "mtd%d:", &number) == 1 && q1 != std::string::npos && q2 > q1)
      by_name[line.substr(q1 + 1, q2 - q1 - 1)] = number;
  }
  std::map<int, char> owner;  // partition -> slot
  for (int s = 0; s < 2; ++s) {
    numbers[s].clear();
    for (const auto &[id, part] : config.slots[s]) {
      int number = -1;
      uint64_t n = 0;
      std::string digits = part.name.rfind("mtd", 0) == 0 ? part.name.substr(3) : part.name;
      if (parse_number(digits, 255, &n) && digits.find("0x") == std::string::npos) {
        number = static_cast<int>(n);
      } else if (by_name.count(part.name)) {
        number = by_name[part.name];
      } else {
        *error = {config.path, part.line,
                  "partition '" + part.name +
                      "' is not in /proc/mtd; name it as /proc/mtd does, "
                      "or as mtdN"};
        return -1;
      }
      const bool fresh = owner.emplace(number, "AB"[s]).second;
      if (!fresh) {
        *error = {config.path, part.line,
                  "partition mtd" + std::to_string(number) +
                      " is given twice; every block id of every slot needs its own partition"};
        return -1;
      }
      numbers[s][id] = number;
    }
  }
  return 0;
}

void config_report(const config_error &error) {
  if (error.line > 0) {
    report("config: error file=%s line=%d reason=%s\n", report_word(error.path).c_str(), error.line,
           error.reason.c_str());
  } else {
    report("config: error file=%s line=- reason=%s\n", report_word(error.path).c_str(),
           error.reason.c_str());
  }
}

}  // namespace korvane
