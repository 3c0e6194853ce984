// SPDX-License-Identifier: MIT
#include "sim/sim_map.h"

// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "sim/sim_env.h"

namespace korvane {
namespace {

// Where a state counts as written: a NAND page, or 512 bytes where any byte
// is written alone (NOR, RAM).
constexpr uint32_t BYTE_UNIT = 512;

uint32_t unit_of(const sim_mtd &m) {
  return m.is_nand() ? m.writesize : std::min<uint32_t>(BYTE_UNIT, m.erasesize);
}

bool erased(const std::vector<char> &buf, size_t from, size_t n) {
  for (size_t i = from; i < from + n && i < buf.size(); i++) {
    if (static_cast<unsigned char>(buf[i]) != 0xFF) return false;
  }
  return true;
}

// Reads up to n bytes at offset; what the file lacks stays 0xFF.
bool read_at(std::ifstream &in, uint64_t offset, std::vector<char> *buf) {
  std::fill(buf->begin(), buf->end(), static_cast<char>(0xFF));
  if (!in.is_open()) return true;
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return in.clear(), true;  // past the end
  in.read(buf->data(), static_cast<std::streamsize>(buf->size()));
  return !in.bad();
}

// The blocks earlier runs marked bad (STATE/mtdN.bad).
void add_marks(const std::string &path, sim_mtd *m) {
  std::ifstream in(path);
  for (std::string line; m->is_nand() && std::getline(in, line);) {
    char *end = nullptr;
    unsigned long block = std::strtoul(line.c_str(), &end, 10);
    if (end == line.c_str() || *end != '\0' || block >= m->size / m->erasesize) continue;
    if (!m->is_bad(static_cast<uint32_t>(block))) m->bad.push_back(static_cast<uint32_t>(block));
  }
}

// What the event log says of a partition: which image block last programmed
// each erase block, and which units were written since their last erase.
struct log_view {
  std::vector<std::string> names;  // per erase block
  std::vector<bool> written;       // per unit
};
using owners = std::map<int, log_view>;

owners replay_log(const std::string &path, const sim_board &board) {
  owners own;
  std::map<int, std::string> current;  // the image block being programmed, per partition
  for (const sim_mtd &m : board.mtds) {
    own[m.number].names.assign(m.size / m.erasesize, "");
    own[m.number].written.assign(m.size / unit_of(m), false);
  }
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string what, dev;
    words >> what >> dev;
    if (dev.rfind("mtd", 0) != 0) continue;
    int number = std::atoi(dev.c_str() + 3);
    const sim_mtd *m = board.find(number);
    if (!m || dev != "mtd" + std::to_string(number)) continue;
    log_view &o = own[number];
    if (what == "program") {
      std::string name;
      words >> name;
      current[number] = name;
      continue;
    }
    uint64_t start = 0, length = 0;
    if (!(words >> start >> length)) continue;
    if (what == "oobwrite") length = 1;  // the OOB bytes of the page at start
    else if (what != "erase" && what != "write") continue;
    const bool erase = what == "erase";
    for (uint64_t b = start / m->erasesize; b < o.names.size() && b * m->erasesize < start + length;
         b++)
      o.names[b] = erase ? std::string() : current[number];
    // An erase clears whole erase blocks; a write marks the units it touched.
    const uint64_t unit = unit_of(*m);
    const uint64_t from = erase ? start / m->erasesize * m->erasesize : start;
    const uint64_t to =
        erase ? (start + length + m->erasesize - 1) / m->erasesize * m->erasesize : start + length;
    for (uint64_t u = from / unit; u < o.written.size() && u * unit < to; u++)
      o.written[u] = !erase;
  }
  return own;
}

// A unit is programmed when its bytes (OOB bytes included) are not all 0xFF;
// in an erase block that holds something, also when the log wrote it since
// its last erase, since a page programmed with 0xFF bytes reads as erased.
int read_partition(const sim_mtd &m, const std::string &base, const log_view &own,
                   map_partition *part, std::string *error) {
  part->mtd = m;
  add_marks(base + ".bad", &part->mtd);
  std::ifstream data(base + ".data", std::ios::binary), oob;
  if (m.is_nand()) oob.open(base + ".oob", std::ios::binary);
  const uint32_t unit = unit_of(m), units = m.erasesize / unit;
  const uint32_t pages = m.is_nand() ? m.erasesize / m.writesize : 0;
  std::vector<char> buf(m.erasesize), oob_buf(size_t(pages) * m.oobsize);
  for (uint32_t b = 0; b < m.size / m.erasesize; b++) {
    map_block blk;
    blk.units = units;
    if (part->mtd.is_bad(b)) {
      blk.state = map_state::bad;
      part->blocks.push_back(blk);
      continue;
    }
    if (!read_at(data, uint64_t(b) * m.erasesize, &buf) ||
        !read_at(oob, uint64_t(b) * pages * m.oobsize, &oob_buf)) {
      *error = base + ": cannot be read: " + std::strerror(errno);
      return -1;
    }
    uint32_t by_bytes = 0, by_log = 0;
    for (uint32_t u = 0; u < units; u++) {
      bool clean = erased(buf, size_t(u) * unit, unit) &&
                   (!m.is_nand() || erased(oob_buf, size_t(u) * m.oobsize, m.oobsize));
      const size_t at = size_t(b) * units + u;
      const bool logged = at < own.written.size() && own.written[at];
      by_bytes += !clean;
      by_log += !clean || logged;
    }
    blk.units_programmed = by_bytes == 0 ? 0 : by_log;
    blk.state = blk.units_programmed == 0       ? map_state::erased
                : blk.units_programmed == units ? map_state::programmed
                                                : map_state::partly;
    if (blk.state != map_state::erased && b < own.names.size()) blk.image_block = own.names[b];
    part->blocks.push_back(blk);
  }
  return 0;
}

// A size with K, M or G when it is a whole number of them.
std::string size_word(uint64_t v) {
  if (v != 0 && v % (1u << 30) == 0) return std::to_string(v >> 30) + "G";
  if (v != 0 && v % (1u << 20) == 0) return std::to_string(v >> 20) + "M";
  if (v != 0 && v % (1u << 10) == 0) return std::to_string(v >> 10) + "K";
  return std::to_string(v);
}

const char *type_word(const sim_mtd &m) {
  return m.is_nand() ? "nand" : m.type == MTD_RAM ? "ram" : "nor";
}

std::string heading(const map_partition &p) {
  const sim_mtd &m = p.mtd;
  std::string h = "mtd" + std::to_string(m.number) + " " + type_word(m) +
                  " size=" + size_word(m.size) + " erase=" + size_word(m.erasesize);
  if (m.is_nand())
    h += " page=" + std::to_string(m.writesize) + " oob=" + std::to_string(m.oobsize);
  h += ": " + std::to_string(p.blocks.size()) + " erase blocks";
  if (p.slot) h += std::string(", slot ") + p.slot;
  return h;
}

// The copies of the environment as the boot loader finds them: each file's
// bytes go through the environment's own reader.
int read_env(const sim_env_place &place, const std::string &dir, map_env *env, std::string *error) {
  env->size = place.size;
  env->redundant = place.redundant;
  const int copies = place.redundant ? 2 : 1;
  uint8_t flags[2] = {0, 0};
  bool valid[2] = {false, false};
  bootenv_vars vars[2];
  for (int c = 0; c < copies; c++) {
    map_env_copy copy;
    copy.file = c == 0 ? "uboot.env" : "uboot-redund.env";
    const std::string path = dir + "/" + copy.file;
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
      if (errno != ENOENT) {
        *error = path + ": cannot be read: " + std::strerror(errno);
        return -1;
      }
      copy.state = "missing";
      env->copies.push_back(copy);
      continue;
    }
    std::string bytes;
    // One copy is small; a file far larger than the board's copy is damaged
    // whatever the rest of it holds, so no more than one byte past it is read.
    bytes.resize(size_t(place.size) + 1);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
      *error = path + ": cannot be read: " + std::strerror(errno);
      return -1;
    }
    bytes.resize(static_cast<size_t>(in.gcount()));
    in.clear();
    in.seekg(0, std::ios::end);
    copy.bytes = static_cast<uint64_t>(in.tellg());
    valid[c] =
        bytes.size() == place.size && uboot_env_decode(bytes, place.redundant, &vars[c], &flags[c]);
    if (valid[c]) {
      copy.state = "valid";
      if (place.redundant) copy.flag = flags[c];
    } else {
      const bool ff = !bytes.empty() && copy.bytes == bytes.size() &&
                      bytes.find_first_not_of('\xff') == std::string::npos;
      copy.state = ff ? "erased" : "damaged";
    }
    env->copies.push_back(copy);
  }
  env->current = uboot_env_pick(valid[0] ? &flags[0] : nullptr, valid[1] ? &flags[1] : nullptr);
  if (env->current >= 0) env->vars = std::move(vars[env->current]);
  return 0;
}

// A value with control bytes, bytes past ASCII and backslashes as \xNN.
std::string shown(const std::string &v) {
  std::string out;
  for (char ch : v) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x7f || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

// The lines of the environment's section, without their indent: a heading,
// one line per copy, one per variable of the current copy.
std::vector<std::string> env_lines(const map_env &env) {
  std::vector<std::string> lines;
  std::string h = "env size=" + size_word(env.size) + (env.redundant ? " redundant" : "") + ": ";
  h += env.current >= 0 ? "current copy " + std::to_string(env.current) : "no valid copy";
  lines.push_back(h);
  for (size_t c = 0; c < env.copies.size(); c++) {
    const map_env_copy &copy = env.copies[c];
    std::string l = "copy " + std::to_string(c) + " " + copy.file + " " + copy.state;
    if (copy.state != "missing") l += " bytes=" + std::to_string(copy.bytes);
    if (copy.flag >= 0) l += " flag=" + std::to_string(copy.flag);
    if (int(c) == env.current) l += " current";
    lines.push_back(l);
  }
  if (env.current < 0) return lines;
  for (const char *name : map_env_names) {
    auto v = env.vars.find(name);
    lines.push_back(v == env.vars.end() ? std::string(name) + " unset"
                                        : std::string(name) + "=" + shown(v->second));
  }
  return lines;
}

char strip_char(const map_block &b) {
  switch (b.state) {
    case map_state::bad:
      return 'B';
    case map_state::programmed:
      return '#';
    case map_state::partly:
      return '+';
    default:
      return '.';
  }
}

std::string unit_word(const sim_mtd &m) { return m.is_nand() ? "pages" : "512-byte units"; }

// Blocks alike: the same state, image block and role; a partly programmed
// block stands alone with its count.
bool alike(const map_block &a, const map_block &b) {
  return a.state == b.state && a.state != map_state::partly && a.image_block == b.image_block &&
         a.role == b.role;
}

struct run {
  size_t first, last;
};

std::vector<run> runs_of(const std::vector<map_block> &blocks) {
  std::vector<run> runs;
  for (size_t i = 0; i < blocks.size(); i++) {
    if (!runs.empty() && alike(blocks[runs.back().last], blocks[i])) runs.back().last = i;
    else runs.push_back({i, i});
  }
  return runs;
}

std::string xml(const std::string &s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

const char *fill_of(map_state s) {
  switch (s) {
    case map_state::bad:
      return "#c0392b";
    case map_state::programmed:
      return "#2e6da4";
    case map_state::partly:
      return "#8fbce6";
    default:
      return "#f4f4f4";
  }
}

}  // namespace

const char *const map_env_names[7] = {"korvane_next",      "korvane_good", "korvane_A", "korvane_B",
                                      "upgrade_available", "bootcount",    "bootlimit"};

const char *map_state_name(map_state s) {
  switch (s) {
    case map_state::bad:
      return "bad";
    case map_state::programmed:
      return "programmed";
    case map_state::partly:
      return "partly";
    default:
      return "erased";
  }
}

int sim_map_read(const sim_board &board, const std::string &state_dir, sim_flash_map *map,
                 std::string *error) {
  map->parts.clear();
  map->env = map_env();
  const owners own = replay_log(state_dir + "/events.log", board);
  for (const sim_mtd &m : board.mtds) {
    if (m.missing) continue;
    map_partition p;
    const std::string base = state_dir + "/mtd" + std::to_string(m.number);
    if (read_partition(m, base, own.at(m.number), &p, error) != 0) return -1;
    for (const sim_slot &slot : board.slots) {
      if (std::find(slot.mtds.begin(), slot.mtds.end(), m.number) != slot.mtds.end())
        p.slot = slot.name;
    }
    map->parts.push_back(std::move(p));
  }
  if (board.env.size != 0 && read_env(board.env, state_dir, &map->env, error) != 0) return -1;
  return 0;
}

std::string sim_map_text(const sim_flash_map &map) {
  constexpr size_t STRIP = 64;
  std::string out =
      "# one character per erase block: # programmed, + partly programmed, . erased, "
      "B bad\n";
  for (const map_partition &p : map.parts) {
    out += heading(p) + "\n";
    for (size_t i = 0; i < p.blocks.size(); i += STRIP) {
      char at[32];
      std::snprintf(at, sizeof at, "  %5zu  ", i);
      out += at;
      for (size_t j = i; j < std::min(p.blocks.size(), i + STRIP); j++)
        out += strip_char(p.blocks[j]);
      out += "\n";
    }
    for (const run &r : runs_of(p.blocks)) {
      const map_block &b = p.blocks[r.first];
      std::string range = std::to_string(r.first);
      if (r.last != r.first) range += "-" + std::to_string(r.last);
      char line[64];
      std::snprintf(line, sizeof line, "  %-11s %-10s", range.c_str(), map_state_name(b.state));
      std::string l = line;
      if (!b.image_block.empty()) l += " '" + b.image_block + "'";
      if (b.state == map_state::partly)
        l += " " + std::to_string(b.units_programmed) + " of " + std::to_string(b.units) + " " +
             unit_word(p.mtd);
      if (!b.role.empty()) l += " [" + b.role + "]";
      while (!l.empty() && l.back() == ' ') l.pop_back();
      out += l + "\n";
    }
  }
  if (map.env.size != 0) {
    const std::vector<std::string> lines = env_lines(map.env);
    for (size_t i = 0; i < lines.size(); i++) out += (i == 0 ? "" : "  ") + lines[i] + "\n";
  }
  return out;
}

std::string sim_map_svg(const sim_flash_map &map) {
  constexpr int COLUMNS = 64, CELL = 12, MARGIN = 16, TITLE = 22, LINE = 16;
  std::string body;
  int y = MARGIN;
  // The legend.
  int x = MARGIN;
  for (map_state s :
       {map_state::programmed, map_state::partly, map_state::erased, map_state::bad}) {
    body += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
            std::to_string(CELL) + "\" height=\"" + std::to_string(CELL) + "\" fill=\"" +
            fill_of(s) + "\" stroke=\"#888\" stroke-width=\"0.5\"/>\n";
    body += "<text x=\"" + std::to_string(x + CELL + 4) + "\" y=\"" + std::to_string(y + CELL - 2) +
            "\">" + map_state_name(s) + "</text>\n";
    x += 120;
  }
  y += CELL + MARGIN;
  for (const map_partition &p : map.parts) {
    y += TITLE - 6;
    body += "<text x=\"" + std::to_string(MARGIN) + "\" y=\"" + std::to_string(y) +
            "\" font-weight=\"bold\">" + xml(heading(p)) + "</text>\n";
    y += 6;
    const sim_mtd &m = p.mtd;
    for (size_t i = 0; i < p.blocks.size(); i++) {
      const map_block &b = p.blocks[i];
      const int cx = MARGIN + static_cast<int>(i % COLUMNS) * CELL;
      const int cy = y + static_cast<int>(i / COLUMNS) * CELL;
      char where[32];
      std::snprintf(where, sizeof where, "0x%08llx",
                    static_cast<unsigned long long>(uint64_t(i) * m.erasesize));
      std::string title = "mtd" + std::to_string(m.number) + " block " + std::to_string(i) +
                          " at " + where + ": " + map_state_name(b.state);
      if (!b.image_block.empty()) title += " by '" + b.image_block + "'";
      if (b.state == map_state::partly)
        title += ", " + std::to_string(b.units_programmed) + " of " + std::to_string(b.units) +
                 " " + unit_word(m);
      if (!b.role.empty()) title += " [" + b.role + "]";
      body += "<rect x=\"" + std::to_string(cx) + "\" y=\"" + std::to_string(cy) + "\" width=\"" +
              std::to_string(CELL) + "\" height=\"" + std::to_string(CELL) + "\" fill=\"" +
              fill_of(b.state) + "\" stroke=\"#888\" stroke-width=\"0.5\"><title>" + xml(title) +
              "</title></rect>\n";
    }
    y += static_cast<int>((p.blocks.size() + COLUMNS - 1) / COLUMNS) * CELL + 4;
    // The image blocks and where they lie.
    for (const run &r : runs_of(p.blocks)) {
      const map_block &b = p.blocks[r.first];
      if (b.image_block.empty() && b.role.empty()) continue;
      std::string range = std::to_string(r.first);
      if (r.last != r.first) range += "-" + std::to_string(r.last);
      std::string text = "blocks " + range + ": " + map_state_name(b.state);
      if (!b.image_block.empty()) text += " '" + b.image_block + "'";
      if (!b.role.empty()) text += " [" + b.role + "]";
      y += LINE;
      body += "<text x=\"" + std::to_string(MARGIN + 8) + "\" y=\"" + std::to_string(y - 4) +
              "\">" + xml(text) + "</text>\n";
    }
    y += MARGIN;
  }
  if (map.env.size != 0) {
    const std::vector<std::string> lines = env_lines(map.env);
    for (size_t i = 0; i < lines.size(); i++) {
      y += i == 0 ? TITLE - 6 : LINE;
      body += "<text x=\"" + std::to_string(MARGIN + (i == 0 ? 0 : 8)) + "\" y=\"" +
              std::to_string(y) + "\"" + (i == 0 ? " font-weight=\"bold\"" : "") + ">" +
              xml(lines[i]) + "</text>\n";
    }
    y += MARGIN;
  }
  const int width = 2 * MARGIN + COLUMNS * CELL;
  const int height = y;
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
         std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
         std::to_string(width) + " " + std::to_string(height) +
         "\" font-family=\"sans-serif\" font-size=\"11\">\n"
         "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n" +
         body + "</svg>\n";
}

}  // namespace korvane
