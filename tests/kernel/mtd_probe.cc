// SPDX-License-Identifier: MIT
// The MTD character device's answers, one line each, to a fixed series of
// requests through the platform table: the real Linux calls, or with
// --sim BOARD STATE the simulated board. The kernel tier runs it in the VM
// and on korvane-sim's board, and any line that differs is a place where
// the simulated board does not behave as the kernel does.
//
// It expects the VM's board: mtd0 NAND with 2048-byte pages, 64 OOB bytes,
// 128 KiB erase blocks and bad blocks 3 and 7; mtd6 RAM with 64 KiB erase
// blocks. It erases and writes mtd0's blocks 0 to 2 and the first erase
// block of mtd6, and erases and writes its erase blocks 2 to 5. Its NAND
// reads go through the kernel's software ECC.
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// clang-format off
#include <mtd/mtd-abi.h>
// clang-format on

#include "mtd/mtd.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "sim/sim_board.h"

namespace korvane {
namespace {

constexpr uint32_t PAGE = 2048, ERASE = 128 * 1024, RAM_ERASE = 64 * 1024;

std::string outcome(long r) {
  if (r >= 0) return std::to_string(r);
  const char *name = strerrorname_np(errno);
  return std::string("-1 ") + (name ? name : std::to_string(errno).c_str());
}

void say(const std::string &what, long r) {
  std::printf("%s -> %s\n", what.c_str(), outcome(r).c_str());
}

std::vector<uint8_t> fill(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

// How bytes read back relate to two writes: the second alone, both ANDed,
// all 0xFF, or something else.
std::string relation(const std::vector<uint8_t> &got, const std::vector<uint8_t> &first,
                     const std::vector<uint8_t> &second) {
  bool last = true, anded = true, erased = true, only_first = true;
  for (size_t i = 0; i < got.size(); i++) {
    last = last && got[i] == second[i];
    anded = anded && got[i] == (first[i] & second[i]);
    erased = erased && got[i] == 0xFF;
    only_first = only_first && got[i] == first[i];
  }
  if (last && anded) return "second (= first AND second)";
  if (last) return "second";
  if (anded) return "first AND second";
  if (erased) return "erased";
  if (only_first) return "first";
  size_t off = 0;
  for (size_t i = 0; i < got.size(); i++) off += got[i] != (first[i] & second[i]);
  return "other (" + std::to_string(off) + " bytes differ from first AND second)";
}

struct probe {
  int fd;
  std::string dev;

  long at(uint64_t pos) { return plat().lseek(fd, static_cast<off_t>(pos), SEEK_SET); }
  long write_at(uint64_t pos, const std::vector<uint8_t> &d) {
    if (at(pos) < 0) return -1;
    return plat().write(fd, d.data(), d.size());
  }
  std::vector<uint8_t> read_at(uint64_t pos, size_t n, long *r) {
    std::vector<uint8_t> d(n, 0);
    *r = at(pos) < 0 ? -1 : plat().read(fd, d.data(), n);
    return d;
  }
  long erase(uint32_t start, uint32_t length) {
    erase_info_user e{start, length};
    return plat().ioctl(fd, MEMERASE, &e);
  }
  long bad(int64_t offset) { return plat().ioctl(fd, MEMGETBADBLOCK, &offset); }
  std::string name(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    char buf[200];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return dev + " " + buf;
  }

  void info() {
    mtd_info_user m{};
    long r = plat().ioctl(fd, MEMGETINFO, &m);
    say(dev + " MEMGETINFO", r);
    if (r == 0)
      std::printf("%s info type=%u size=%u erasesize=%u writesize=%u oobsize=%u flags=0x%x\n",
                  dev.c_str(), m.type, m.size, m.erasesize, m.writesize, m.oobsize, m.flags);
  }

  void oobsel() {
    nand_oobinfo oi;
    memset(&oi, 0xAB, sizeof oi);
    long r = plat().ioctl(fd, MEMGETOOBSEL, &oi);
    say(dev + " MEMGETOOBSEL", r);
    if (r != 0) return;
    std::printf("%s oobsel useecc=%u eccbytes=%u free=", dev.c_str(), oi.useecc, oi.eccbytes);
    for (auto &f : oi.oobfree) std::printf("%u:%u ", f[0], f[1]);
    std::printf("eccpos=");
    for (uint32_t i = 0; i < oi.eccbytes && i < sizeof oi.eccpos / sizeof oi.eccpos[0]; i++)
      std::printf("%u ", oi.eccpos[i]);
    std::printf("\n");
  }

  void writeoob(uint32_t start, uint32_t length) {
    std::vector<uint8_t> d = fill(length ? length : 1, 0x30);
    mtd_oob_buf b{start, length, d.data()};
    long r = plat().ioctl(fd, MEMWRITEOOB, &b);
    say(name("MEMWRITEOOB start=%u length=%u", start, length), r);
    if (r == 0) std::printf("%s length after the call: %u\n", dev.c_str(), b.length);
  }

  // Writes `first` then `second` at pos without an erase between, and
  // reads back.
  void twice(uint64_t pos, size_t n) {
    std::vector<uint8_t> a = fill(n, 0x5A), b = fill(n, 0xC3);
    say(name("write %zu at %llu", n, (unsigned long long)pos), write_at(pos, a));
    say(name("write %zu at %llu again", n, (unsigned long long)pos), write_at(pos, b));
    long r;
    std::vector<uint8_t> got = read_at(pos, n, &r);
    say(name("read %zu at %llu", n, (unsigned long long)pos), r);
    std::printf("%s read back holds: %s\n", dev.c_str(), relation(got, a, b).c_str());
  }
};

void nand(probe &p) {
  p.info();
  for (int64_t off :
       {int64_t(0), int64_t(3) * ERASE, int64_t(7) * ERASE, int64_t(3) * ERASE + 100,
        int64_t(15) * ERASE, int64_t(16) * ERASE, int64_t(17) * ERASE, -int64_t(ERASE)})
    say(p.name("MEMGETBADBLOCK %lld", (long long)off), p.bad(off));
  p.oobsel();
  // The request number of the legacy layout with 64 ECC positions (328
  // bytes) that older headers gave.
  std::vector<uint8_t> legacy(328, 0);
  say(p.name("ioctl 0x81484d0a (328-byte nand_oobinfo)"),
      plat().ioctl(p.fd, 0x81484d0a, legacy.data()));

  // Erase: good blocks, a bad block, a range running into a bad block,
  // unaligned start and length, past the end.
  say(p.name("MEMERASE 0+%u", 3 * ERASE), p.erase(0, 3 * ERASE));
  say(p.name("MEMERASE %u+%u (bad)", 3 * ERASE, ERASE), p.erase(3 * ERASE, ERASE));
  say(p.name("MEMERASE %u+%u", 4 * ERASE, ERASE), p.erase(4 * ERASE, ERASE));
  say(p.name("write %u at %u", PAGE, 2 * ERASE), p.write_at(2 * ERASE, fill(PAGE, 9)));
  say(p.name("write %u at %u", PAGE, 4 * ERASE), p.write_at(4 * ERASE, fill(PAGE, 9)));
  say(p.name("MEMERASE %u+%u (good, bad, good)", 2 * ERASE, 3 * ERASE),
      p.erase(2 * ERASE, 3 * ERASE));
  for (uint32_t block : {2u, 4u}) {
    long rr;
    std::vector<uint8_t> got = p.read_at(block * ERASE, PAGE, &rr);
    std::printf("%s block %u after that erase: %s\n", p.dev.c_str(), block,
                got == fill(PAGE, 9)                      ? "the data"
                : got == std::vector<uint8_t>(PAGE, 0xFF) ? "erased"
                                                          : "other");
  }
  say(p.name("MEMERASE %u+%u (unaligned start)", ERASE / 2, ERASE), p.erase(ERASE / 2, ERASE));
  say(p.name("MEMERASE 0+%u (unaligned length)", ERASE / 2), p.erase(0, ERASE / 2));
  say(p.name("MEMERASE %u+%u (past the end)", 16 * ERASE, ERASE), p.erase(16 * ERASE, ERASE));
  say(p.name("MEMERASE %u+%u (across the end)", 15 * ERASE, 2 * ERASE),
      p.erase(15 * ERASE, 2 * ERASE));
  say(p.name("MEMERASE 0+0"), p.erase(0, 0));

  // Page writes: programming twice without an erase, unaligned offset and
  // length, several pages at once, into a bad block, at and across the end.
  p.twice(0, PAGE);
  say(p.name("write 100 at %u (short page)", PAGE), p.write_at(PAGE, fill(100, 1)));
  say(p.name("write %u at %u (unaligned offset)", PAGE, 2 * PAGE + 100),
      p.write_at(2 * PAGE + 100, fill(PAGE, 2)));
  say(p.name("write %u at %u (three pages)", 3 * PAGE, 8 * PAGE),
      p.write_at(8 * PAGE, fill(3 * PAGE, 3)));
  say(p.name("write %u at %u (bad block)", PAGE, 3 * ERASE), p.write_at(3 * ERASE, fill(PAGE, 4)));
  long r;
  std::vector<uint8_t> back = p.read_at(3 * ERASE, PAGE, &r);
  say(p.name("read %u at %u (bad block)", PAGE, 3 * ERASE), r);
  std::printf("%s bad block read back holds: %s\n", p.dev.c_str(),
              back == fill(PAGE, 4)                      ? "the data"
              : std::vector<uint8_t>(PAGE, 0xFF) == back ? "erased"
                                                         : "other");
  say(p.name("lseek %u (the end)", 16 * ERASE), p.at(16 * ERASE));
  say(p.name("lseek %u (past the end)", 16 * ERASE + 1), p.at(16 * ERASE + 1));
  say(p.name("write %u at the end", PAGE), p.write_at(16 * ERASE, fill(PAGE, 5)));
  say(p.name("write %u across the end", 2 * PAGE),
      p.write_at(16 * ERASE - PAGE, fill(2 * PAGE, 6)));
  p.read_at(16 * ERASE - PAGE, 2 * PAGE, &r);
  say(p.name("read %u across the end", 2 * PAGE), r);
  p.read_at(16 * ERASE, PAGE, &r);
  say(p.name("read %u at the end", PAGE), r);

  // OOB writes into erased pages of block 1: a whole OOB area, the free
  // bytes alone, past the OOB area, none, onto a page start + 2.
  say(p.name("MEMERASE %u+%u", ERASE, ERASE), p.erase(ERASE, ERASE));
  p.writeoob(ERASE, 64);
  p.writeoob(ERASE + PAGE + 2, 38);
  p.writeoob(ERASE + 2 * PAGE + 40, 30);
  p.writeoob(ERASE + 3 * PAGE, 65);
  p.writeoob(ERASE + 4 * PAGE, 0);
  p.writeoob(16 * ERASE, 64);

  // Reads through the software ECC, on pages of zeros (their code is
  // FF FF FF) with a code stored over it by an OOB write at 40 (step 0's
  // code) or 43 (step 1's): one bit of the code, one data bit (step 0 byte
  // 255 bit 7; step 1 byte 0 bit 0), both bits of a pair (uncorrectable).
  say(p.name("MEMERASE %u+%u", 2 * ERASE, ERASE), p.erase(2 * ERASE, ERASE));
  struct ecc_case {
    const char *what;
    uint32_t at;
    std::vector<uint8_t> code;
  };
  const ecc_case cases[] = {
      {"one bit of the code", 40, {0xFE}},
      {"step 0 byte 255 bit 7", 40, {0x55, 0x55, 0x57}},
      {"step 1 byte 0 bit 0", 43, {0xAA, 0xAA, 0xAB}},
      {"two bits of a pair", 43, {0xFC}},
  };
  uint32_t page = 2 * ERASE;
  for (const ecc_case &c : cases) {
    say(p.name("write %u zeros at %u", PAGE, page),
        p.write_at(page, std::vector<uint8_t>(PAGE, 0)));
    std::vector<uint8_t> code = c.code;
    mtd_oob_buf b{page + c.at, static_cast<uint32_t>(code.size()), code.data()};
    say(p.name("MEMWRITEOOB start=%u (%s)", page + c.at, c.what),
        plat().ioctl(p.fd, MEMWRITEOOB, &b));
    std::vector<uint8_t> got = p.read_at(page, PAGE, &r);
    say(p.name("read %u at %u (%s)", PAGE, page, c.what), r);
    std::printf("%s %s: bytes not zero:", p.dev.c_str(), c.what);
    for (uint32_t i = 0; i < PAGE; i++)
      if (got[i] != 0) std::printf(" %u=0x%02x", i, got[i]);
    std::printf("\n");
    got = p.read_at(page + 254, 4, &r);
    say(p.name("read 4 at %u (%s)", page + 254, c.what), r);
    std::printf("%s %s: 254..257 hold %02x %02x %02x %02x\n", p.dev.c_str(), c.what, got[0], got[1],
                got[2], got[3]);
    page += PAGE;
  }
}

void skip_erased(probe &p);

void ram(probe &p) {
  p.info();
  for (int64_t off :
       {int64_t(0), int64_t(RAM_ERASE) + 100, int64_t(16) * RAM_ERASE, int64_t(17) * RAM_ERASE})
    say(p.name("MEMGETBADBLOCK %lld", (long long)off), p.bad(off));
  p.oobsel();
  p.writeoob(0, 8);
  say(p.name("MEMERASE 0+%u", RAM_ERASE), p.erase(0, RAM_ERASE));
  say(p.name("MEMERASE %u+%u (unaligned start)", RAM_ERASE / 2, RAM_ERASE),
      p.erase(RAM_ERASE / 2, RAM_ERASE));
  say(p.name("MEMERASE 0+%u (unaligned length)", RAM_ERASE / 2), p.erase(0, RAM_ERASE / 2));
  say(p.name("MEMERASE %u+%u (past the end)", 16 * RAM_ERASE, RAM_ERASE),
      p.erase(16 * RAM_ERASE, RAM_ERASE));
  p.twice(100, 333);
  say(p.name("write 5 at the end - 3"), p.write_at(16 * RAM_ERASE - 3, fill(5, 7)));
  say(p.name("write 5 at the end"), p.write_at(16 * RAM_ERASE, fill(5, 8)));
  skip_erased(p);
}

// The flash layer's erase and writer that leave erased blocks and units of
// 0xFF alone, on erase blocks 2 to 5: blocks 3 and 5 hold data, 2 and 4
// read erased. The bytes read back must be those of the buffer written.
void skip_erased(probe &p) {
  mtd_device dev;
  if (mtd_open(&dev, 6, mtd_access::read_write) != 0 || mtd_query(&dev) < 0) {
    say(p.name("open for the skipping erase"), -1);
    return;
  }
  p.erase(2 * RAM_ERASE, 4 * RAM_ERASE);
  p.write_at(3 * RAM_ERASE + 10, fill(100, 1));
  p.write_at(6 * RAM_ERASE - 1, std::vector<uint8_t>(1, 0xFE));
  mtd_erase_counts counts;
  const int r = mtd_erase_skipping_erased(dev.fd.fd, 2 * RAM_ERASE, 6 * RAM_ERASE, MTD_CLASS_NOR, 0,
                                          nullptr, &counts);
  say(p.name("erase skipping erased blocks 2-5: erased %u, skipped %u", counts.erased,
             counts.skipped),
      r);
  std::vector<uint8_t> buf = fill(2 * RAM_ERASE, 3);
  std::fill(buf.begin() + 1000, buf.begin() + 1000 + 4096, 0xFF);
  std::fill(buf.begin() + RAM_ERASE, buf.end(), 0xFF);
  mtd_target t{&dev, -1, WRITE_RAW, 0, 2 * RAM_ERASE};
  say(p.name("write skipping units of 0xFF, 2 blocks at block 2"),
      nor_write_buffer_skipping_erased(&t, buf.data(), static_cast<int>(buf.size())));
  long got = 0;
  const std::vector<uint8_t> back = p.read_at(2 * RAM_ERASE, buf.size(), &got);
  say(p.name("read back: %s", back == buf ? "the buffer" : "other bytes"), got);
}

int run() {
  for (int n : {0, 6}) {
    probe p{plat().open(("/dev/mtd" + std::to_string(n)).c_str(), O_RDWR, 0),
            "mtd" + std::to_string(n)};
    say(p.dev + " open", p.fd < 0 ? -1 : 0);
    if (p.fd < 0) return 1;
    if (n == 0) nand(p);
    else ram(p);
    plat().close(p.fd);
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace korvane

int main(int argc, char **argv) {
  using namespace korvane;
  if (argc == 4 && std::string(argv[1]) == "--sim") {
    sim_board board;
    std::string error;
    if (sim_board_load(argv[2], &board, &error) != 0 || sim_start(board, argv[3], &error) != 0) {
      std::fprintf(stderr, "mtd_probe: %s\n", error.c_str());
      return 2;
    }
    int r = run();
    sim_stop();
    return r;
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: mtd_probe [--sim BOARD STATE]\n");
    return 2;
  }
  return run();
}
