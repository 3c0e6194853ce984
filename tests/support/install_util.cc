// SPDX-License-Identifier: MIT
#include "tests/support/install_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "rom/build.h"
#include "rom/checksum.h"
#include "tests/support/e2e.h"

namespace korvane::install_test {
namespace {

std::string read_at(const std::string &path, uint64_t offset, size_t n) {
  std::string all = e2e::read_file(path);
  if (offset > all.size()) return "";
  return all.substr(offset, n);
}

void write_at(const std::string &path, uint64_t offset, const void *bytes, size_t n) {
  int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0 || pwrite(fd, bytes, n, static_cast<off_t>(offset)) != static_cast<ssize_t>(n)) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot write " + path);
  }
  ::close(fd);
}

}  // namespace

std::string pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i + static_cast<size_t>(seed)) % 251);
  return s;
}

std::string firmware_like(size_t n, int seed) {
  static const std::string text =
      "korvane firmware: kernel, root file system and the board's tools. ";
  std::string s;
  s.reserve(n);
  for (size_t part = static_cast<size_t>(seed); s.size() < n; ++part) {
    switch (part % 3) {
      case 0:
        s += text;
        break;
      case 1:
        s.append(3000 + part % 500, '\xFF');
        break;
      default:
        s += pattern(1000 + part % 300, static_cast<int>(part));
        break;
    }
  }
  s.resize(n);
  return s;
}

std::vector<blk_place> build_image(const std::string &path, const std::vector<blk_input> &inputs,
                                   bool rom) {
  testing::internal::CaptureStdout();  // the builder's summary lines
  std::string failure;
  if (rom && rom_create(path.c_str(), 7, "board", "oem", "1.0.4.9", 0) != 0) failure = "create";
  if (!rom && failure.empty()) e2e::write_file(path, "");
  for (size_t i = 0; i < inputs.size() && failure.empty(); ++i) {
    const blk_input &s = inputs[i];
    std::string content_path = path + ".content" + std::to_string(i);
    e2e::write_file(content_path, s.content);
    blk_desc d;
    d.flags = s.flags;
    d.type = s.type;
    d.id = s.id;
    set_text_field(d.name, s.name.c_str());
    set_text_field(d.version, "v1");
    d.cypher = s.cypher;
    if (rom) {
      if (rom_append_blk(path.c_str(), content_path.c_str(), 0, &d) != 0) failure = "append";
    } else {
      blk_buffer blk;
      uint32_t total = 0;
      if (rom_build_blk(content_path.c_str(), 0, &d, &blk, &total) != 0) {
        failure = "build";
      } else {
        std::ofstream(path, std::ios::binary | std::ios::app)
            .write(reinterpret_cast<const char *>(blk.get()), total);
      }
    }
  }
  std::string said = testing::internal::GetCapturedStdout();
  if (!failure.empty())
    throw std::runtime_error("building " + path + " failed (" + failure + "): " + said);

  std::vector<blk_place> places;
  uint64_t offset = rom ? ROM_HDR_SIZE : 0;
  for (const blk_input &s : inputs) {
    blk_hdr h;
    std::string raw = read_at(path, offset, sizeof h);
    std::copy(raw.begin(), raw.end(), reinterpret_cast<char *>(&h));
    blk_place p{offset, h.hsize.get(), h.length.get(), h.total.get(), ""};
    p.stored = read_at(path, offset + p.hsize, p.length);
    if (s.cypher == ROM_BLK_CT_AES || s.cypher == ROM_BLK_CT_DES) {
      uint32_t c = s.cypher;
      edit_header(path, offset, [c](blk_hdr &b) { b.cypher.set(c); });
    }
    places.push_back(p);
    offset += p.total;
  }
  return places;
}

void edit_header(const std::string &path, uint64_t offset,
                 const std::function<void(blk_hdr &)> &edit, bool reseal) {
  alignas(4) uint8_t buf[ROM_BLK_HSIZE_MAX] = {};
  std::string raw = read_at(path, offset, ROM_BLK_HSIZE_MAX);
  std::copy(raw.begin(), raw.end(), buf);
  auto &h = *reinterpret_cast<blk_hdr *>(buf);
  edit(h);
  if (reseal) {
    uint32_t hsize = std::min(h.hsize.get(), ROM_BLK_HSIZE_MAX);
    h.hcrc.set(0);
    h.hcrc.set(crc32(0, buf, hsize));
  }
  write_at(path, offset, buf, sizeof(blk_hdr));
}

std::string decoded(const blk_input &input, const blk_place &place) {
  switch (input.cypher) {
    case ROM_BLK_CT_CYPHER1:
    case ROM_BLK_CT_CYPHER3:
    case ROM_BLK_CT_CYPHER4:
      return input.content;
    default:
      return place.stored;
  }
}

std::string padded(std::string bytes, uint32_t align, uint8_t pad) {
  size_t rest = bytes.size() % align;
  if (rest) bytes.append(align - rest, static_cast<char>(pad));
  return bytes;
}

void nand_expect(const nand_geom &g, const std::string &bytes, bool with_oob, std::string *data,
                 std::string *oob) {
  const uint32_t pages = g.size / g.writesize;
  data->assign(g.size, '\xFF');
  oob->assign(size_t{pages} * g.oobsize, '\xFF');
  const size_t pagelen = with_oob ? g.writesize + g.oobsize : g.writesize;
  size_t at = 0;
  for (uint32_t page = 0; page < pages && at < bytes.size(); ++page) {
    uint32_t block = page * g.writesize / g.erasesize;
    if (std::find(g.bad.begin(), g.bad.end(), block) != g.bad.end()) continue;
    std::string rec = bytes.substr(at, pagelen);
    at += pagelen;
    data->replace(size_t{page} * g.writesize, std::min<size_t>(rec.size(), g.writesize),
                  rec.substr(0, g.writesize));
    if (with_oob) {
      for (auto [off, len] : g.oobfree) {
        oob->replace(size_t{page} * g.oobsize + off, len, rec.substr(g.writesize + off, len));
      }
    }
  }
  if (at < bytes.size()) throw std::runtime_error("the model ran out of good blocks");
}

std::string without_ranges(std::string oob, uint32_t oobsize,
                           const std::vector<std::pair<uint32_t, uint32_t>> &ranges) {
  for (size_t page = 0; page + oobsize <= oob.size(); page += oobsize) {
    for (auto [off, len] : ranges) oob.replace(page + off, len, len, '\xFF');
  }
  return oob;
}

std::vector<std::string> device_changes(const std::string &events, const std::string &mtd) {
  std::vector<std::string> out;
  std::istringstream in(events);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string op, dev;
    words >> op >> dev;
    if ((op == "erase" || op == "write" || op == "oobwrite") && (mtd.empty() || dev == mtd))
      out.push_back(line);
  }
  return out;
}

bool matches(const std::string &expected, const std::string &actual) {
  std::string re;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (expected.compare(i, 2, "%m") == 0) {
      re += "[^\n]*";
      ++i;
    } else if (std::string("\\^$.|?*+()[]{}").find(expected[i]) != std::string::npos) {
      re += std::string("\\") + expected[i];
    } else {
      re += expected[i];
    }
  }
  return std::regex_match(actual, std::regex(re));
}

}  // namespace korvane::install_test
