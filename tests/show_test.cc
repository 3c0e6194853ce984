// SPDX-License-Identifier: MIT
// korvane -I, -i and -x end to end: the built program runs in a scratch
// folder on images made by the image builder (and damaged by editing their
// bytes); standard output is compared byte for byte, with the expected text
// formed from the image's own bytes, and extracted files with their sources.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "codec/zentarc.h"
#include "rom/build.h"
#include "rom/layout.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using e2e::read_file;
using e2e::run;
using e2e::scratch_dir;
using e2e::write_file;

// ---------------------------------------------------------------- bytes

uint32_t get_be(const std::string &b, size_t off) {
  auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(b.at(off + i))); };
  return u(0) << 24 | u(1) << 16 | u(2) << 8 | u(3);
}

void put_be(std::string &b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<char>(v >> (24 - 8 * i));
}

uint32_t zcrc(const std::string &b, size_t off, size_t n) {
  return e2e::reference_crc32(b.data() + off, n);
}

uint32_t bytesum(const std::string &b, size_t off, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i < n; ++i) s += static_cast<uint8_t>(b.at(off + i));
  return s;
}

// Seals the header at off: hcrc over hsize bytes with the field zero.
void reseal(std::string &img, size_t off, uint32_t hsize) {
  put_be(img, off + 8, 0);
  put_be(img, off + 8, zcrc(img, off, hsize));
}

// Repeatable content: noise, or text-like bytes with runs that compress.
std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char &c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

std::string firmware(size_t n, uint32_t seed) {
  std::string s;
  uint32_t i = 0;
  while (s.size() < n) {
    seed = seed * 1103515245u + 12345u;
    if (seed % 5 == 0) s.append(40 + seed % 200, '\0');
    else s += "insn " + std::to_string(i++ * 4) + " r" + std::to_string(seed % 13) + ";\n";
  }
  s.resize(n);
  return s;
}

// ------------------------------------------------------------- building

// Sends standard output of this process to /dev/null while building (the
// builder prints its block summaries).
struct quiet_stdout {
  int saved;
  quiet_stdout() {
    std::fflush(stdout);
    saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
  }
  ~quiet_stdout() {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
};

struct blk_input {
  const char *name;
  uint32_t type;
  uint32_t id;
  uint32_t cypher;
  uint32_t flags;
  std::string content;
};

blk_desc desc_of(const blk_input &b) {
  blk_desc d;
  d.flags = b.flags;
  d.type = b.type;
  d.id = b.id;
  d.cypher = b.cypher;
  d.data = ROM_BLK_DATA_FILE;
  set_text_field(d.name, b.name);
  set_text_field(d.version, "1.0.7");
  return d;
}

// Builds a rom image at path from the blocks; returns its bytes. (Checks
// come after the builder's output is back on standard output, where the
// test framework reports.)
std::string make_image(const std::string &path, const std::vector<blk_input> &blocks) {
  std::vector<int> results;
  {
    quiet_stdout quiet;
    results.push_back(rom_create(path.c_str(), 17, "board-a", "acme", "2.3.4", ROM_FLAG_TOOL));
    for (const blk_input &b : blocks) {
      std::string in = path + ".in";
      write_file(in, b.content);
      blk_desc d = desc_of(b);
      results.push_back(rom_append_blk(path.c_str(), in.c_str(), 0, &d));
      fs::remove(in);
    }
  }
  for (size_t i = 0; i < results.size(); ++i)
    EXPECT_EQ(results[i], 0) << (i ? blocks[i - 1].name : "create");
  return read_file(path);
}

// Builds a block file at path; returns its bytes.
std::string make_block_file(const std::string &path, const blk_input &b) {
  std::string in = path + ".in";
  write_file(in, b.content);
  blk_desc d = desc_of(b);
  blk_buffer blk;
  uint32_t total = 0;
  int r;
  {
    quiet_stdout quiet;
    r = rom_build_blk(in.c_str(), 0, &d, &blk, &total);
  }
  EXPECT_EQ(r, 0);
  fs::remove(in);
  std::string bytes(reinterpret_cast<const char *>(blk.get()), total);
  write_file(path, bytes);
  return bytes;
}

// Offsets of the blocks of an image (rom) or block file, by their totals.
std::vector<size_t> walk(const std::string &img, bool rom) {
  std::vector<size_t> offs;
  size_t off = rom ? get_be(img, 4) : 0;
  while (off + 128 <= img.size()) {
    offs.push_back(off);
    uint32_t total = get_be(img, off + 24);
    if (total < 128) break;
    off += total;
  }
  return offs;
}

// ------------------------------------------------------- expected texts

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

std::string hex_line(const char *label, uint32_t v) { return fmt("%-16s:0x%08x\n", label, v); }
std::string dec_line(const char *label, uint32_t v) {
  return fmt("%-16s:%d\n", label, static_cast<int>(v));
}
std::string text_line(const char *label, const std::string &b, size_t off, size_t width) {
  std::string t = b.substr(off, width);
  return fmt("%-16s:%s\n", label, t.substr(0, t.find('\0')).c_str());
}

const char *type_name(uint32_t t) {
  static const char *names[] = {"none",     "bin",     "tool",   "file",   "nand-raw",
                                "nand-oob", "nor-raw", "script", "execute"};
  return t < 9 ? names[t] : "unknown";
}

const char *cypher_name(uint32_t c) {
  static const std::map<uint32_t, const char *> names = {
      {0, "none"},    {1, "cypher1"}, {2, "cypher2"}, {3, "cypher3"},
      {4, "cypher4"}, {128, "AES"},   {129, "DES"}};
  auto it = names.find(c);
  return it == names.end() ? "invalid" : it->second;
}

const char *data_name(uint32_t d) { return d == 0 ? "raw" : d == 2 ? "file" : "invalid"; }

std::string rom_section(const std::string &path, const std::string &img) {
  return "============ROM<" + path + ">=============\n" + hex_line("rom magic", get_be(img, 0)) +
         dec_line("rom hsize", get_be(img, 4)) + hex_line("rom hcrc", get_be(img, 8)) +
         hex_line("rom format", get_be(img, 12)) + hex_line("rom flags", get_be(img, 16)) +
         dec_line("rom lenght", get_be(img, 20)) + hex_line("rom verify", get_be(img, 24)) +
         dec_line("rom blocks", get_be(img, 28)) + dec_line("rom dev id", get_be(img, 32)) +
         text_line("rom dev name", img, 36, 16) + text_line("rom oem name", img, 52, 16) +
         text_line("rom version", img, 68, 24);
}

// What may differ from one block section to the next.
struct blk_state {
  bool good_hcrc = true;
  const char *verify = "none";  // "none", "good" or "bad"
  std::string before;           // lines between "blk header" and "blk magic"
};

std::string blk_section(int index, size_t off, const std::string &img, const blk_state &s = {}) {
  uint32_t verify = get_be(img, off + 28);
  std::string verify_label =
      std::string("blk ") + s.verify + (s.verify[0] == 'b' ? "  " : " ") + "verify";
  return fmt("============block %d================\n", index) + dec_line("blk offset", off) +
         dec_line("blk header", get_be(img, off + 4)) + s.before +
         hex_line("blk magic", get_be(img, off)) + dec_line("blk hsize", get_be(img, off + 4)) +
         hex_line(s.good_hcrc ? "blk good hcrc" : "blk bad  hcrc", get_be(img, off + 8)) +
         hex_line("blk flags", get_be(img, off + 16)) +
         dec_line("blk lenght", get_be(img, off + 20)) +
         dec_line("blk total", get_be(img, off + 24)) + hex_line(verify_label.c_str(), verify) +
         dec_line("blk type", get_be(img, off + 32)) + dec_line("blk id", get_be(img, off + 36)) +
         text_line("blk name", img, off + 40, 16) + text_line("blk version", img, off + 56, 24) +
         fmt("%-16s:%s\n", "blk cypher", cypher_name(get_be(img, off + 80))) +
         fmt("%-16s:%s\n", "blk data", data_name(get_be(img, off + 84)));
}

// The file name a block is extracted to, as the walk prints it.
std::string extract_name(int index, size_t off, const std::string &img, bool good_hcrc = true) {
  std::string name = img.substr(off + 40, 16);
  name = name.substr(0, name.find('\0'));
  return fmt(".//%d-%d-%s-%s%s", index, static_cast<int>(get_be(img, off + 36)),
             type_name(get_be(img, off + 32)), good_hcrc ? "" : "bad-", name.c_str());
}

std::string extract_line(const std::string &name, bool with_header) {
  return "extract to " + name + " ," + (with_header ? "with header" : "no header") + "\n";
}

// Every block under -i (or -x with extract lines).
std::string all_blocks(const std::string &img, bool rom, const char *verify_of_checked = "none",
                       int extract = -1) {
  std::string out;
  std::vector<size_t> offs = walk(img, rom);
  for (size_t i = 0; i < offs.size(); ++i) {
    blk_state s;
    bool checked = (get_be(img, offs[i] + 16) & ROM_VERIFY_MASK) != 0;
    s.verify = checked ? verify_of_checked : "none";
    if (extract >= 0)
      s.before = extract_line(extract_name(static_cast<int>(i), offs[i], img), extract);
    out += blk_section(static_cast<int>(i), offs[i], img, s);
  }
  return out;
}

// ------------------------------------------------------------- fixture

// The sample image: one block of every cypher type, crc and checksum blocks,
// payloads longer than one 65536-byte chunk, one not a multiple of 32.
std::vector<blk_input> sample_blocks() {
  return {
      {"uboot", ROM_BLK_TYPE_NAND_RAW, 1, ROM_BLK_CT_NONE, ROM_VERIFY_CRC, noise(3000, 1)},
      {"kernel", ROM_BLK_TYPE_NAND_RAW, 2, ROM_BLK_CT_CYPHER1, ROM_VERIFY_CRC, firmware(150000, 2)},
      {"rootfs", ROM_BLK_TYPE_NOR, 3, ROM_BLK_CT_CYPHER2, ROM_VERIFY_CHECKSUM, firmware(20000, 3)},
      {"config", ROM_BLK_TYPE_FILE, 4, ROM_BLK_CT_CYPHER3, ROM_VERIFY_CHECKSUM | ROM_FLAG_FORCE,
       noise(70000, 4)},
      {"script", ROM_BLK_TYPE_SCRIPT, 5, ROM_BLK_CT_CYPHER4, ROM_VERIFY_CRC, firmware(1000, 5)},
      {"logo", ROM_BLK_TYPE_EXE, 0x7fff, ROM_BLK_CT_AES, 0, noise(333, 6)},
  };
}

class show : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new scratch_dir;
    blocks_ = new std::vector<blk_input>(sample_blocks());
    img_ = new std::string(make_image(*dir_ / "sample.rom", *blocks_));
    blk_file_ = new std::string(make_block_file(*dir_ / "one.blk", (*blocks_)[1]));
    empty_ = new std::string(make_image(*dir_ / "empty.rom", {}));
  }
  static void TearDownTestSuite() {
    delete empty_;
    delete blk_file_;
    delete img_;
    delete blocks_;
    delete dir_;
  }

  // Runs korvane with args in the test's own folder.
  e2e::run_result korvane_run(std::vector<std::string> args) {
    args.insert(args.begin(), e2e::bin("korvane"));
    return run(args, work_.path());
  }
  // Copies a file of the suite's folder into the test's folder.
  std::string put(const std::string &name, const std::string &bytes) {
    write_file(work_ / name, bytes);
    return name;
  }
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(work_.path())) names.insert(e.path().filename());
    return names;
  }

  static scratch_dir *dir_;
  static std::vector<blk_input> *blocks_;
  static std::string *img_, *blk_file_, *empty_;
  scratch_dir work_;
};

scratch_dir *show::dir_;
std::vector<blk_input> *show::blocks_;
std::string *show::img_, *show::blk_file_, *show::empty_;

// --------------------------------------------------------------- info

TEST_F(show, info_text) {
  put("a.rom", *img_);
  put("one.blk", *blk_file_);
  put("empty.rom", *empty_);
  const std::string rom = rom_section("a.rom", *img_);
  struct row {
    const char *what;
    std::vector<std::string> args;
    std::string out;
  } rows[] = {
      {"-I: the rom header only", {"-I", "a.rom"}, rom},
      {"-i: the rom header and every block", {"-i", "a.rom"}, rom + all_blocks(*img_, true)},
      {"-I on a block file prints nothing", {"-I", "one.blk"}, ""},
      {"-i on a block file: block 0 at offset 0", {"-i", "one.blk"}, all_blocks(*blk_file_, false)},
      {"an image with no blocks", {"-i", "empty.rom"}, rom_section("empty.rom", *empty_)},
      {"-V logs the action first", {"-V", "-I", "a.rom"}, "show info:a.rom\n" + rom},
      {"-f crc checks every block that carries a verify kind",
       {"-f", "crc", "-i", "a.rom"},
       rom + all_blocks(*img_, true, "good")},
      {"-f checksum: the block's own kind is used",
       {"-f", "checksum", "-i", "a.rom"},
       rom + all_blocks(*img_, true, "good")},
      {"-f force: no verify kind on the command line",
       {"-f", "force", "-i", "a.rom"},
       rom + all_blocks(*img_, true)},
  };
  for (const row &r : rows) {
    auto res = korvane_run(r.args);
    EXPECT_EQ(res.status, 0) << r.what;
    EXPECT_EQ(res.out, r.out) << r.what;
  }
}

TEST_F(show, fixed_widths_and_labels) {
  put("a.rom", *img_);
  auto res = korvane_run({"-f", "crc", "-i", "a.rom"});
  ASSERT_EQ(res.status, 0);
  for (const char *line :
       {"rom magic       :0xad24ec0b\n", "rom hsize       :128\n", "rom format      :0x00000002\n",
        "rom flags       :0x00000002\n", "rom verify      :0xffffffff\n", "rom blocks      :6\n",
        "rom dev id      :17\n", "rom dev name    :board-a\n", "rom oem name    :acme\n",
        "rom version     :2.3.4\n", "============block 5================\n",
        "blk id          :32767\n", "blk type        :8\n", "blk cypher      :none\n",
        "blk data        :file\n", "blk version     :1.0.7\n", "blk none verify :0xffffffff\n",
        "blk cypher      :cypher2\n", "blk name        :rootfs\n"}) {
    EXPECT_NE(res.out.find(line), std::string::npos) << line;
  }
}

TEST_F(show, trailing_bytes) {
  // Fewer than 128 bytes after the last block end the walk without a word;
  // 128 bytes of 0xFF (an erased-flash tail) end it at the header size check.
  const std::string rom = rom_section("a.rom", *img_);
  put("a.rom", *img_ + std::string(100, '\xab'));
  auto res = korvane_run({"-i", "a.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, rom + all_blocks(*img_, true));

  put("a.rom", *img_ + std::string(128, '\xff'));
  res = korvane_run({"-i", "a.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, rom + all_blocks(*img_, true) + "============block 6================\n" +
                         dec_line("blk offset", static_cast<uint32_t>(img_->size())) +
                         "blk header      :-1\nsuck ,invalid blk header size,-1\n");
  res = korvane_run({"-x", "a.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(files().size(), 1 + blocks_->size());
}

TEST_F(show, bad_hcrc_of_second_block) {
  std::string img = *img_;
  size_t off = walk(img, true)[1];
  img[off + 60] ^= 0x20;  // a letter of the version text
  put("a.rom", img);

  std::string expect = rom_section("a.rom", img);
  std::vector<size_t> offs = walk(img, true);
  for (size_t i = 0; i < offs.size(); ++i) {
    blk_state s;
    s.good_hcrc = i != 1;
    s.before = extract_line(extract_name(static_cast<int>(i), offs[i], img, s.good_hcrc), false);
    expect += blk_section(static_cast<int>(i), offs[i], img, s);
  }
  auto res = korvane_run({"-x", "a.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, expect);
  EXPECT_EQ(files(),
            (std::set<std::string>{"a.rom", "0-1-nand-raw-uboot", "1-2-nand-raw-bad-kernel",
                                   "2-3-nor-raw-rootfs", "3-4-file-config", "4-5-script-script",
                                   "5-32767-execute-logo"}));
  EXPECT_EQ(read_file(work_ / "1-2-nand-raw-bad-kernel"), (*blocks_)[1].content);
  EXPECT_EQ(read_file(work_ / "4-5-script-script"), (*blocks_)[4].content);
}

TEST_F(show, bad_payloads) {
  std::string img = *img_;
  std::vector<size_t> offs = walk(img, true);
  size_t crc_blk = offs[0], sum_blk = offs[3];
  img[crc_blk + 128 + 10] ^= 1;
  img[sum_blk + 128 + 70000 - 1] ^= 0x80;  // the very last payload byte
  put("a.rom", img);

  std::string checked = rom_section("a.rom", img);
  for (size_t i = 0; i < offs.size(); ++i) {
    blk_state s;
    bool has_kind = (get_be(img, offs[i] + 16) & ROM_VERIFY_MASK) != 0;
    s.verify = !has_kind ? "none" : (i == 0 || i == 3) ? "bad" : "good";
    uint32_t len = get_be(img, offs[i] + 20);
    if (i == 0)
      s.before = fmt("invalid verify,0x%08x!=0x%08x\n", zcrc(img, offs[i] + 128, len),
                     get_be(img, offs[i] + 28));
    if (i == 3)
      s.before = fmt("invalid verify,0x%08x!=0x%08x\n", bytesum(img, offs[i] + 128, len),
                     get_be(img, offs[i] + 28));
    checked += blk_section(static_cast<int>(i), offs[i], img, s);
  }
  auto res = korvane_run({"-f", "crc", "-i", "a.rom"});
  EXPECT_EQ(res.status, 0);  // reported, not fatal
  EXPECT_EQ(res.out, checked);

  // Without a verify kind on the command line nothing is read.
  res = korvane_run({"-i", "a.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, rom_section("a.rom", img) + all_blocks(img, true));

  // A failed verification does not stop extraction.
  res = korvane_run({"-f", "crc", "-x", "a.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(files().size(), 1 + blocks_->size());
}

// A block with a header of hsize bytes (the bytes past 128 are part of the
// header and covered by its CRC), payload after it, as block 1 of an image.
std::string image_with_hsize(const std::string &img, uint32_t hsize, bool seal_all = true,
                             size_t cut = 0) {
  std::string blk = img.substr(walk(img, true)[0]);
  uint32_t len = get_be(blk, 20);
  std::string extra;
  for (uint32_t i = 128; i < hsize && i < 200; ++i) extra += static_cast<char>(0xA0 + i);
  blk.insert(128, extra);
  put_be(blk, 4, hsize);
  put_be(blk, 24, hsize + blk_padded(len));
  if (seal_all) reseal(blk, 0, hsize);
  else reseal(blk, 0, 128);
  std::string out = img + blk;
  if (cut) out.resize(out.size() - cut);
  return out;
}

TEST_F(show, header_sizes) {
  std::string base = make_image(work_ / "base.rom", {(*blocks_)[0]});
  const std::string &content = (*blocks_)[0].content;
  for (uint32_t hsize : {129u, 136u, 144u}) {
    SCOPED_TRACE(hsize);
    std::string img = image_with_hsize(base, hsize);
    put("h.rom", img);
    size_t off = walk(img, true)[1];
    blk_state s;
    s.verify = "good";
    auto res = korvane_run({"-f", "crc", "-i", "h.rom"});
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.out, rom_section("h.rom", img) + blk_section(0, 128, img, s) +
                           blk_section(1, off, img, s));

    // The payload starts hsize bytes after the header.
    res = korvane_run({"-x", "h.rom"});
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(read_file(work_ / "1-1-nand-raw-uboot"), content);
    res = korvane_run({"-g", "-x", "h.rom"});
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(read_file(work_ / "1-1-nand-raw-uboot"), img.substr(off));

    // A CRC formed over the first 128 bytes only does not match.
    put("h.rom", image_with_hsize(base, hsize, false));
    res = korvane_run({"-i", "h.rom"});
    EXPECT_EQ(res.status, 0);
    EXPECT_NE(res.out.find("blk bad  hcrc"), std::string::npos);
  }

  // A 144-byte header cut off by the end of the file: the bytes it lacks
  // count as zero, nothing is read beyond the file.
  std::string cut = image_with_hsize(base, 144, true, 0);
  size_t off = walk(cut, true)[1];
  cut.resize(off + 130);
  put("h.rom", cut);
  auto res = korvane_run({"-i", "h.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_NE(res.out.find("blk bad  hcrc   :"), std::string::npos);
  std::string zero_filled = cut + std::string(14, '\0');
  reseal(zero_filled, off, 144);
  put("h.rom", zero_filled.substr(0, off + 130));
  res = korvane_run({"-i", "h.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_NE(res.out.find("blk good hcrc   :"), std::string::npos);

  // Larger than 144: the walk ends there, and the run still succeeds.
  fs::remove(work_ / "1-1-nand-raw-uboot");
  std::string img = image_with_hsize(base, 145);
  put("h.rom", img);
  off = walk(img, true)[1];
  res = korvane_run({"-x", "h.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, rom_section("h.rom", img) + all_blocks(base, true, "none", 0) +
                         "============block 1================\n" + dec_line("blk offset", off) +
                         "blk header      :145\nsuck ,invalid blk header size,145\n");
  EXPECT_EQ(files(), (std::set<std::string>{"base.rom", "h.rom", "0-1-nand-raw-uboot"}));
}

// ---------------------------------------------------------- extraction

TEST_F(show, extract_decoded) {
  put("a.rom", *img_);
  auto res = korvane_run({"-V", "-x", "a.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, "extract rom:a.rom\n" + rom_section("a.rom", *img_) +
                         all_blocks(*img_, true, "none", 0));
  std::vector<size_t> offs = walk(*img_, true);
  ASSERT_EQ(offs.size(), blocks_->size());
  for (size_t i = 0; i < offs.size(); ++i) {
    SCOPED_TRACE((*blocks_)[i].name);
    std::string got = read_file(work_ / extract_name(static_cast<int>(i), offs[i], *img_));
    if ((*blocks_)[i].cypher == ROM_BLK_CT_CYPHER2) {
      // The block format is stored and extracted as is.
      EXPECT_EQ(got, img_->substr(offs[i] + 128, get_be(*img_, offs[i] + 20)));
      EXPECT_NE(got, (*blocks_)[i].content);
    } else {
      EXPECT_EQ(got, (*blocks_)[i].content);
    }
  }
}

TEST_F(show, extract_with_header) {
  put("a.rom", *img_);
  auto res = korvane_run({"-g", "-x", "a.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, rom_section("a.rom", *img_) + all_blocks(*img_, true, "none", 1));
  std::vector<size_t> offs = walk(*img_, true);
  for (size_t i = 0; i < offs.size(); ++i) {
    std::string name = extract_name(static_cast<int>(i), offs[i], *img_);
    SCOPED_TRACE(name);
    std::string got = read_file(work_ / name);
    uint32_t total = get_be(*img_, offs[i] + 24);
    EXPECT_EQ(got.size(), total);
    EXPECT_EQ(got, img_->substr(offs[i], total));
    // Each reads back as a block file with a good header.
    auto back = korvane_run({"-f", "crc", "-i", name});
    EXPECT_EQ(back.status, 0);
    EXPECT_EQ(back.out, all_blocks(got, false, "good"));
  }
}

TEST_F(show, extract_block_file) {
  put("one.blk", *blk_file_);
  auto res = korvane_run({"-x", "one.blk"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, all_blocks(*blk_file_, false, "none", 0));
  EXPECT_EQ(read_file(work_ / "0-2-nand-raw-kernel"), (*blocks_)[1].content);
}

TEST_F(show, empty_payloads_extract_to_empty_files) {
  // An empty none block, an empty cypher3 block, and a cypher1 stream that
  // declares 0 bytes (the builder's headroom cannot hold one: the stream is
  // encoded apart and put into a block by hand).
  write_file(work_ / "empty", "");
  ASSERT_GT(zentarc_encode_file((work_ / "empty").c_str(), (work_ / "empty.lzma").c_str()), 0);
  std::string lzma_empty = read_file(work_ / "empty.lzma");
  fs::remove(work_ / "empty");
  fs::remove(work_ / "empty.lzma");
  std::string img = make_image(work_ / "e.rom",
                               {{"none0", ROM_BLK_TYPE_BIN, 1, ROM_BLK_CT_NONE, ROM_VERIFY_CRC, ""},
                                {"lzma0", ROM_BLK_TYPE_BIN, 2, ROM_BLK_CT_NONE, 0, lzma_empty},
                                {"c3zero", ROM_BLK_TYPE_BIN, 3, ROM_BLK_CT_CYPHER3, 0, ""}});
  size_t off = walk(img, true)[1];
  put_be(img, off + 80, ROM_BLK_CT_CYPHER1);
  reseal(img, off, 128);
  put("e.rom", img);
  auto res = korvane_run({"-f", "crc", "-x", "e.rom"});
  EXPECT_EQ(res.status, 0) << res.out;
  EXPECT_EQ(res.out, rom_section("e.rom", img) + all_blocks(img, true, "good", 0));
  for (const char *name : {"0-1-bin-none0", "1-2-bin-lzma0", "2-3-bin-c3zero"}) {
    ASSERT_TRUE(e2e::file_exists(work_ / name)) << name << res.out;
    EXPECT_EQ(read_file(work_ / name), "") << name;
  }
}

// ------------------------------------------------------------ failures

TEST_F(show, unusable_files) {
  std::string bad_magic = *img_;
  bad_magic[0] = 'X';
  std::string bad_crc = *img_;
  bad_crc[40] ^= 1;  // dev name
  std::string bad_blk = *blk_file_;
  bad_blk[45] ^= 1;
  put("short.rom", img_->substr(0, 50));
  put("magic.rom", bad_magic);
  put("crc.rom", bad_crc);
  put("crc.blk", bad_blk);
  struct row {
    const char *what;
    std::string file;
    std::string out;
  } rows[] = {
      {"missing", "none.rom", "failed to open rom or block,No such file or directory,none.rom\n"},
      {"short", "short.rom", "failed to read rom or block,size=128,Success,short.rom\n"},
      {"bad magic", "magic.rom", fmt("invalid magic=0x%08x\n", get_be(bad_magic, 0))},
      {"bad rom crc", "crc.rom",
       fmt("invalid rom hdr crc,0x%08x!=0x%08x\n", get_be(bad_crc, 8),
           [&] {
             std::string h = bad_crc.substr(0, 128);
             put_be(h, 8, 0);
             return zcrc(h, 0, 128);
           }()) +
           "failed to check file,crc.rom\n"},
      {"bad block file crc", "crc.blk",
       fmt("invalid blk hdr crc,0x%08x!=0x%08x\n", get_be(bad_blk, 8),
           [&] {
             std::string h = bad_blk.substr(0, 128);
             put_be(h, 8, 0);
             return zcrc(h, 0, 128);
           }()) +
           "failed to check file,crc.blk\n"},
  };
  for (const row &r : rows) {
    for (const char *action : {"-I", "-i", "-x"}) {
      auto res = korvane_run({action, r.file});
      EXPECT_EQ(res.status, 1) << r.what << action;
      EXPECT_EQ(res.out, r.out) << r.what << action;
    }
  }
  EXPECT_EQ(files().size(), 4u);  // nothing extracted
}

TEST_F(show, payload_beyond_end_of_file) {
  // The image ends 1000 bytes into the kernel's payload.
  std::vector<size_t> offs = walk(*img_, true);
  std::string img = img_->substr(0, offs[1] + 128 + 1000);
  put("cut.rom", img);
  for (bool with_header : {false, true}) {
    SCOPED_TRACE(with_header);
    std::vector<std::string> args = {"-x", "cut.rom"};
    if (with_header) args.insert(args.begin(), "-g");
    auto res = korvane_run(args);
    EXPECT_EQ(res.status, 1);
    std::string last = res.out.substr(res.out.rfind('\n', res.out.size() - 2) + 1);
    EXPECT_EQ(last.rfind("failed to copy file,", 0), 0u) << res.out;
    EXPECT_NE(last.find(",.//1-2-nand-raw-kernel\n"), std::string::npos) << last;
    EXPECT_EQ(read_file(work_ / "0-1-nand-raw-uboot"),
              with_header ? img.substr(offs[0], offs[1] - offs[0]) : (*blocks_)[0].content);
  }
  // A none block cut short fails too, not only a stream.
  img = img_->substr(0, offs[0] + 128 + 2000);
  put("cut.rom", img);
  auto res = korvane_run({"-x", "cut.rom"});
  EXPECT_EQ(res.status, 1);
  EXPECT_NE(res.out.find("failed to copy file,"), std::string::npos);
  // Info without a verify kind reads no payload; with one it reports the shortfall.
  res = korvane_run({"-i", "cut.rom"});
  EXPECT_EQ(res.status, 0);
  res = korvane_run({"-f", "crc", "-i", "cut.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_NE(res.out.find("blk bad  verify :"), std::string::npos);
}

TEST_F(show, names_stay_inside_the_folder) {
  fs::create_directory(work_ / "out");
  std::string img = make_image(work_ / "out/n.rom",
                               {{"../escape", ROM_BLK_TYPE_BIN, 1, ROM_BLK_CT_NONE, 0, "one"},
                                {"a/b", ROM_BLK_TYPE_BIN, 2, ROM_BLK_CT_NONE, 0, "two"},
                                {"plain", ROM_BLK_TYPE_BIN, 3, ROM_BLK_CT_NONE, 0, "three"}});
  auto res = run({e2e::bin("korvane"), "-x", "n.rom"}, work_ / "out");
  EXPECT_EQ(res.status, 0);
  EXPECT_NE(res.out.find("extract to .//0-1-bin-.._escape ,no header\n"), std::string::npos);
  EXPECT_NE(res.out.find("extract to .//1-2-bin-a_b ,no header\n"), std::string::npos);
  EXPECT_EQ(read_file(work_ / "out/0-1-bin-.._escape"), "one");
  EXPECT_EQ(read_file(work_ / "out/1-2-bin-a_b"), "two");
  EXPECT_EQ(read_file(work_ / "out/2-3-bin-plain"), "three");
  EXPECT_EQ(files(), (std::set<std::string>{"out"}));
}

TEST_F(show, files_that_cannot_be_created) {
  // Block 1's name is taken by a directory, block 2's by a dangling link,
  // block 3's by a link to a file outside: none of them is written through,
  // every other block is extracted, and the run fails.
  std::string img = make_image(
      work_ / "c.rom", {{"first", ROM_BLK_TYPE_BIN, 1, ROM_BLK_CT_NONE, 0, "1st"},
                        {"dir", ROM_BLK_TYPE_BIN, 2, ROM_BLK_CT_NONE, 0, "2nd"},
                        {"dangling", ROM_BLK_TYPE_BIN, 3, ROM_BLK_CT_NONE, 0, "3rd"},
                        {"link", ROM_BLK_TYPE_BIN, 4, ROM_BLK_CT_NONE, 0, "4th"},
                        {"last", ROM_BLK_TYPE_BIN, 5, ROM_BLK_CT_CYPHER1, 0, firmware(2000, 9)}});
  scratch_dir outside;
  write_file(outside / "victim", "untouched");
  fs::create_directory(work_ / "1-2-bin-dir");
  fs::create_symlink(outside / "planted", work_ / "2-3-bin-dangling");
  fs::create_symlink(outside / "victim", work_ / "3-4-bin-link");
  for (const char *g : {"-x", "-g"}) {
    std::vector<std::string> args = {"-x", "c.rom"};
    if (std::string(g) == "-g") args.insert(args.begin(), "-g");
    auto res = korvane_run(args);
    EXPECT_EQ(res.status, 1) << g;
    EXPECT_NE(res.out.find("failed to create file,Is a directory,.//1-2-bin-dir\n"),
              std::string::npos)
        << res.out;
    EXPECT_NE(res.out.find(
                  "failed to create file,Too many levels of symbolic links,.//2-3-bin-dangling\n"),
              std::string::npos);
    EXPECT_NE(
        res.out.find("failed to create file,Too many levels of symbolic links,.//3-4-bin-link\n"),
        std::string::npos);
    EXPECT_FALSE(e2e::file_exists(outside / "planted"));
    EXPECT_EQ(read_file(outside / "victim"), "untouched");
    if (std::string(g) == "-x") {
      EXPECT_EQ(read_file(work_ / "0-1-bin-first"), "1st");
      EXPECT_EQ(read_file(work_ / "4-5-bin-last"), firmware(2000, 9)) << res.out;
    } else {
      EXPECT_EQ(read_file(work_ / "0-1-bin-first").size(), 128u + 16u);
    }
  }
}

TEST_F(show, never_empties_the_image_itself) {
  // A block file extracted in its own folder bears the name of its block
  // (0-2-nand-raw-kernel here); the image stays whole and the block is
  // skipped like one whose file cannot be created. A hard link to the image
  // under the name of another image's block is the same file.
  const std::string name = extract_name(0, 0, *blk_file_);
  put(name.substr(3), *blk_file_);
  for (bool with_header : {false, true}) {
    SCOPED_TRACE(with_header);
    std::vector<std::string> args = {"-x", name.substr(3)};
    if (with_header) args.insert(args.begin(), "-g");
    auto res = korvane_run(args);
    EXPECT_EQ(res.status, 1);
    blk_state s;
    s.before = extract_line(name, with_header);
    EXPECT_EQ(res.out, blk_section(0, 0, *blk_file_, s) +
                           "failed to create file,is the image itself," + name + "\n");
    EXPECT_EQ(read_file(work_ / name.substr(3)), *blk_file_);
  }

  put("a.rom", *img_);
  std::string linked = extract_name(2, walk(*img_, true)[2], *img_).substr(3);
  ASSERT_EQ(link((work_ / "a.rom").c_str(), (work_ / linked).c_str()), 0);
  auto res = korvane_run({"-x", "a.rom"});
  EXPECT_EQ(res.status, 1);
  EXPECT_NE(res.out.find("failed to create file,is the image itself,.//" + linked + "\n"),
            std::string::npos);
  EXPECT_EQ(read_file(work_ / "a.rom"), *img_);
  EXPECT_EQ(read_file(work_ / extract_name(5, walk(*img_, true)[5], *img_).substr(3)),
            (*blocks_)[5].content);
}

TEST_F(show, totals_that_cannot_move_the_walk) {
  std::vector<size_t> offs = walk(*img_, true);
  struct row {
    const char *what;
    uint32_t total;
    const char *why;
  } rows[] = {
      {"zero", 0, "smaller than a header"},
      {"below a header", 127, "smaller than a header"},
      {"past 4 GiB", 0xFFFFFFF0u, "beyond 4GiB"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    std::string img = *img_;
    put_be(img, offs[1] + 24, r.total);
    reseal(img, offs[1], 128);
    put("t.rom", img);
    std::string expect_end = fmt("invalid blk total,%u at offset %u,%s\n", r.total,
                                 static_cast<unsigned>(offs[1]), r.why);
    for (const char *action : {"-i", "-x"}) {
      auto res = korvane_run({action, "t.rom"});
      EXPECT_EQ(res.status, 1) << action;
      ASSERT_GE(res.out.size(), expect_end.size());
      EXPECT_EQ(res.out.substr(res.out.size() - expect_end.size()), expect_end) << action;
      EXPECT_EQ(res.out.find("============block 2"), std::string::npos);
    }
  }
}

// --------------------------------------------------------------- driver

// Runs korvane -h with standard output into a pipe that is not read until
// the parent has exited: the output is larger than a pipe holds, so the
// child blocks on it while the parent must already be gone.
TEST_F(show, background_returns_at_once) {
  std::string img = *img_;
  std::string blk = img_->substr(walk(*img_, true)[4]);  // the small script block
  for (int i = 0; i < 800; ++i) img += blk;
  put("many.rom", img);
  std::string expected = korvane_run({"-i", "many.rom"}).out;
  ASSERT_GT(expected.size(), 200000u);

  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (chdir(work_.path().c_str()) != 0) _exit(126);
    std::string prog = e2e::bin("korvane");
    execl(prog.c_str(), prog.c_str(), "-h", "-i", "many.rom", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);
  int wstatus = 0;
  pid_t done = 0;
  for (int i = 0; i < 1000 && done == 0; ++i) {
    done = waitpid(pid, &wstatus, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) kill(pid, SIGKILL);
  ASSERT_EQ(done, pid) << "the caller did not get control back while the child was blocked";
  EXPECT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);
  std::string got;
  char buf[65536];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  close(out[0]);
  EXPECT_EQ(got, expected);
}

TEST_F(show, background_extracts_into_the_callers_folder) {
  put("a.rom", *img_);
  auto res = korvane_run({"-h", "-V", "-x", "a.rom"});  // returns once the child closed the pipe
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, "extract rom:a.rom\n" + rom_section("a.rom", *img_) +
                         all_blocks(*img_, true, "none", 0));
  std::string name = work_ / "1-2-nand-raw-kernel";
  EXPECT_EQ(read_file(name), (*blocks_)[1].content);
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);  // the background step clears the creation mask

  // The child's failure is its own: the caller has its 0 already.
  res = korvane_run({"-h", "-i", "missing.rom"});
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.out, "failed to open rom or block,No such file or directory,missing.rom\n");
}

}  // namespace
}  // namespace korvane
