// SPDX-License-Identifier: MIT
// Installs on the real Linux MTD stack. Debian's kernel boots under qemu
// with nandsim (2048-byte pages, 64 OOB bytes, 128 KiB erase blocks, bad
// blocks) and mtdram; a statically linked korvane installs images built here
// with korvane-mkrom, and the partitions are read back with mtd-utils. Every
// read-back is compared with what the block means and with what korvane-sim
// leaves on a simulated board equal to the VM's, and korvane's output in the
// VM with its output on the simulated board: a difference is a fault of the
// program or of the simulated board.
//
// One VM runs every scenario (booting is the slow part). The scenarios are
// written here as scripts over tests/kernel/lib.sh; the expected bytes go
// into the VM with them, the comparison runs there, and only the verdicts,
// korvane's output and the dumps that differ come back.
//
// Two machines run the same scenarios: the x86-64 VM with Debian's amd64
// kernel, and the 32-bit ARM VM (the board's architecture) with Debian's
// armmp kernel and korvane and mtd_probe built for armhf. The expected
// bytes are made here on the PC in both cases, so both VMs' read-backs are
// held to the very same bytes.
//
// Environment, each with a default set by the build: KORVANE_BIN_DIR
// (korvane-static, korvane-mkrom, korvane-sim, mtd_probe), KORVANE_VM_ARCH
// (x86, the default, or arm), KORVANE_VM_BIN_DIR (korvane-static and
// mtd_probe for the VM's machine; default KORVANE_BIN_DIR),
// KORVANE_VM_SCRIPTS (this folder), KORVANE_VM_CACHE (the kernel cache),
// KORVANE_VM_WORK (scratch folder, kept for a look after a failure),
// KORVANE_VM_TIMEOUT (seconds, default 300; 600 for the ARM VM),
// KORVANE_VM_ARM_KERNEL (the ARM VM's kernel: armmp, the default, or
// armmp-lpae, which runs the scenarios some three times faster).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using bytes = std::string;
using e2e::read_file;
using e2e::write_file;

std::string env(const char *name, const char *fallback = "") {
  const char *v = std::getenv(name);
  return v && *v ? v : fallback;
}

// ---- the board ------------------------------------------------------------

constexpr uint32_t PAGE = 2048, OOB = 64, ERASE = 128 * 1024;
constexpr uint32_t PAGES_PER_BLOCK = ERASE / PAGE;
constexpr uint32_t RECORD = PAGE + OOB;
constexpr uint32_t CHIP_BLOCKS = 1024;  // id bytes 0xec,0xf1: 128 MiB
constexpr uint32_t PART_BLOCKS = 16;    // mtd0 to mtd4; mtd5 holds the rest

// The kernel's OOB layout for 2048 + 64 with its software Hamming ECC.
constexpr uint32_t OOB_FREE_AT = 2, OOB_FREE_LEN = 38, OOB_ECC_AT = 40;

struct partition {
  int mtd;
  bool nand;
  uint32_t size;
  uint32_t erasesize;
  std::vector<uint32_t> bad;  // erase blocks, counted inside the partition

  bool is_bad(uint32_t block) const {
    for (uint32_t b : bad)
      if (b == block) return true;
    return false;
  }
  uint32_t good_blocks() const { return size / erasesize - static_cast<uint32_t>(bad.size()); }
};

const std::vector<partition> &board() {
  static const std::vector<partition> b = {
      {0, true, PART_BLOCKS * ERASE, ERASE, {3, 7}},
      {1, true, PART_BLOCKS * ERASE, ERASE, {2}},
      {2, true, PART_BLOCKS * ERASE, ERASE, {1}},
      {3, true, PART_BLOCKS * ERASE, ERASE, {2}},
      {4, true, PART_BLOCKS * ERASE, ERASE, {6}},
      {5, true, (CHIP_BLOCKS - 5 * PART_BLOCKS) * ERASE, ERASE, {}},
      {6, false, 1024 * 1024, 64 * 1024, {}},  // mtdram
  };
  return b;
}

const partition &part(int mtd) { return board().at(static_cast<size_t>(mtd)); }

// The names the drivers give their partitions.
std::string part_name(const partition &p) {
  return p.nand ? "NAND simulator partition " + std::to_string(p.mtd) : "mtdram test device";
}

// The module parameters that make the kernel build that board.
std::string vm_conf() {
  std::string bad, parts;
  for (const partition &p : board()) {
    if (!p.nand) continue;
    for (uint32_t b : p.bad)
      bad += (bad.empty() ? "" : ",") + std::to_string(p.mtd * PART_BLOCKS + b);
    if (p.mtd < 5) parts += (parts.empty() ? "" : ",") + std::to_string(p.size / p.erasesize);
  }
  const partition &ram = part(6);
  return "NANDSIM_ARGS='id_bytes=0xec,0xf1,0x00,0x15 badblocks=" + bad + " parts=" + parts +
         "'\nMTDRAM_ARGS='total_size=" + std::to_string(ram.size / 1024) +
         " erase_size=" + std::to_string(ram.erasesize / 1024) + "'\n";
}

// The same board for korvane-sim.
std::string sim_board_text() {
  std::string t = "# The partitions of the test VM (nandsim and mtdram).\n";
  for (const partition &p : board()) {
    t += "mtd" + std::to_string(p.mtd) + (p.nand ? " nand" : " ram") +
         " size=" + std::to_string(p.size / 1024) +
         "K erase=" + std::to_string(p.erasesize / 1024) + "K";
    if (p.nand) t += " page=2048 oob=64";
    if (!p.bad.empty()) {
      t += " bad=";
      for (size_t i = 0; i < p.bad.size(); i++) t += (i ? "," : "") + std::to_string(p.bad[i]);
    }
    t += " name=\"" + part_name(p) + "\"\n";
  }
  return t;
}

// ---- data -----------------------------------------------------------------

// Deterministic data that is neither constant nor hopeless for LZMA: runs of
// noise and repeats of earlier stretches.
bytes pattern(size_t n, uint32_t seed) {
  uint32_t s = seed * 2654435761u + 1;
  auto next = [&s] {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  bytes out;
  out.reserve(n);
  while (out.size() < n) {
    uint32_t r = next();
    size_t len = 1 + (r >> 8) % 96;
    if ((r & 3) != 0 && out.size() > 256) {
      size_t from = out.size() - 1 - (next() % std::min<size_t>(out.size() - 1, 4096));
      for (size_t i = 0; i < len && out.size() < n; i++) out.push_back(out[from + i]);
    } else {
      for (size_t i = 0; i < len && out.size() < n; i++)
        out.push_back(static_cast<char>(next() >> 24));
    }
  }
  return out;
}

bytes ff(size_t n) { return bytes(n, '\xff'); }

// ---- what the flash should hold -----------------------------------------

// The kernel's software ECC for a 256-byte step: line parities over the
// bytes whose index has bit k clear or set, column parities over bit groups
// of all bytes, each stored inverted; the two line-parity bytes in the
// kernel's (not SmartMedia) order.
void hamming256(const uint8_t *d, uint8_t code[3]) {
  uint8_t all = 0, lo[8] = {}, hi[8] = {};
  for (int i = 0; i < 256; i++) {
    all ^= d[i];
    for (int k = 0; k < 8; k++) ((i >> k) & 1 ? hi[k] : lo[k]) ^= d[i];
  }
  auto inv = [](uint8_t x) { return static_cast<uint8_t>(__builtin_parity(x) ? 0 : 1); };
  uint8_t rp_lo = 0, rp_hi = 0;  // rp0..rp7 and rp8..rp15, rp(2k) = bit k clear
  for (int k = 0; k < 8; k++) {
    uint8_t even = inv(lo[k]), odd = inv(hi[k]);
    int bit = 2 * k;
    if (bit < 8) {
      rp_lo |= static_cast<uint8_t>(even << bit | odd << (bit + 1));
    } else {
      rp_hi |= static_cast<uint8_t>(even << (bit - 8) | odd << (bit - 7));
    }
  }
  code[0] = rp_hi;
  code[1] = rp_lo;
  code[2] =
      static_cast<uint8_t>(inv(all & 0xf0) << 7 | inv(all & 0x0f) << 6 | inv(all & 0xcc) << 5 |
                           inv(all & 0x33) << 4 | inv(all & 0xaa) << 3 | inv(all & 0x55) << 2 | 3);
}

// The OOB bytes of a page written through MEMWRITEOOB with the free bytes of
// `record_oob`, then with its data: 0xFF but the free range and, when the
// kernel computed it, the ECC of the data.
bytes oob_image(const bytes &page, const char *record_oob, bool with_ecc) {
  bytes oob = ff(OOB);
  oob.replace(OOB_FREE_AT, OOB_FREE_LEN, record_oob + OOB_FREE_AT, OOB_FREE_LEN);
  if (with_ecc) {
    for (uint32_t step = 0; step < PAGE / 256; step++) {
      uint8_t code[3];
      hamming256(reinterpret_cast<const uint8_t *>(page.data()) + step * 256, code);
      oob.replace(OOB_ECC_AT + step * 3, 3, reinterpret_cast<const char *>(code), 3);
    }
  }
  return oob;
}

// The bytes a block hands to the writers: the decoded payload with its last
// chunk padded to the alignment with the pad byte.
bytes chunked(const bytes &decoded, uint32_t chunk, uint32_t align, char pad = '\xff') {
  bytes out = decoded;
  size_t fill = out.size() % chunk;
  if (fill != 0 && fill % align != 0) out.append(align - fill % align, pad);
  return out;
}

// A raw NAND partition after the install, as nanddump --bb=skipbad reads it
// (bad blocks left out): the data, the last page padded with 0xFF, erased
// bytes after it.
bytes nand_raw_view(const partition &p, bytes stream) {
  if (stream.size() % PAGE) stream.append(PAGE - stream.size() % PAGE, '\xff');
  size_t total = size_t(p.good_blocks()) * p.erasesize;
  if (stream.size() < total) stream.append(total - stream.size(), '\xff');
  return stream;
}

// A NAND partition written with page records, as nanddump --bb=skipbad --oob
// reads it (each page followed by its OOB bytes).
bytes nand_oob_view(const partition &p, const bytes &records) {
  bytes out;
  size_t pages = size_t(p.good_blocks()) * PAGES_PER_BLOCK;
  for (size_t i = 0; i < pages; i++) {
    if ((i + 1) * RECORD <= records.size()) {
      bytes page = records.substr(i * RECORD, PAGE);
      out += page + oob_image(page, records.data() + i * RECORD + PAGE, true);
    } else {
      out += ff(RECORD);
    }
  }
  return out;
}

// The fake MTD file of an OOB block: page data, then the writer's OOB image.
bytes fake_oob_file(const bytes &records) {
  bytes out;
  for (size_t i = 0; i + RECORD <= records.size(); i += RECORD) {
    bytes page = records.substr(i, PAGE);
    out += page + oob_image(page, records.data() + i + PAGE, false);
  }
  return out;
}

// A NOR or RAM partition: the data, erased bytes after it.
bytes nor_view(const partition &p, bytes stream) {
  if (stream.size() < p.size) stream.append(p.size - stream.size(), '\xff');
  return stream;
}

// A partition that got `marker` from the flash tools (nandwrite -p skips bad
// blocks and pads the last page).
bytes marker_view(const partition &p, const bytes &marker) {
  return p.nand ? nand_raw_view(p, marker) : nor_view(p, marker);
}

// What korvane-sim's state folder holds for a partition, read as the VM's
// tools read the device.
bytes sim_view(const std::string &state, const partition &p, bool with_oob) {
  std::string base = state + "/mtd" + std::to_string(p.mtd);
  bytes data = e2e::file_exists(base + ".data") ? read_file(base + ".data") : bytes();
  if (data.size() < p.size) data.append(p.size - data.size(), '\xff');
  if (!p.nand) return data.substr(0, p.size);
  bytes oob;
  if (with_oob) {
    oob = e2e::file_exists(base + ".oob") ? read_file(base + ".oob") : bytes();
    size_t want = size_t(p.size / PAGE) * OOB;
    if (oob.size() < want) oob.append(want - oob.size(), '\xff');
  }
  bytes out;
  for (uint32_t b = 0; b < p.size / p.erasesize; b++) {
    if (p.is_bad(b)) continue;
    if (!with_oob) {
      out += data.substr(size_t(b) * p.erasesize, p.erasesize);
      continue;
    }
    for (uint32_t pg = 0; pg < PAGES_PER_BLOCK; pg++) {
      size_t page = size_t(b) * PAGES_PER_BLOCK + pg;
      out += data.substr(page * PAGE, PAGE) + oob.substr(page * OOB, OOB);
    }
  }
  return out;
}

// Where a byte of a dump lies, in words a person can check.
std::string where(const std::string &kind, int mtd, size_t at) {
  if (mtd < 0 || !part(mtd).nand) return "byte " + std::to_string(at);
  const partition &p = part(mtd);
  size_t unit = kind == "oob" ? RECORD : PAGE;
  size_t page = at / unit, in = at % unit;
  uint32_t good = static_cast<uint32_t>(page / PAGES_PER_BLOCK), block = 0;
  for (uint32_t seen = 0;; block++) {
    if (p.is_bad(block)) continue;
    if (seen++ == good) break;
  }
  std::ostringstream s;
  s << "erase block " << block << " page " << page % PAGES_PER_BLOCK
    << (in >= PAGE ? " OOB byte " : " byte ") << (in >= PAGE ? in - PAGE : in);
  return s.str();
}

// The first few stretches where two dumps differ.
std::string differences(const bytes &got, const bytes &want, const std::string &kind, int mtd) {
  std::ostringstream s;
  if (got.size() != want.size())
    s << "  size " << got.size() << ", expected " << want.size() << "\n";
  size_t n = std::min(got.size(), want.size()), shown = 0, count = 0;
  for (size_t i = 0; i < n; i++) {
    if (got[i] == want[i]) continue;
    count++;
    if (shown < 12) {
      char line[160];
      std::snprintf(line, sizeof line, "  at %zu (%s): 0x%02x, expected 0x%02x\n", i,
                    where(kind, mtd, i).c_str(), static_cast<uint8_t>(got[i]),
                    static_cast<uint8_t>(want[i]));
      s << line;
      shown++;
    }
  }
  s << "  " << count << " bytes differ\n";
  return s.str();
}

// ---- scenarios ------------------------------------------------------------

struct run_record {
  std::string tag;
  int want;
  e2e::run_result sim;
};

struct checked_file {
  std::string name;
  std::string kind;  // "data", "oob" (nanddump --oob) or "file"
  int mtd;           // -1 for a file korvane wrote
};

// A text file the scenario leaves in the VM, and what a simulated board
// gives for it (`sim_what` says which, for the report).
struct checked_text {
  std::string name;
  std::string sim;
  std::string sim_what;
};

struct scenario {
  std::string name;
  std::string script;
  std::vector<run_record> runs;
  std::vector<checked_file> files;
  std::vector<checked_text> texts;
};

// Paths shared by every scenario. The host mirrors the VM's folders, so the
// relative image path "../../t/images/NAME.rom" means the same in both.
struct world {
  std::string work;     // KORVANE_VM_WORK
  std::string payload;  // work/t: becomes /t in the VM
  std::string board;    // the board file for korvane-sim
  std::string vm_bin;   // the programs built for the VM's machine
  bool arm = false;     // the VM is the 32-bit ARM one
};

class builder {
 public:
  builder(const world &w, std::string name) : w_(w) {
    s_.name = std::move(name);
    cwd_ = w.work + "/out/" + s_.name;
    state_ = w.work + "/state/" + s_.name;
    expect_ = w.payload + "/expect/" + s_.name;
    fs::create_directories(cwd_);
    fs::create_directories(state_);
    fs::create_directories(expect_);
    s_.script = "# " + s_.name + "\n. /t/lib.sh\n";
  }

  // A shell line for the VM only.
  void vm(const std::string &line) { s_.script += line + "\n"; }

  // Partition mtd erased and `data` written to it by the flash tools, in the
  // VM and on the simulated board.
  void marker(int mtd, const bytes &data) {
    std::string file = "marker-" + s_.name + "-mtd" + std::to_string(mtd);
    write_file(w_.payload + "/" + file, data);
    vm("marker " + std::to_string(mtd) + " /t/" + file);
    const partition &p = part(mtd);
    std::string base = state_ + "/mtd" + std::to_string(mtd);
    if (!p.nand) {
      write_file(base + ".data", nor_view(p, data));
      return;
    }
    bytes stream = nand_raw_view(p, data), disk;
    for (uint32_t b = 0, used = 0; b < p.size / p.erasesize; b++) {
      if (p.is_bad(b)) {
        disk += ff(p.erasesize);
      } else {
        disk += stream.substr(size_t(used++) * p.erasesize, p.erasesize);
      }
    }
    write_file(base + ".data", disk);
    write_file(base + ".oob", ff(size_t(p.size / PAGE) * OOB));
  }

  // korvane with args, in the VM and on the simulated board; want is the
  // exit status both must give.
  void run(const std::string &tag, const std::vector<std::string> &args, int want) {
    std::string line = "run " + tag;
    for (const auto &a : args) line += " '" + a + "'";
    vm(line);
    std::vector<std::string> argv = {
        e2e::bin("korvane-sim"), "--board", w_.board, "--state", state_, "--"};
    argv.insert(argv.end(), args.begin(), args.end());
    s_.runs.push_back({tag, want, e2e::run(argv, cwd_)});
  }

  // NAND partition mtd read back (data only, or with OOB) and compared with
  // `meaning` and with the simulated board at this point.
  void dump(int mtd, const std::string &name, const bytes &meaning, bool with_oob = false) {
    vm("dump_nand " + std::to_string(mtd) + " " + name + (with_oob ? " --oob" : ""));
    expect(name, meaning, sim_view(state_, part(mtd), with_oob));
    s_.files.push_back({name, with_oob ? "oob" : "data", mtd});
  }

  // NAND partition mtd read back in the VM alone and compared with
  // `meaning` (the VM's flash was made to differ from the simulated board).
  void dump_vm(int mtd, const std::string &name, const bytes &meaning) {
    vm("dump_nand " + std::to_string(mtd) + " " + name);
    write_file(expect_ + "/" + name + ".meaning", meaning);
    s_.files.push_back({name, "data", mtd});
  }

  // A NOR or RAM partition read back whole.
  void dump_mtd(int mtd, const std::string &name, const bytes &meaning) {
    vm("dump_mtd " + std::to_string(mtd) + " " + name);
    expect(name, meaning, sim_view(state_, part(mtd), false));
    s_.files.push_back({name, "data", mtd});
  }

  // A file korvane wrote in its folder (a fake MTD file).
  void file(const std::string &name, const bytes &meaning) {
    vm("check " + name);
    std::string sim = cwd_ + "/" + name;
    expect(name, meaning,
           e2e::file_exists(sim) ? read_file(sim) : bytes("(korvane-sim wrote no such file)"));
    s_.files.push_back({name, "file", -1});
  }

  // The MTD device's answers to mtd_probe's requests, in the VM (mtd_probe
  // built for the VM's machine) and on a fresh simulated board; for the ARM
  // VM also on the simulated board of that very armhf mtd_probe, under
  // qemu-arm.
  void probe(const std::string &name) {
    std::string vm_probe = w_.vm_bin + "/mtd_probe";
    fs::copy_file(vm_probe, w_.payload + "/mtd_probe", fs::copy_options::overwrite_existing);
    vm("/t/mtd_probe >" + name + " 2>&1");
    auto sim = [&](std::vector<std::string> argv) {
      e2e::scratch_dir fresh;
      argv.insert(argv.end(), {"--sim", w_.board, fresh.path() + "/state"});
      e2e::run_result r = e2e::run(argv);
      return r.out + r.err;
    };
    s_.texts.push_back({name, sim({e2e::bin("mtd_probe")}), "the simulated board"});
    if (w_.arm) {
      s_.texts.push_back({name, sim({"/usr/bin/env", "qemu-arm", vm_probe}),
                          "the armhf mtd_probe's simulated board (under qemu-arm)"});
    }
  }

  scenario done() { return std::move(s_); }

 private:
  void expect(const std::string &name, const bytes &meaning, const bytes &sim) {
    write_file(expect_ + "/" + name + ".meaning", meaning);
    if (sim == meaning) {
      fs::create_symlink(name + ".meaning", expect_ + "/" + name + ".sim");
    } else {
      write_file(expect_ + "/" + name + ".sim", sim);
    }
  }

  const world &w_;
  scenario s_;
  std::string cwd_, state_, expect_;
};

// An image made by korvane-mkrom from the blocks given.
struct block_input {
  std::string type, cypher;
  int id;
  std::string name;
  bytes content;
};

std::string make_image(const world &w, const std::string &name,
                       const std::vector<block_input> &blocks) {
  std::string dir = w.payload + "/images";
  fs::create_directories(dir);
  std::string image = dir + "/" + name + ".rom";
  auto must = [](const std::vector<std::string> &argv) {
    e2e::run_result r = e2e::run(argv);
    if (r.status != 0) {
      std::string cmd;
      for (const auto &a : argv) cmd += " " + a;
      throw std::runtime_error("failed (" + std::to_string(r.status) + "):" + cmd + "\n" + r.out +
                               r.err);
    }
  };
  must({e2e::bin("korvane-mkrom"), "create", image, "--dev-name", "vm", "--oem", "korvane",
        "--version", "1.0", "-f", "crc"});
  for (size_t i = 0; i < blocks.size(); i++) {
    const block_input &b = blocks[i];
    std::string input = dir + "/" + name + "." + std::to_string(i) + ".in";
    write_file(input, b.content);
    must({e2e::bin("korvane-mkrom"), "add", image, input, "-t", b.type, "-p", b.cypher, "--id",
          std::to_string(b.id), "--name", b.name, "--version", "1", "-f", "crc"});
    fs::remove(input);
  }
  return "../../t/images/" + name + ".rom";
}

// Whether this korvane has the kill step (it says "... not available in
// this build" otherwise).
bool kill_is_built(const world &w) {
  e2e::scratch_dir state;
  e2e::run_result r = e2e::run({e2e::bin("korvane-sim"), "--board", w.board, "--state",
                                state.path(), "--", "-k", "-I", w.payload + "/images/main.rom"});
  return r.out.find("not available") == std::string::npos;
}

// The payloads of the main image.
const bytes &boot_data() {
  static const bytes d = pattern(1000000, 1);
  return d;
}
const bytes &oob_records() {
  // 5 erase blocks and 10 pages of records: across mtd1's bad block 2.
  static const bytes d = pattern(size_t(5 * PAGES_PER_BLOCK + 10) * RECORD, 2);
  return d;
}
const bytes &kernel_data() {
  static const bytes d = pattern(600000, 3);
  return d;
}
const bytes &rootfs_data() {
  static const bytes d = pattern(400000, 4);
  return d;
}
const bytes &plain_data() {
  static const bytes d = pattern(900001, 5);
  return d;
}
const bytes &nvram_data() {
  static const bytes d = pattern(200000, 6);
  return d;
}

std::vector<scenario> make_scenarios(const world &w) {
  std::vector<scenario> all;
  const bytes marker = pattern(300000, 99);

  // The harness itself: the partitions, and the flash tools round-tripping
  // data on nandsim (across its bad blocks) and on mtdram.
  {
    builder b(w, "00-smoke");
    b.vm("cat /proc/mtd >proc-mtd.txt");
    bytes data = pattern(700000, 7);
    b.marker(0, data);
    b.dump(0, "mtd0.dump", marker_view(part(0), data));
    b.marker(6, data);
    b.dump_mtd(6, "mtd6.dump", marker_view(part(6), data));
    b.run("version", {"--version"}, 0);
    all.push_back(b.done());
  }

  // The board file korvane reads from /sys/class/mtd and the devices, before
  // any scenario has marked a block bad.
  {
    builder b(w, "05-board-file");
    b.run("board-file", {"--board-file"}, 0);
    all.push_back(b.done());
  }

  // One image with a block for every kind of partition: cypher1 across two
  // bad blocks, page records with OOB across a bad block, cypher3, cypher4
  // and none each across a bad block, cypher1 onto mtdram, and a block that
  // is not for flash.
  std::string main_image = make_image(w, "main",
                                      {{"nand-raw", "cypher1", 0, "boot", boot_data()},
                                       {"nand-oob", "cypher1", 1, "oobfs", oob_records()},
                                       {"nand-raw", "cypher3", 2, "kernel", kernel_data()},
                                       {"nand-raw", "cypher4", 3, "rootfs", rootfs_data()},
                                       {"nand-raw", "none", 4, "data", plain_data()},
                                       {"nor", "cypher1", 6, "nvram", nvram_data()},
                                       {"file", "none", 7, "notes", pattern(5000, 8)}});
  auto raw = [](int mtd, const bytes &d) {
    return nand_raw_view(part(mtd), chunked(d, ERASE, PAGE));
  };
  {
    builder b(w, "10-install");
    b.run("install", {"-V", "-e", main_image}, 0);
    b.dump(0, "mtd0.dump", raw(0, boot_data()));
    b.dump(1, "mtd1.oob", nand_oob_view(part(1), oob_records()), true);
    b.dump(2, "mtd2.dump", raw(2, kernel_data()));
    b.dump(3, "mtd3.dump", raw(3, rootfs_data()));
    b.dump(4, "mtd4.dump", raw(4, plain_data()));
    b.dump_mtd(6, "mtd6.dump", nor_view(part(6), nvram_data()));
    all.push_back(b.done());
  }

  // -o: only the listed partitions are programmed.
  {
    builder b(w, "20-select");
    b.marker(2, marker);
    b.marker(3, marker);
    b.run("select", {"-V", "-o", "3,6", "-e", main_image}, 0);
    b.dump(2, "mtd2.dump", marker_view(part(2), marker));
    b.dump(3, "mtd3.dump", raw(3, rootfs_data()));
    all.push_back(b.done());
  }

  // -m: the blocks go to fake files (no gap where the device has bad
  // blocks; OOB images without ECC bytes) and the devices stay untouched.
  {
    builder b(w, "30-simulate");
    b.marker(0, marker);
    b.marker(1, marker);
    b.marker(6, marker);
    b.run("simulate", {"-V", "-m", "-o", "0,1,6", "-e", main_image}, 0);
    b.dump(0, "mtd0.dump", marker_view(part(0), marker));
    b.dump(1, "mtd1.dump", marker_view(part(1), marker));
    b.dump_mtd(6, "mtd6.dump", marker_view(part(6), marker));
    b.file("fake-mtd0-boot", chunked(boot_data(), ERASE, PAGE));
    b.file("fake-mtd1-oobfs", fake_oob_file(oob_records()));
    b.file("fake-mtd6-nvram", nvram_data());
    all.push_back(b.done());
  }

  // -z: everything decoded, nothing erased or written; with -m the fake
  // file is created empty.
  {
    builder b(w, "40-discard");
    b.marker(4, marker);
    b.run("discard", {"-V", "-z", "-o", "4", "-e", main_image}, 0);
    b.dump(4, "mtd4.dump", marker_view(part(4), marker));
    b.run("discard-simulate", {"-z", "-m", "-o", "4", "-e", main_image}, 0);
    b.file("fake-mtd4-data", "");
    all.push_back(b.done());
  }

  // A block for a partition the board lacks: the run fails without -s; with
  // -s it is passed over and the next block is programmed; with -s -m it
  // runs against mtd0's geometry into its own fake file.
  std::string ghost_data = pattern(150000, 10), data2 = pattern(70000, 11);
  std::string missing_image = make_image(
      w, "missing",
      {{"nand-raw", "cypher1", 9, "ghost", ghost_data}, {"nand-raw", "none", 4, "data2", data2}});
  {
    builder b(w, "50-missing");
    b.marker(4, marker);
    b.run("no-skip", {"-e", missing_image}, 1);
    b.dump(4, "mtd4-no-skip.dump", marker_view(part(4), marker));
    b.run("skip", {"-s", "-e", missing_image}, 0);
    b.dump(4, "mtd4-skip.dump", raw(4, data2));
    b.run("skip-simulate", {"-V", "-s", "-m", "-e", missing_image}, 0);
    b.file("fake-mtd9-ghost", chunked(ghost_data, ERASE, PAGE));
    b.file("fake-mtd4-data2", chunked(data2, ERASE, PAGE));
    all.push_back(b.done());
  }

  // Blocks larger than their partitions fail the run, on NAND (15 good
  // blocks) and on mtdram.
  bytes big_nand = pattern(size_t(part(2).good_blocks()) * ERASE + 3000, 12);
  bytes big_ram = pattern(part(6).size + 1, 13);
  std::string big_nand_image =
      make_image(w, "big-nand", {{"nand-raw", "none", 2, "huge", big_nand}});
  std::string big_ram_image = make_image(w, "big-ram", {{"nor", "none", 6, "huge", big_ram}});
  {
    builder b(w, "60-too-large");
    b.run("nand", {"-e", big_nand_image}, 1);
    b.dump(2, "mtd2.dump",
           nand_raw_view(part(2), big_nand.substr(0, size_t(part(2).good_blocks()) * ERASE)));
    b.run("ram", {"-e", big_ram_image}, 1);
    b.dump_mtd(6, "mtd6.dump", big_ram.substr(0, part(6).size));
    all.push_back(b.done());
  }

  // --preflight: an image too large for its partition once its bad block is
  // counted, a payload whose CRC is wrong and a truncated image are refused
  // before anything is erased, and the pre-filled partitions read back byte
  // for byte as they did before; the dry run touches nothing either; a good
  // image installs.
  std::string bad_crc_image =
      make_image(w, "bad-crc", {{"nand-raw", "none", 2, "crc", pattern(300000, 15)}});
  {
    std::string path = w.payload + "/images/bad-crc.rom";
    bytes img = read_file(path);
    img[128 + 128 + 1000] ^= 0x10;  // a payload byte
    write_file(path, img);
  }
  std::string cut_image = make_image(w, "cut",
                                     {{"nand-raw", "none", 2, "first", pattern(200000, 16)},
                                      {"nand-raw", "none", 4, "second", pattern(400000, 17)}});
  fs::resize_file(w.payload + "/images/cut.rom", 128 + 128 + 200000 + 128 + 1000);
  std::string good_image =
      make_image(w, "good", {{"nand-raw", "cypher1", 2, "kernel", kernel_data()}});
  {
    builder b(w, "65-preflight");
    b.marker(2, marker);
    b.marker(4, marker);
    b.dump(2, "mtd2-before.dump", marker_view(part(2), marker));
    b.run("too-large", {"--preflight", "-e", big_nand_image}, 1);
    b.run("bad-crc", {"--preflight", "-e", bad_crc_image}, 1);
    b.run("truncated", {"--preflight", "-e", cut_image}, 1);
    b.run("dry-run", {"--preflight", "-z", "-e", good_image}, 0);
    b.dump(2, "mtd2-after.dump", marker_view(part(2), marker));
    b.dump(4, "mtd4-after.dump", marker_view(part(4), marker));
    b.run("good", {"--preflight", "--device", "vm", "-e", good_image}, 0);
    b.dump(2, "mtd2-good.dump", raw(2, kernel_data()));
    all.push_back(b.done());
  }

  // --read-back, --skip-unchanged and --mark-bad on nandsim, loaded again
  // for the scenario. First every good erase block of mtd2 may be erased
  // once and its first page written once (nandsim's weak blocks and pages):
  // a second install that erased or wrote anything there would fail, as
  // the plain -e after it shows. Then with a weak page and a weak block,
  // then with random bitflips; the VM's nandsim is put back as it was at
  // the end. The first two runs are compared with the simulated board; the
  // others are the VM's alone (nandsim's weak cells and flips are its own).
  std::string worn_image = make_image(w, "worn",
                                      {{"nand-raw", "none", 2, "kernel", kernel_data()},
                                       {"nand-raw", "none", 4, "rootfs", rootfs_data()}});
  const bytes big = pattern(4096, 21) + bytes(8u << 20, '\0');
  std::string flips_image = make_image(w, "flips", {{"nand-raw", "cypher1", 5, "big", big}});
  {
    builder b(w, "95-readback");
    std::string once = "weakpages=" + std::to_string(2 * PART_BLOCKS * PAGES_PER_BLOCK) + ":1";
    for (uint32_t blk = 0; blk < PART_BLOCKS; blk++) {
      if (part(2).is_bad(blk)) continue;
      once += std::string(blk == 0 ? " weakblocks=" : ",") + std::to_string(2 * PART_BLOCKS + blk) +
              ":1";
    }
    b.vm("nandsim_reload " + once);
    b.run("read-back", {"--read-back", "-e", good_image}, 0);
    b.dump(2, "mtd2.dump", raw(2, kernel_data()));
    b.run("unchanged", {"--skip-unchanged", "--read-back", "-e", good_image}, 0);
    b.vm("run again '-e' '" + good_image + "'");
    b.vm("nandsim_reload weakpages=2181:0 weakblocks=65:0");
    b.vm("run worn-plain '-e' '" + worn_image + "'");
    b.vm("run worn '--mark-bad' '--read-back' '-e' '" + worn_image + "'");
    partition p2 = part(2), p4 = part(4);
    p2.bad = {1, 2};
    p4.bad = {1, 6};
    b.dump_vm(2, "mtd2-worn.dump", nand_raw_view(p2, chunked(kernel_data(), ERASE, PAGE)));
    b.dump_vm(4, "mtd4-worn.dump", nand_raw_view(p4, chunked(rootfs_data(), ERASE, PAGE)));
    b.vm("nandsim_reload bitflips=1");
    b.vm("for i in 1 2 3; do run flips-$i '--read-back' '-e' '" + flips_image +
         "'; grep -q 'ecc-corrected=[1-9]' flips-$i.out && break; done; true");
    b.vm("nandsim_reload");
    all.push_back(b.done());
  }

  // Signed images (--pubkey): an image changed after signing (one payload
  // byte) is refused before anything is erased, the pre-filled partition
  // reads back as it was; the image as signed installs.
  {
    const std::string images = w.payload + "/images";
    const std::string secret = w.work + "/board.key", pub = images + "/board.pub";
    fs::remove(secret);
    fs::remove(pub);
    std::string signed_image =
        make_image(w, "signed", {{"nand-raw", "cypher1", 2, "kernel", kernel_data()}});
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{e2e::bin("korvane-mkrom"), "keygen", secret, pub},
          {e2e::bin("korvane-mkrom"), "sign", images + "/signed.rom", secret}}) {
      e2e::run_result r = e2e::run(argv);
      if (r.status != 0) throw std::runtime_error("failed: " + argv[1] + "\n" + r.err);
    }
    bytes img = read_file(images + "/signed.rom");
    img[128 + 128 + 500] ^= 0x01;  // a payload byte
    write_file(images + "/tampered.rom", img);
    fs::permissions(images + "/tampered.rom", fs::perms::owner_read | fs::perms::owner_write);
    const std::string key = "../../t/images/board.pub";
    builder b(w, "66-signed");
    b.marker(2, marker);
    b.dump(2, "mtd2-before.dump", marker_view(part(2), marker));
    b.run("tampered", {"--pubkey", key, "-e", "../../t/images/tampered.rom"}, 1);
    b.dump(2, "mtd2-after.dump", marker_view(part(2), marker));
    b.run("good", {"--pubkey", key, "-e", signed_image}, 0);
    b.dump(2, "mtd2-good.dump", raw(2, kernel_data()));
    all.push_back(b.done());
  }

  // Block alignment with a zero pad byte: the last chunk is padded with
  // zeros to the erase block.
  bytes small = pattern(5000, 14);
  std::string small_image = make_image(w, "small", {{"nand-raw", "none", 4, "small", small}});
  {
    builder b(w, "70-align");
    b.run("block-align", {"-a", "block-align,pad=0x00", "-e", small_image}, 0);
    b.dump(4, "mtd4.dump", nand_raw_view(part(4), chunked(small, ERASE, ERASE, '\0')));
    all.push_back(b.done());
  }

  // The devices themselves: the simulated board must answer every MTD
  // request as the kernel does.
  {
    builder b(w, "90-devices");
    b.probe("probe.txt");
    all.push_back(b.done());
  }

  // -k with process 1 of the VM as korvane's parent. The VM has none of the
  // board's control files (nor has the simulated board of its partitions,
  // which has no proc lines): korvane refuses -k before it does anything,
  // so every other process lives on and nothing is installed.
  if (kill_is_built(w)) {
    builder b(w, "80-kill.pid1");
    b.marker(4, marker);
    for (const char *name : {"first", "second", "third"}) b.vm(std::string("sleeper ") + name);
    b.run("kill", {"-k", "-e", small_image}, 1);
    b.vm("sleepers_report sleepers.txt");
    b.dump(4, "mtd4.dump", marker_view(part(4), marker));
    all.push_back(b.done());
  }
  return all;
}

// ---- the VM ---------------------------------------------------------------

struct vm_outcome {
  bool ran = false;
  std::string failure;  // why the VM gave no results
  std::string results;  // folder of the scenarios' results
  std::string log;      // what the scenarios printed
  std::vector<scenario> scenarios;
};

vm_outcome &outcome() {
  static vm_outcome o;
  return o;
}

class vm_environment : public testing::Environment {
 public:
  void SetUp() override {
    vm_outcome &o = outcome();
    world w;
    w.work = env("KORVANE_VM_WORK", KORVANE_VM_WORK);
    w.payload = w.work + "/t";
    w.board = w.work + "/board.txt";
    std::string machine = env("KORVANE_VM_ARCH", "x86");
    ASSERT_TRUE(machine == "x86" || machine == "arm")
        << "KORVANE_VM_ARCH is " << machine << ": x86 or arm";
    w.arm = machine == "arm";
    std::string host_bin = fs::path(e2e::bin("korvane-static")).parent_path().string();
    w.vm_bin = env("KORVANE_VM_BIN_DIR", host_bin.c_str());
    for (const char *program : {"korvane-static", "mtd_probe"}) {
      ASSERT_TRUE(e2e::file_exists(w.vm_bin + "/" + program))
          << "no " << program << " in " << w.vm_bin
          << (w.arm ? " (the armhf build: cmake --preset armhf && cmake --build --preset armhf "
                      "--target korvane-static mtd_probe; scripts/kernel-test.sh does that)"
                    : "");
    }
    std::string scripts = env("KORVANE_VM_SCRIPTS", KORVANE_VM_SCRIPTS);
    std::string cache = env("KORVANE_VM_CACHE", KORVANE_VM_CACHE);
    fs::remove_all(w.work);
    fs::create_directories(w.payload + "/scenarios");
    write_file(w.board, sim_board_text());
    write_file(w.payload + "/vm.conf", vm_conf());
    fs::copy_file(scripts + "/lib.sh", w.payload + "/lib.sh");

    try {
      o.scenarios = make_scenarios(w);
    } catch (const std::exception &e) {
      FAIL() << "preparing the scenarios: " << e.what();
    }
    for (const scenario &s : o.scenarios)
      write_file(w.payload + "/scenarios/" + s.name + ".sh", s.script);

    std::vector<std::string> fetch = {scripts + "/fetch-kernel.sh", "--arch", "amd64"};
    if (w.arm) {
      std::string flavour = env("KORVANE_VM_ARM_KERNEL", "armmp");
      fetch = {scripts + "/fetch-kernel.sh", "--arch", "armhf", "--flavour", flavour};
    }
    fetch.push_back(cache);
    e2e::run_result kernel = e2e::run(fetch);
    ASSERT_EQ(kernel.status, 0) << "fetching the kernel failed:\n" << kernel.err;
    std::string kernel_dir = kernel.out.substr(0, kernel.out.find('\n'));

    std::string out = w.work + "/vm";
    e2e::run_result vm =
        e2e::run({scripts + "/vm.sh", "--arch", machine, "--kernel", kernel_dir, "--korvane",
                  w.vm_bin + "/korvane-static", "--payload", w.payload, "--out", out, "--timeout",
                  env("KORVANE_VM_TIMEOUT", w.arm ? "600" : "300")});
    std::fprintf(stderr, "%s", vm.err.c_str());
    o.log = read_file(out + "/log.txt");
    if (vm.status != 0) {
      std::string reason = vm.err;
      size_t at = reason.rfind("vm: ");
      o.failure = at == std::string::npos ? reason : reason.substr(at);
      FAIL() << "the kernel VM " << o.failure << "\nscenario log:\n" << o.log;
    }
    o.ran = true;
    o.results = out + "/results";
  }
};

// Decompresses a dump that came back because it differs.
bytes gunzip(const std::string &path) {
  e2e::run_result r = e2e::run({"/bin/sh", "-c", "gzip -dc < '" + path + "'"});
  return r.out;
}

const scenario *find_scenario(const std::string &name) {
  for (const scenario &s : outcome().scenarios)
    if (s.name == name) return &s;
  return nullptr;
}

// Every check of one scenario: it ran to its end; each korvane run exited
// as wanted in the VM and on the simulated board and printed the same there;
// each read-back equals what the block means and what the simulated board
// holds.
void check_scenario(const std::string &name) {
  const vm_outcome &o = outcome();
  ASSERT_TRUE(o.ran) << "no results: the kernel VM " << o.failure;
  const scenario *s = find_scenario(name);
  ASSERT_NE(s, nullptr);
  std::string dir = o.results + "/" + name;
  std::string status = read_file(dir + "/scenario.status");
  ASSERT_EQ(status, "0\n") << "the scenario script stopped early (status " << status
                           << "); its folder: " << dir;
  for (const run_record &r : s->runs) {
    std::string vm_status = read_file(dir + "/" + r.tag + ".status");
    std::string vm_out = read_file(dir + "/" + r.tag + ".out");
    EXPECT_EQ(vm_status, std::to_string(r.want) + "\n")
        << r.tag << ": korvane's exit status in the VM; it printed:\n"
        << vm_out << read_file(dir + "/" + r.tag + ".err");
    EXPECT_EQ(r.sim.status, r.want) << r.tag << ": korvane-sim's exit status; it printed:\n"
                                    << r.sim.out << r.sim.err;
    EXPECT_EQ(vm_out, r.sim.out)
        << r.tag
        << ": korvane printed something else in the VM (first) than on the "
           "simulated board (second)";
  }
  for (const checked_text &t : s->texts) {
    std::string vm = read_file(dir + "/" + t.name);
    if (vm == t.sim) continue;
    // Line by line: each differing line is one request answered otherwise.
    std::istringstream a(vm), b(t.sim);
    std::string la, lb, report;
    while (true) {
      bool more_a = static_cast<bool>(std::getline(a, la)),
           more_b = static_cast<bool>(std::getline(b, lb));
      if (!more_a && !more_b) break;
      if (!more_a) la = "(nothing)";
      if (!more_b) lb = "(nothing)";
      if (la != lb) report += "  kernel: " + la + "\n  sim:    " + lb + "\n";
    }
    ADD_FAILURE() << t.name << ": the kernel's devices and " << t.sim_what
                  << " answer differently:\n"
                  << report;
  }
  std::string expect = o.results + "/../../t/expect/" + name;
  for (const checked_file &f : s->files) {
    std::string verdicts = read_file(dir + "/" + f.name + ".cmp");
    std::istringstream lines(verdicts);
    std::string line;
    bool ok = !verdicts.empty();
    while (std::getline(lines, line))
      ok = ok && line.size() > 5 && line.substr(line.size() - 5) == " same";
    if (!ok) {
      std::string detail;
      if (e2e::file_exists(dir + "/" + f.name + ".gz")) {
        bytes got = gunzip(dir + "/" + f.name + ".gz");
        bytes meaning = read_file(expect + "/" + f.name + ".meaning");
        bytes sim = read_file(expect + "/" + f.name + ".sim");
        if (got != meaning)
          detail += " against what the block means:\n" + differences(got, meaning, f.kind, f.mtd);
        if (got != sim)
          detail += " against the simulated board:\n" + differences(got, sim, f.kind, f.mtd);
      }
      ADD_FAILURE() << f.name << " read back in the VM differs:\n" << verdicts << detail;
    }
    if (f.kind != "file" && f.mtd >= 0 && part(f.mtd).nand) {
      // The kernel read every page with its ECC: what korvane wrote left the
      // ECC bytes consistent with the data.
      std::string stats = read_file(dir + "/" + f.name + ".stats");
      EXPECT_NE(stats.find("ECC failed: 0\n"), std::string::npos) << f.name << ":\n" << stats;
      EXPECT_NE(stats.find("ECC corrected: 0\n"), std::string::npos) << f.name << ":\n" << stats;
    }
  }
}

std::string result_text(const std::string &scenario_name, const std::string &file) {
  return read_file(outcome().results + "/" + scenario_name + "/" + file);
}

TEST(kernel_vm, smoke) {
  check_scenario("00-smoke");
  if (!outcome().ran) return;
  // /proc/mtd lists what the module parameters asked for.
  std::string proc = result_text("00-smoke", "proc-mtd.txt");
  for (const partition &p : board()) {
    char line[80];
    std::snprintf(line, sizeof line, "mtd%d: %08x %08x \"%s", p.mtd, p.size, p.erasesize,
                  p.nand ? "NAND simulator partition" : "mtdram test device");
    EXPECT_NE(proc.find(line), std::string::npos) << line << " missing from /proc/mtd:\n" << proc;
  }
  EXPECT_NE(result_text("00-smoke", "version.out").find("korvane 1.0.4.9"), std::string::npos);
}

// korvane --board-file in the VM prints the partitions the module
// parameters asked for (the same as korvane-sim on the board that mirrors
// them, checked by check_scenario), and korvane-mkrom check takes it.
TEST(kernel_vm, board_file_from_the_board) {
  check_scenario("05-board-file");
  if (!outcome().ran) return;
  std::string want =
      "# the running board, from /sys/class/mtd and /dev/mtdN (korvane --board-file)\n";
  for (const partition &p : board()) {
    want += "mtd" + std::to_string(p.mtd) + (p.nand ? " nand" : " ram") + " size=" +
            (p.size % (1u << 20) == 0 ? std::to_string(p.size >> 20) + "M"
                                      : std::to_string(p.size >> 10) + "K") +
            " erase=" + std::to_string(p.erasesize >> 10) + "K";
    if (p.nand) want += " page=2048 oob=64";
    for (size_t i = 0; i < p.bad.size(); i++)
      want += (i ? "," : " bad=") + std::to_string(p.bad[i]);
    want += " name=\"" + part_name(p) + "\"\n";
  }
  const std::string printed = result_text("05-board-file", "board-file.out");
  EXPECT_EQ(printed, want);

  e2e::scratch_dir dir;
  write_file(dir / "board", printed);
  const std::string image = outcome().results + "/../../t/images/main.rom";
  e2e::run_result r =
      e2e::run({e2e::bin("korvane-mkrom"), "check", image, "--board", dir / "board"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(": 6 flash blocks fit "), std::string::npos) << r.out;
  // boot: 1,000,000 bytes in 8 of mtd0's 14 good erase blocks (3 and 7 bad).
  EXPECT_NE(r.out.find("\nmtd0: 8 of 14 good erase blocks used by 'boot', 6 left (786432 bytes, "
                       "42.8%)\n"),
            std::string::npos)
      << r.out;
}

TEST(kernel_vm, install_every_partition_kind) { check_scenario("10-install"); }

TEST(kernel_vm, selection) {
  check_scenario("20-select");
  if (!outcome().ran) return;
  EXPECT_NE(result_text("20-select", "select.out").find("skiping block,mtd2...\n"),
            std::string::npos);
}

TEST(kernel_vm, simulate_leaves_devices_alone) { check_scenario("30-simulate"); }

TEST(kernel_vm, discard_leaves_devices_alone) { check_scenario("40-discard"); }

TEST(kernel_vm, missing_partition) {
  check_scenario("50-missing");
  if (!outcome().ran) return;
  EXPECT_NE(result_text("50-missing", "skip.out").find("!!!!!!<<<skip 0 bad block>>>!!!!!!\n"),
            std::string::npos);
}

TEST(kernel_vm, block_too_large) { check_scenario("60-too-large"); }

TEST(kernel_vm, preflight_refuses_before_touching_flash) {
  check_scenario("65-preflight");
  if (!outcome().ran) return;
  const char *refusals[][2] = {{"too-large",
                                "bad=1 good=15 decoded=1969080 write=1970176 "
                                "pages=962 eblocks=16 result=refused problems=too-large"},
                               {"bad-crc", "check=crc-bad install=program partition=mtd2"},
                               {"truncated", "result=refused problems=cut-short,payload-crc"}};
  for (const auto &[tag, words] : refusals) {
    std::string out = result_text("65-preflight", std::string(tag) + ".out");
    EXPECT_NE(out.find(words), std::string::npos) << tag << ":\n" << out;
    EXPECT_NE(out.find("preflight: verdict=refused"), std::string::npos) << tag << ":\n" << out;
  }
  EXPECT_NE(result_text("65-preflight", "good.out").find("preflight: verdict=ok"),
            std::string::npos);
}

TEST(kernel_vm, signed_image_checked_before_touching_flash) {
  check_scenario("66-signed");
  if (!outcome().ran) return;
  EXPECT_EQ(result_text("66-signed", "tampered.out")
                .rfind("signature: result=refused problem=bad-signature ", 0),
            0u);
  EXPECT_EQ(result_text("66-signed", "good.out").rfind("signature: result=ok ", 0), 0u);
}

TEST(kernel_vm, block_align_zero_pad) { check_scenario("70-align"); }

TEST(kernel_vm, read_back_skip_unchanged_mark_bad) {
  check_scenario("95-readback");
  if (!outcome().ran) return;
  const std::string s = "95-readback";
  EXPECT_NE(result_text(s, "read-back.out").find("read-back: mtd2 ok bytes=600064 "),
            std::string::npos)
      << result_text(s, "read-back.out");
  EXPECT_EQ(result_text(s, "unchanged.out"), "skip-unchanged: mtd2 unchanged\n");
  // It erased and wrote nothing: an install that erases fails there now.
  EXPECT_EQ(result_text(s, "again.status"), "1\n");
  EXPECT_NE(result_text(s, "again.out").find("MTD Erase failure: Input/output error"),
            std::string::npos)
      << result_text(s, "again.out");
  // Without --mark-bad the worn page fails the install, as it always did.
  EXPECT_EQ(result_text(s, "worn-plain.status"), "1\n");
  EXPECT_EQ(result_text(s, "worn.status"), "0\n") << result_text(s, "worn.out");
  const std::string worn = result_text(s, "worn.out");
  for (const char *line : {"mark-bad: mtd2 block=0x00040000 op=write marked\n",
                           "mark-bad: mtd4 block=0x00020000 op=erase marked\n",
                           "read-back: mtd2 ok ", "read-back: mtd4 ok "})
    EXPECT_NE(worn.find(line), std::string::npos) << line << " missing from:\n" << worn;
  // Random bitflips: some run's read-back saw corrected ones, and passed.
  std::string flips;
  for (const char *run : {"flips-1", "flips-2", "flips-3"}) {
    std::string path = outcome().results + "/" + s + "/" + run + ".out";
    if (e2e::file_exists(path)) flips += read_file(path);
  }
  EXPECT_TRUE(std::regex_search(flips, std::regex("read-back: mtd5 ok bytes=8392704 "
                                                  "ecc-corrected=[1-9][0-9]* ecc-failed=0\n")))
      << flips;
  EXPECT_EQ(flips.find("differs"), std::string::npos) << flips;
}

TEST(kernel_vm, simulated_devices_answer_as_the_kernels) { check_scenario("90-devices"); }

TEST(kernel_vm, kill_is_refused_without_the_boards_control_files) {
  if (outcome().ran && !find_scenario("80-kill.pid1")) GTEST_SKIP() << "this korvane has no -k yet";
  check_scenario("80-kill.pid1");
  if (!outcome().ran) return;
  // korvane said why (the same line as on the simulated board, compared by
  // check_scenario) and ended with 1; mtd4 still holds its marker; no
  // sleeper was signalled.
  EXPECT_EQ(result_text("80-kill.pid1", "kill.out").rfind("board: result=refused wanted=kill ", 0),
            0u);
  EXPECT_EQ(result_text("80-kill.pid1", "sleepers.txt"),
            "first alive\nsecond alive\nthird alive\n");
}

}  // namespace
}  // namespace korvane

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new korvane::vm_environment);
  return RUN_ALL_TESTS();
}
