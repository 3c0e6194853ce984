// SPDX-License-Identifier: MIT
#include "sim/sim_board.h"

// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "rom/io.h"

namespace korvane {
namespace {

constexpr const char *OP_NAMES[SIM_OP_COUNT] = {
    "open",   "read",     "write", "seek",    "getinfo",  "erase",   "oobwrite",
    "oobsel", "badblock", "ioctl", "oobread", "eccstats", "markbad",
};

struct errno_name {
  const char *name;
  int value;
};

constexpr errno_name ERRNO_NAMES[] = {
    {"EPERM", EPERM},           {"ENOENT", ENOENT},
    {"EINTR", EINTR},           {"EIO", EIO},
    {"ENXIO", ENXIO},           {"EBADF", EBADF},
    {"EAGAIN", EAGAIN},         {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},         {"EFAULT", EFAULT},
    {"EBUSY", EBUSY},           {"ENODEV", ENODEV},
    {"EINVAL", EINVAL},         {"ENOTTY", ENOTTY},
    {"ENOSPC", ENOSPC},         {"EROFS", EROFS},
    {"ERANGE", ERANGE},         {"EBADMSG", EBADMSG},
    {"EOPNOTSUPP", EOPNOTSUPP}, {"ETIMEDOUT", ETIMEDOUT},
    {"EUCLEAN", EUCLEAN},       {"ENOSYS", ENOSYS},
};

// A number in decimal or 0x hexadecimal with an optional K, M or G (powers
// of 1024). @return false for anything else or a value past 32 bits.
bool parse_size(const std::string &text, uint32_t *out) {
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0) return false;
  std::string suffix(end);
  unsigned long long scale = 1;
  if (suffix == "K" || suffix == "k") scale = 1ull << 10;
  else if (suffix == "M" || suffix == "m") scale = 1ull << 20;
  else if (suffix == "G" || suffix == "g") scale = 1ull << 30;
  else if (!suffix.empty()) return false;
  if (v > 0xFFFFFFFFull / scale) return false;
  *out = static_cast<uint32_t>(v * scale);
  return true;
}

bool parse_plain(const std::string &text, uint32_t *out) {
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  std::string::size_type from = 0;
  for (;;) {
    auto at = text.find(sep, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

unsigned char uc(char c) { return static_cast<unsigned char>(c); }

bool all_digits(const std::string &s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One line of the file, with the place to name in messages.
struct line_ctx {
  const std::string &source;
  int number;
  const std::string &text;
  std::string *error;

  int fail(const std::string &what) const {
    std::ostringstream s;
    s << source << " line " << number << ": " << what << " in \"" << text << "\"";
    *error = s.str();
    return -1;
  }
};

int parse_fault(const line_ctx &l, const std::string &value, sim_mtd *m) {
  auto parts = split(value, ':');
  if (parts.size() != 3) return l.fail("fault '" + value + "' is not OPERATION:N:ERRNO");
  int op = sim_op_parse(parts[0]);
  if (op < 0) return l.fail("unknown operation '" + parts[0] + "'");
  sim_fault f{static_cast<sim_op>(op), 0, false, 0};
  std::string n = parts[1];
  if (!n.empty() && n.back() == '+') {
    f.onward = true;
    n.pop_back();
  }
  uint32_t nth = 0;
  if (!parse_plain(n, &nth) || nth == 0)
    return l.fail("fault count '" + parts[1] + "' is not N or N+ (from 1)");
  f.nth = nth;
  f.err = sim_errno_parse(parts[2]);
  if (f.err <= 0) return l.fail("unknown errno '" + parts[2] + "'");
  m->faults.push_back(f);
  return 0;
}

int parse_mtd(const line_ctx &l, const std::vector<std::string> &words, sim_board *board) {
  sim_mtd m;
  std::string digits = words[0].substr(3);
  uint32_t number = 0;
  if (!all_digits(digits) || !parse_plain(digits, &number) || number > 255 ||
      std::to_string(number) != digits)
    return l.fail("partition name '" + words[0] + "' is not mtdN");
  m.number = static_cast<int>(number);
  if (board->find(m.number)) return l.fail(words[0] + " is described twice");
  if (words.size() < 2) return l.fail("type missing (nand, nor or ram)");
  if (words[1] == "nand") m.type = MTD_NANDFLASH;
  else if (words[1] == "nor") m.type = MTD_NORFLASH;
  else if (words[1] == "ram") m.type = MTD_RAM;
  else return l.fail("unknown type '" + words[1] + "' (nand, nor or ram)");

  bool have_size = false, have_erase = false, have_page = false, have_oob = false;
  std::vector<uint32_t> bad;
  sim_timing timing;
  bool have_erase_time = false, have_program_time = false, have_read_time = false,
       have_unit = false;
  for (size_t i = 2; i < words.size(); i++) {
    const std::string &w = words[i];
    if (w == "missing") {
      m.missing = true;
      continue;
    }
    if (w == "read-only") {
      m.read_only = true;
      continue;
    }
    auto eq = w.find('=');
    if (eq == std::string::npos) return l.fail("unknown word '" + w + "'");
    std::string key = w.substr(0, eq), value = w.substr(eq + 1);
    if (key == "size" || key == "erase" || key == "page" || key == "oob") {
      uint32_t v = 0;
      if (!parse_size(value, &v)) return l.fail(key + " '" + value + "' is not a size");
      if (key == "size") m.size = v, have_size = true;
      else if (key == "erase") m.erasesize = v, have_erase = true;
      else if (key == "page") m.writesize = v, have_page = true;
      else m.oobsize = v, have_oob = true;
    } else if (key == "name") {
      if (value.find_first_of(std::string("\0\n", 2)) != std::string::npos)
        return l.fail("name holds a NUL or a line end");
      m.name = value;
    } else if (key == "bad") {
      for (const auto &b : split(value, ',')) {
        uint32_t block = 0;
        if (!parse_plain(b, &block)) return l.fail("bad block '" + b + "' is not a block number");
        bad.push_back(block);
      }
    } else if (key == "fail") {
      if (parse_fault(l, value, &m) != 0) return -1;
    } else if (key == "refuse") {
      for (const auto &name : split(value, ',')) {
        int op = sim_op_parse(name);
        if (op < 0) return l.fail("unknown operation '" + name + "'");
        m.refused |= 1u << op;
      }
    } else if (key == "ecc") {
      if (value != "soft" && value != "none")
        return l.fail("ecc '" + value + "' is not soft or none");
      m.soft_ecc = value == "soft";
    } else if (key == "useecc") {
      uint32_t v = 0;
      if (!parse_plain(value, &v)) return l.fail("useecc '" + value + "' is not a number");
      m.useecc = static_cast<int>(v);
    } else if (key == "weak") {
      for (const auto &cell : split(value, ',')) {
        auto p = split(cell, ':');
        uint32_t off = 0, bit = 0;
        if (p.size() != 2 || !parse_plain(p[0], &off) || !parse_plain(p[1], &bit) || bit > 7)
          return l.fail("weak cell '" + cell + "' is not OFFSET:BIT (bit 0 to 7)");
        m.weak.emplace_back(off, static_cast<uint8_t>(bit));
      }
    } else if (key == "oobfree") {
      for (const auto &pair : split(value, ',')) {
        auto p = split(pair, ':');
        uint32_t off = 0, len = 0;
        if (p.size() != 2 || !parse_plain(p[0], &off) || !parse_plain(p[1], &len) || len == 0)
          return l.fail("free range '" + pair + "' is not OFFSET:LENGTH");
        m.oobfree.emplace_back(off, len);
      }
    } else if (key == "erase-time" || key == "program-time" || key == "read-time") {
      uint64_t ns = 0;
      if (!sim_time_parse(value, &ns))
        return l.fail(key + " '" + value + "' is not a time (a number and ns, us, ms or s)");
      (key == "erase-time"     ? timing.erase_ns
       : key == "program-time" ? timing.program_ns
                               : timing.read_ns) = ns;
      (key == "erase-time"     ? have_erase_time
       : key == "program-time" ? have_program_time
                               : have_read_time) = true;
    } else if (key == "time-unit") {
      if (!parse_size(value, &timing.unit) || timing.unit == 0)
        return l.fail("time-unit '" + value + "' is not a size of 1 or more");
      have_unit = true;
    } else {
      return l.fail("unknown setting '" + key + "'");
    }
  }

  if (!have_size || m.size == 0) return l.fail("size= missing or 0");
  if (!have_erase || m.erasesize == 0) return l.fail("erase= missing or 0");
  if (m.size % m.erasesize != 0) return l.fail("size is not a whole number of erase blocks");
  if (m.is_nand()) {
    if (!have_page || m.writesize == 0) return l.fail("page= missing or 0 on NAND");
    if (!have_oob) return l.fail("oob= missing on NAND");
    if (m.oobsize > 4096) return l.fail("oob is larger than 4096 bytes");
  } else {
    if (!have_page) m.writesize = 1;
    if (m.writesize == 0) return l.fail("page is 0");
    if (have_oob && m.oobsize != 0) return l.fail("oob= is for NAND only");
    if (!bad.empty()) return l.fail("bad= is for NAND only");
  }
  if (m.erasesize % m.writesize != 0) return l.fail("erase block is not a whole number of pages");
  if (m.is_nand() && have_unit) return l.fail("time-unit= is for NOR and RAM (NAND times a page)");
  m.timing = sim_timing_default(m.type);
  if (have_erase_time) m.timing.erase_ns = timing.erase_ns;
  if (have_program_time) m.timing.program_ns = timing.program_ns;
  if (have_read_time) m.timing.read_ns = timing.read_ns;
  if (have_unit) m.timing.unit = timing.unit;
  for (uint32_t b : bad) {
    if (b >= m.size / m.erasesize)
      return l.fail("bad block " + std::to_string(b) + " is past the end");
    m.bad.push_back(b);
  }
  for (const auto &[off, bit] : m.weak) {
    if (off >= m.size) return l.fail("weak cell at " + std::to_string(off) + " is past the end");
  }
  if (m.oobfree.size() > 8) return l.fail("more than 8 free ranges");
  for (const auto &[off, len] : m.oobfree) {
    if (uint64_t(off) + len > m.oobsize) return l.fail("a free range runs past the OOB area");
  }
  board->mtds.push_back(std::move(m));
  return 0;
}

// A line of /proc/mtd pasted in: "mtdN: SIZE ERASESIZE "NAME"" (sizes in
// hexadecimal). It gives no type, page or OOB size: those follow the name as
// on an mtdN line ("nand page=2048 oob=64"), and a line without them says so.
int parse_proc_mtd(const line_ctx &l, const std::vector<std::string> &words, sim_board *board) {
  std::string number = words[0].substr(0, words[0].size() - 1);
  auto hex = [](const std::string &w) {
    return !w.empty() && w.size() <= 8 &&
           std::all_of(w.begin(), w.end(), [](char c) { return std::isxdigit(uc(c)); });
  };
  if (words.size() < 4 || !hex(words[1]) || !hex(words[2]))
    return l.fail("a /proc/mtd line is mtdN: SIZE ERASESIZE \"NAME\" (sizes in hexadecimal)");
  if (words.size() < 5)
    return l.fail(
        "a /proc/mtd line gives the size, the erase size and the name only: add the type "
        "after the name (nand page=N oob=N, nor or ram)");
  std::vector<std::string> as_mtd{number, words[4], "size=0x" + words[1], "erase=0x" + words[2],
                                  "name=" + words[3]};
  for (size_t i = 5; i < words.size(); i++) {
    const std::string key = words[i].substr(0, words[i].find('='));
    if (key == "size" || key == "erase" || key == "name")
      return l.fail(key + "= is given by the /proc/mtd columns already");
    as_mtd.push_back(words[i]);
  }
  return parse_mtd(l, as_mtd, board);
}

int parse_proc(const line_ctx &l, const std::vector<std::string> &words, sim_board *board) {
  if (words.size() < 2) return l.fail("no control file named");
  for (size_t i = 1; i < words.size(); i++) {
    const std::string &path = words[i];
    if (path.rfind("/proc/", 0) != 0)
      return l.fail("control file '" + path + "' is not under /proc/");
    auto parts = split(path.substr(6), '/');
    for (const auto &p : parts) {
      if (p.empty() || p == "." || p == "..")
        return l.fail("control file '" + path + "' is not a plain path");
    }
    if (all_digits(parts[0]))
      return l.fail("control file '" + path + "' is inside a process folder");
    if (std::find(board->proc_files.begin(), board->proc_files.end(), path) !=
        board->proc_files.end())
      return l.fail("control file '" + path + "' is listed twice");
    board->proc_files.push_back(path);
  }
  return 0;
}

// The words of a line: blanks part them; a double-quoted stretch is part of
// its word with its blanks, and inside it \" \\ and \xNN stand for a quote,
// a backslash and any byte; '#' outside quotes begins a comment.
// @return false for a quote left open or a bad escape (*what says which).
bool split_words(const std::string &raw, std::vector<std::string> *words, std::string *what) {
  std::string word;
  bool in_word = false, quoted = false;
  for (size_t i = 0; i < raw.size(); i++) {
    const char c = raw[i];
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else if (c != '\\') {
        word += c;
      } else if (i + 1 < raw.size() && (raw[i + 1] == '"' || raw[i + 1] == '\\')) {
        word += raw[++i];
      } else if (i + 3 < raw.size() && raw[i + 1] == 'x' && std::isxdigit(uc(raw[i + 2])) &&
                 std::isxdigit(uc(raw[i + 3]))) {
        word += static_cast<char>(std::stoi(raw.substr(i + 2, 2), nullptr, 16));
        i += 3;
      } else {
        *what = "a backslash in quotes is not \\\", \\\\ or \\xNN";
        return false;
      }
      continue;
    }
    if (c == '#') break;
    if (std::isspace(uc(c))) {
      if (in_word) words->push_back(word);
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '"') quoted = true;
    else word += c;
  }
  if (quoted) {
    *what = "a quote is not closed";
    return false;
  }
  if (in_word) words->push_back(word);
  return true;
}

int parse_env(const line_ctx &l, const std::vector<std::string> &words, sim_board *board) {
  if (board->env.size != 0) return l.fail("the environment is described twice");
  sim_env_place e;
  for (size_t i = 1; i < words.size(); i++) {
    const std::string &w = words[i];
    if (w == "redundant") {
      e.redundant = true;
    } else if (w.rfind("size=", 0) == 0) {
      if (!parse_size(w.substr(5), &e.size) || e.size < 16 || e.size > (1u << 20))
        return l.fail("environment size '" + w.substr(5) + "' is not a size of 16 bytes to 1M");
    } else {
      return l.fail("unknown word '" + w + "' (size=N, redundant)");
    }
  }
  if (e.size == 0) return l.fail("size= missing");
  board->env = e;
  return 0;
}

int parse_slot(const line_ctx &l, const std::vector<std::string> &words, sim_board *board) {
  if (words.size() < 3 || (words[1] != "A" && words[1] != "B"))
    return l.fail("a slot line is 'slot A|B mtdN...'");
  sim_slot slot;
  slot.name = words[1][0];
  for (const auto &s : board->slots) {
    if (s.name == slot.name) return l.fail("slot " + words[1] + " is described twice");
  }
  for (size_t i = 2; i < words.size(); i++) {
    const std::string digits = words[i].rfind("mtd", 0) == 0 ? words[i].substr(3) : "";
    uint32_t number = 0;
    if (!all_digits(digits) || !parse_plain(digits, &number) || !board->find(int(number)))
      return l.fail("'" + words[i] + "' is not a partition described above");
    for (const auto &s : board->slots) {
      if (std::find(s.mtds.begin(), s.mtds.end(), int(number)) != s.mtds.end())
        return l.fail(words[i] + " is in both slots");
    }
    slot.mtds.push_back(static_cast<int>(number));
  }
  board->slots.push_back(slot);
  return 0;
}

}  // namespace

const char *sim_op_name(sim_op op) { return op >= 0 && op < SIM_OP_COUNT ? OP_NAMES[op] : "?"; }

int sim_op_parse(const std::string &name) {
  for (int i = 0; i < SIM_OP_COUNT; i++) {
    if (name == OP_NAMES[i]) return i;
  }
  return -1;
}

int sim_errno_parse(const std::string &word) {
  uint32_t v = 0;
  if (parse_plain(word, &v)) return v > 0 && v < 4096 ? static_cast<int>(v) : -1;
  for (const auto &e : ERRNO_NAMES) {
    if (word == e.name) return e.value;
  }
  return -1;
}

bool sim_mtd::is_nand() const { return type == MTD_NANDFLASH; }

bool sim_mtd::is_bad(uint32_t block) const {
  return is_nand() && std::find(bad.begin(), bad.end(), block) != bad.end();
}

sim_mtd *sim_board::find(int number) {
  for (auto &m : mtds) {
    if (m.number == number) return &m;
  }
  return nullptr;
}

const sim_mtd *sim_board::find(int number) const {
  return const_cast<sim_board *>(this)->find(number);
}

const char *const sim_default_board_text =
    "# The built-in board of korvane-sim.\n"
    "mtd0 nand size=8M erase=128K page=2048 oob=64 bad=2\n"
    "mtd1 nor size=4M erase=64K\n"
    "mtd2 nand size=8M erase=128K page=2048 oob=64 bad=1\n"
    "mtd3 nand size=2M erase=16K page=512 oob=16\n"
    "proc /proc/keypad/watchdog /proc/keypad/lcd_bklight\n"
    "proc /proc/dsplink/bklight /proc/dsplink/reset\n";

int sim_board_parse(const std::string &text, const std::string &source, sim_board *board,
                    std::string *error) {
  sim_board parsed;
  std::istringstream in(text);
  std::string raw;
  int number = 0, first_slot = 0;
  while (std::getline(in, raw)) {
    number++;
    line_ctx l{source, number, raw, error};
    std::vector<std::string> words;
    std::string what;
    if (!split_words(raw, &words, &what)) return l.fail(what);
    if (words.empty()) continue;
    int r = 0;
    if (words[0] == "proc") r = parse_proc(l, words, &parsed);
    else if (words[0] == "dev:") continue;  // the heading of /proc/mtd
    else if (words[0].rfind("mtd", 0) == 0 && words[0].back() == ':')
      r = parse_proc_mtd(l, words, &parsed);
    else if (words[0].rfind("mtd", 0) == 0) r = parse_mtd(l, words, &parsed);
    else if (words[0] == "env") r = parse_env(l, words, &parsed);
    else if (words[0] == "slot") {
      r = parse_slot(l, words, &parsed);
      if (!first_slot) first_slot = number;
    } else r = l.fail("unknown line '" + words[0] + "' (mtdN or proc)");
    if (r != 0) return -1;
  }
  if (!parsed.slots.empty() && (parsed.slots.size() != 2 || parsed.env.size == 0)) {
    *error = source + " line " + std::to_string(first_slot) +
             ": a board with slots has slot A, slot B and an env line";
    return -1;
  }
  *board = std::move(parsed);
  return 0;
}

int sim_board_load(const std::string &path, sim_board *board, std::string *error) {
  // Read with the system calls, so that the reason a file cannot be read (a
  // missing file, a folder, no permission) can be named.
  unique_fd in{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  std::string text;
  char buf[65536];
  ssize_t n = in.fd < 0 ? -1 : 0;
  while (in.fd >= 0 && (n = read_full(in.fd, buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  if (n < 0) {
    *error = path + ": cannot be read: " + std::strerror(errno);
    return -1;
  }
  return sim_board_parse(text, path, board, error);
}

}  // namespace korvane
