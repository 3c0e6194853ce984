// SPDX-License-Identifier: MIT
#include "mtd/mtd_board.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "mtd/mtd.h"
#include "platform/platform.h"
#include "rom/io.h"
#include "rom/output.h"

namespace korvane {
namespace {

struct dir_closer {
  void operator()(DIR *d) const { closedir(d); }
};

// "mtdN" (no "mtdNro", no leading zero). @return N or -1.
int entry_number(const char *name) {
  if (std::strncmp(name, "mtd", 3) != 0) return -1;
  const char *digits = name + 3;
  size_t n = std::strlen(digits);
  if (n == 0 || n > 3 || (digits[0] == '0' && n > 1)) return -1;
  for (const char *c = digits; *c; ++c) {
    if (*c < '0' || *c > '9') return -1;
  }
  return std::atoi(digits);
}

// One attribute file, without its line end. @return false with errno set.
bool read_attr(const std::string &dir, const char *attr, std::string *value) {
  const std::string path = dir + "/" + attr;
  unique_fd f(plat().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0), plat_close);
  if (f.fd < 0) return false;
  value->clear();
  char buf[256];
  for (;;) {
    ssize_t n = plat().read(f.fd, buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) break;
    value->append(buf, static_cast<size_t>(n));
    if (value->size() > 4096) break;  // no attribute is this long
  }
  if (!value->empty() && value->back() == '\n') value->pop_back();
  return true;
}

bool parse_number(const std::string &text, uint64_t *out) {
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

void add_problem(mtd_board_part *p, const std::string &what) {
  p->problem += (p->problem.empty() ? "" : "; ") + what;
}

void read_part(const std::string &dir, mtd_board_part *p) {
  std::string text;
  if (!read_attr(dir, "name", &p->name)) add_problem(p, std::string("name: ") + strerror(errno));
  if (!read_attr(dir, "type", &p->type)) add_problem(p, std::string("type: ") + strerror(errno));
  struct {
    const char *attr;
    uint64_t value = 0;
  } numbers[] = {{"size"}, {"erasesize"}, {"writesize"}, {"oobsize"}};
  for (auto &n : numbers) {
    if (!read_attr(dir, n.attr, &text)) {
      add_problem(p, std::string(n.attr) + ": " + strerror(errno));
    } else if (!parse_number(text, &n.value) ||
               (n.value > UINT32_MAX && std::strcmp(n.attr, "size") != 0)) {
      add_problem(p, std::string(n.attr) + ": '" + report_word(text) + "' is not a size");
      n.value = 0;
    }
  }
  p->size = numbers[0].value;
  p->erasesize = static_cast<uint32_t>(numbers[1].value);
  p->writesize = static_cast<uint32_t>(numbers[2].value);
  p->oobsize = static_cast<uint32_t>(numbers[3].value);
}

// The bad blocks of a NAND partition, asked of its device opened read-only.
void read_bad_blocks(mtd_board_part *p) {
  if ((p->type != "nand" && p->type != "mlc-nand") || p->erasesize == 0) return;
  mtd_device dev;
  if (mtd_open(&dev, p->number, mtd_access::read_only) < 0) {
    add_problem(p, "bad blocks not read: " + dev.path + ": " + strerror(errno));
    return;
  }
  const uint64_t blocks = p->size / p->erasesize;
  for (uint64_t b = 0; b < blocks && b * p->erasesize <= UINT32_MAX; b++) {
    int bad = mtd_block_bad(dev, static_cast<uint32_t>(b * p->erasesize));
    if (bad < 0) {
      add_problem(p, "bad blocks not read: " + dev.path + ": MEMGETBADBLOCK at block " +
                         std::to_string(b) + ": " + strerror(errno));
      p->bad.clear();
      return;
    }
    if (bad) p->bad.push_back(static_cast<uint32_t>(b));
  }
}

// A size with K, M or G when it is a whole number of them.
std::string size_word(uint64_t v) {
  if (v != 0 && v % (1u << 30) == 0) return std::to_string(v >> 30) + "G";
  if (v != 0 && v % (1u << 20) == 0) return std::to_string(v >> 20) + "M";
  if (v != 0 && v % (1u << 10) == 0) return std::to_string(v >> 10) + "K";
  return std::to_string(v);
}

// Why a board file cannot describe the partition, or "" when it can.
std::string not_describable(const mtd_board_part &p) {
  if (p.type != "nand" && p.type != "mlc-nand" && p.type != "nor" && p.type != "ram")
    return "its type '" + report_word(p.type) + "' is none a board file describes (nand, nor, ram)";
  if (p.size == 0 || p.erasesize == 0) return "its size or erase size is not known";
  if (p.size > UINT32_MAX)
    return "its size of " + std::to_string(p.size) + " bytes is 4 GiB or more";
  return "";
}

}  // namespace

std::string mtd_board_quoted(const std::string &value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

int mtd_board_read(std::vector<mtd_board_part> *parts, std::string *error) {
  parts->clear();
  const std::string root = std::string(plat().sys_root) + "/class/mtd";
  std::unique_ptr<DIR, dir_closer> dir(opendir(root.c_str()));
  if (!dir) {
    *error = std::string("cannot list /sys/class/mtd: ") + strerror(errno);
    return -1;
  }
  while (const dirent *e = readdir(dir.get())) {
    int number = entry_number(e->d_name);
    if (number < 0) continue;
    mtd_board_part p;
    p.number = number;
    parts->push_back(std::move(p));
  }
  std::sort(parts->begin(), parts->end(),
            [](const mtd_board_part &a, const mtd_board_part &b) { return a.number < b.number; });
  for (mtd_board_part &p : *parts) {
    read_part(root + "/mtd" + std::to_string(p.number), &p);
    if (p.problem.empty()) read_bad_blocks(&p);
  }
  return 0;
}

std::string mtd_board_text(const std::vector<mtd_board_part> &parts) {
  std::string out =
      "# the running board, from /sys/class/mtd and /dev/mtdN (korvane --board-file)\n";
  for (const mtd_board_part &p : parts) {
    const std::string mtd = "mtd" + std::to_string(p.number);
    if (!p.problem.empty()) out += "# " + mtd + ": " + p.problem + "\n";
    if (!p.problem.empty() && p.type.empty()) continue;
    if (std::string why = not_describable(p); !why.empty()) {
      out += "# " + mtd + ": not described: " + why + "\n";
      continue;
    }
    const bool nand = p.type == "nand" || p.type == "mlc-nand";
    std::string line = mtd + " " + (nand ? "nand" : p.type) + " size=" + size_word(p.size) +
                       " erase=" + size_word(p.erasesize);
    if (nand || p.writesize != 1) line += " page=" + std::to_string(p.writesize);
    if (nand || p.oobsize != 0) line += " oob=" + std::to_string(p.oobsize);
    if (!p.bad.empty()) {
      line += " bad=";
      for (size_t i = 0; i < p.bad.size(); i++) line += (i ? "," : "") + std::to_string(p.bad[i]);
    }
    if (!p.name.empty()) line += " name=" + mtd_board_quoted(p.name);
    out += line + "\n";
  }
  return out;
}

int mtd_board_print() {
  std::vector<mtd_board_part> parts;
  std::string error;
  if (mtd_board_read(&parts, &error) < 0) {
    report("%s\n", error.c_str());
    return 1;
  }
  report_result("%s", mtd_board_text(parts).c_str());
  const bool whole = std::all_of(parts.begin(), parts.end(),
                                 [](const mtd_board_part &p) { return p.problem.empty(); });
  return whole ? 0 : 1;
}

}  // namespace korvane
