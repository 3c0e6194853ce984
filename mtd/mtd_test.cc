// SPDX-License-Identifier: MIT
// Geometry and erase against the simulated MTD devices.
#include "mtd/mtd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "mtd/mtd_abi.h"
#include "platform/platform.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

std::string output_of(const std::function<void()> &f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

TEST(MtdGeometry, ClassAndSizesFromTheDevice) {
  sim_fixture sim(
      "mtd0 nand size=1M erase=128K page=2048 oob=64\n"
      "mtd1 nor size=4M erase=64K\n"
      "mtd2 ram size=64K erase=4K\n"
      "mtd3 nand size=64K erase=16K page=512 oob=16 fail=getinfo:1:EIO\n");
  struct row {
    int mtd, cls;
    uint32_t size, erasesize, writesize, oobsize;
  };
  const row rows[] = {
      {0, MTD_CLASS_NAND, 1u << 20, 128u << 10, 2048, 64},
      {1, MTD_CLASS_NOR, 4u << 20, 64u << 10, 1, 0},
      {2, MTD_CLASS_NOR, 64u << 10, 4u << 10, 1, 0},  // every type but NAND is NOR class
  };
  for (const row &r : rows) {
    mtd_device dev = sim.device(r.mtd);
    EXPECT_EQ(output_of([&] { EXPECT_EQ(mtd_query(&dev), r.cls); }), "");
    EXPECT_EQ(dev.geo.cls, r.cls);
    EXPECT_EQ(dev.geo.size, r.size);
    EXPECT_EQ(dev.geo.erasesize, r.erasesize);
    EXPECT_EQ(dev.geo.writesize, r.writesize);
    EXPECT_EQ(dev.geo.oobsize, r.oobsize);
  }

  mtd_device dev = sim.device(3);
  EXPECT_EQ(output_of([&] { EXPECT_EQ(mtd_query(&dev), -1); }),
            "failed to MEMGETINFO mtd Input/output error\n");
  const mtd_geometry &g = dev.geo;
  EXPECT_EQ(g.cls, -1);
  EXPECT_EQ(g.size | g.erasesize | g.writesize | g.oobsize, 0u) << "the geometry is left at 0";
}

// A partition opened by number: read-write for programming, read-only for a
// look that must not be able to change it, and closed with the object.
TEST(MtdDevice, OpensByNumberAndClosesWithTheObject) {
  sim_fixture sim("mtd1 nor size=32K erase=16K\n");
  int held = -1;
  {
    mtd_device rw;
    ASSERT_EQ(mtd_open(&rw, 1, mtd_access::read_write), 0);
    EXPECT_EQ(rw.number, 1);
    EXPECT_EQ(rw.path, "/dev/mtd1");
    EXPECT_EQ(mtd_erase(rw.fd.fd, 0, 16384, MTD_CLASS_NOR, 0), 0);
    held = rw.fd.fd;
  }
  errno = 0;
  EXPECT_EQ(plat().close(held), -1) << "closed when the object went";
  EXPECT_EQ(errno, EBADF);

  mtd_device ro;
  ASSERT_EQ(mtd_open(&ro, 1, mtd_access::read_only), 0);
  EXPECT_EQ(mtd_query(&ro), MTD_CLASS_NOR);
  erase_info_user erase{0, 16384};
  EXPECT_EQ(plat().ioctl(ro.fd.fd, MEMERASE, &erase), -1);
  EXPECT_EQ(errno, EPERM);  // as the kernel refuses it
  EXPECT_EQ(plat().write(ro.fd.fd, "x", 1), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(sim.events(), "badblock mtd1 0 0\nerase mtd1 0 16384\nfail mtd1 erase 1\n")
      << "only the read-write device erased";

  // A partition the board lacks: nothing open, the path for the message.
  mtd_device gone;
  errno = 0;
  EXPECT_EQ(mtd_open(&gone, 7, mtd_access::read_only), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(gone.fd.fd, -1);
  EXPECT_EQ(gone.path, "/dev/mtd7");
}

// mtd0: four 16 KiB blocks, block 1 bad. mtd1: NOR, two blocks.
// mtd4: a 1 MiB NOR with 512 KiB blocks, for the percentage.
constexpr const char *ERASE_BOARD =
    "mtd0 nand size=64K erase=16K page=512 oob=16 bad=1\n"
    "mtd1 nor size=32K erase=16K\n"
    "mtd4 nor size=1M erase=512K\n";

struct erase_row {
  const char *what;
  int mtd;
  uint32_t start, end;
  int verbose;
  std::function<void()> setup;
  int result;
  std::string output;
  std::string events;
};

TEST(MtdErase, WalksTheRangeBlockByBlock) {
  const erase_row rows[] = {
      {"whole NAND, verbose: the bad block is skipped, the percentage is of the device",
       0,
       0,
       64 << 10,
       1,
       {},
       0,
       "\rErasing 16 Kibyte @ 0 --  0 % complete."
       "Skipping bad block at 0x00004000\n"
       "\rErasing 16 Kibyte @ 8000 -- 50 % complete."
       "\rErasing 16 Kibyte @ c000 -- 75 % complete.\n",
       "badblock mtd0 0 0\nerase mtd0 0 16384\nbadblock mtd0 16384 1\nbadblock mtd0 32768 0\n"
       "erase mtd0 32768 16384\nbadblock mtd0 49152 0\nerase mtd0 49152 16384\n"},
      {"quiet: nothing printed",
       0,
       32 << 10,
       48 << 10,
       0,
       {},
       0,
       "",
       "badblock mtd0 32768 0\nerase mtd0 32768 16384\n"},
      {"a start past the end erases from 0",
       0,
       70000,
       16 << 10,
       0,
       {},
       0,
       "",
       "badblock mtd0 0 0\nerase mtd0 0 16384\n"},
      {"a start at the end erases nothing; verbose still ends the line",
       0,
       64 << 10,
       64 << 10,
       1,
       {},
       0,
       "\n",
       ""},
      {"an end past the device is cut to its size",
       0,
       48 << 10,
       1 << 30,
       0,
       {},
       0,
       "",
       "badblock mtd0 49152 0\nerase mtd0 49152 16384\n"},
      {"an unaligned start is walked unrounded; every refused erase is reported and fails the call",
       0,
       100,
       64 << 10,
       0,
       {},
       -1,
       "MTD Erase failure: Invalid argument\nMTD Erase failure: Invalid argument\n"
       "MTD Erase failure: Invalid argument\n",
       "badblock mtd0 100 0\nfail mtd0 erase 22\nbadblock mtd0 16484 1\nbadblock mtd0 32868 0\n"
       "fail mtd0 erase 22\nbadblock mtd0 49252 0\nfail mtd0 erase 22\n"},
      {"every block bad: nothing erased", 0, 0, 64 << 10, 1,
       [] {
         for (uint32_t b : {0u, 2u, 3u}) sim_mark_bad(0, b);
       },
       0,
       "Skipping bad block at 0x00000000\nSkipping bad block at 0x00004000\n"
       "Skipping bad block at 0x00008000\nSkipping bad block at 0x0000c000\n\n",
       "badblock mtd0 0 1\nbadblock mtd0 16384 1\nbadblock mtd0 32768 1\nbadblock mtd0 49152 1\n"},
      {"a failing erase request: the walk goes on, the call fails", 0, 0, 64 << 10, 0,
       [] { sim_inject(0, SIM_ERASE, 2, EIO); }, -1, "MTD Erase failure: Input/output error\n",
       "badblock mtd0 0 0\nerase mtd0 0 16384\nbadblock mtd0 16384 1\nbadblock mtd0 32768 0\n"
       "fail mtd0 erase 5\nbadblock mtd0 49152 0\nerase mtd0 49152 16384\n"},
      {"a failing bad-block query stops at once", 0, 0, 64 << 10, 0,
       [] { sim_inject(0, SIM_BADBLOCK, 2, EIO); }, -1,
       "MTD get bad block failed: Input/output error\n",
       "badblock mtd0 0 0\nerase mtd0 0 16384\nfail mtd0 badblock 5\n"},
      {"NAND without bad-block queries cannot be erased safely", 0, 0, 64 << 10, 0,
       [] { sim_partition(0)->refused = 1u << SIM_BADBLOCK; }, -1,
       "Bad block check not available\n", "fail mtd0 badblock 95\n"},
      {"NOR without bad-block queries: checks turn off silently", 1, 0, 32 << 10, 0,
       [] { sim_partition(1)->refused = 1u << SIM_BADBLOCK; }, 0, "",
       "fail mtd1 badblock 95\nerase mtd1 0 16384\nerase mtd1 16384 16384\n"},
      {"1 MiB device at 0x80000 is 50 %",
       4,
       0,
       1 << 20,
       1,
       {},
       0,
       "\rErasing 512 Kibyte @ 0 --  0 % complete.\rErasing 512 Kibyte @ 80000 -- 50 % complete.\n",
       "badblock mtd4 0 0\nerase mtd4 0 524288\nbadblock mtd4 524288 0\nerase mtd4 524288 "
       "524288\n"},
      {"geometry query fails", 1, 0, 32 << 10, 1, [] { sim_inject(1, SIM_GETINFO, 1, EIO); }, -1,
       "failed to MEMGETINFO mtd Input/output error\n", "fail mtd1 getinfo 5\n"},
  };
  for (const erase_row &r : rows) {
    SCOPED_TRACE(r.what);
    sim_fixture sim(ERASE_BOARD);
    if (r.setup) r.setup();
    unique_fd fd(sim.open(r.mtd), plat_close);
    ASSERT_GE(fd.fd, 0);
    EXPECT_EQ(output_of([&] {
                EXPECT_EQ(mtd_erase(fd.fd, r.start, r.end, r.mtd == 0 ? 1 : 2, r.verbose),
                          r.result);
              }),
              r.output);
    EXPECT_EQ(sim.events(), r.events);
  }
}

// A device that reports an erase size of 0 cannot be walked block by block:
// the erase refuses it instead of looping.
int zero_erasesize_ioctl(int, unsigned long request, void *arg) {
  if (request != MEMGETINFO) return -1;
  mtd_info_user info{};
  info.type = MTD_NORFLASH;
  info.size = 1 << 20;
  *static_cast<mtd_info_user *>(arg) = info;
  return 0;
}

TEST(MtdErase, RefusesADeviceWithoutAnEraseSize) {
  platform_ops ops = platform_linux;
  ops.ioctl = zero_erasesize_ioctl;
  const platform_ops *prev = platform_install(&ops);
  int r = 0;
  std::string out = output_of([&] { r = mtd_erase(-1, 0, 1 << 20, MTD_CLASS_NOR, 1); });
  platform_install(prev);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(out, "invalid mtd erase size,0\n");
}

TEST(MtdErase, ErasedBlocksReadBackErasedAndBadOnesKeepTheirBytes) {
  sim_fixture sim(ERASE_BOARD);
  unique_fd fd(sim.open(0), plat_close);
  std::vector<uint8_t> zeros(512, 0);
  for (uint32_t at = 0; at < (64u << 10); at += 512) {
    plat().lseek(fd.fd, at, SEEK_SET);
    ASSERT_EQ(plat().write(fd.fd, zeros.data(), zeros.size()), 512);
  }
  ASSERT_EQ(mtd_erase(fd.fd, 0, 64 << 10, MTD_CLASS_NAND, 0), 0);
  std::vector<uint8_t> d = sim.data(0);
  for (uint32_t at = 0; at < d.size(); at += 512) {
    EXPECT_EQ(d[at], at / (16 << 10) == 1 ? 0x00 : 0xFF) << at;
  }
}

// The JFFS2 cleanmarker node: magic 0x1985, type 0x2003, totlen, header CRC.
const std::vector<uint8_t> NOR_NODE = {0x85, 0x19, 0x03, 0x20, 0x0c, 0x00,
                                       0x00, 0x00, 0xd8, 0x6f, 0x3c, 0x81};
const std::vector<uint8_t> NAND_NODE_HEAD = {0x85, 0x19, 0x03, 0x20, 0x08, 0x00, 0x00, 0x00};

TEST(MtdErase, NorCleanmarkersStartEveryBlock) {
  sim_fixture sim(ERASE_BOARD);
  unique_fd fd(sim.open(1), plat_close);
  EXPECT_EQ(output_of([&] { EXPECT_EQ(mtd_erase(fd.fd, 0, 32 << 10, ERASE_CLEANMARKER, 1), 0); }),
            "\rErasing 16 Kibyte @ 0 --  0 % complete.\nCleanmarker written at 0.\n"
            "\rErasing 16 Kibyte @ 4000 -- 50 % complete.\nCleanmarker written at 4000.\n\n");
  std::vector<uint8_t> d = sim.data(1);
  for (uint32_t block : {0u, 16u << 10}) {
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + block, d.begin() + block + 12), NOR_NODE) << block;
    EXPECT_EQ(d[block + 12], 0xFF);
  }
  EXPECT_EQ(sim.events(),
            "badblock mtd1 0 0\nerase mtd1 0 16384\nwrite mtd1 0 12\n"
            "badblock mtd1 16384 0\nerase mtd1 16384 16384\nwrite mtd1 16384 12\n");
}

TEST(MtdErase, NandCleanmarkerPlacement) {
  // Autoplacement (what the kernel reports) takes the first free range, at
  // most 8 bytes; without it the OOB size decides.
  sim_fixture sim(
      "mtd0 nand size=32K erase=16K page=512 oob=16\n"
      "mtd1 nand size=8K erase=4K page=256 oob=8\n"
      "mtd2 nand size=256K erase=128K page=2048 oob=64\n"
      "mtd5 nand size=32K erase=16K page=512 oob=16 useecc=0\n"
      "mtd6 nand size=8K erase=4K page=256 oob=8 useecc=0\n"
      "mtd7 nand size=256K erase=128K page=2048 oob=64 useecc=0\n"
      "mtd8 nand size=32K erase=16K page=512 oob=32 useecc=0 oobfree=4:4\n"
      "mtd9 nand size=32K erase=16K page=512 oob=32 oobfree=20:3\n");
  struct row {
    int mtd;
    uint32_t pos, len;
  };
  const row rows[] = {
      {0, 8, 8},  {1, 3, 2}, {2, 2, 8},              // autoplacement: 512+16, 256+8, 2048+64
      {5, 8, 8},  {6, 6, 2}, {7, 16, 8}, {8, 0, 8},  // by OOB size: 16, 8, 64, other
      {9, 20, 3},                                    // a short first free range
  };
  for (const row &r : rows) {
    SCOPED_TRACE("mtd" + std::to_string(r.mtd));
    const sim_mtd &m = *sim_partition(r.mtd);
    unique_fd fd(sim.open(r.mtd), plat_close);
    EXPECT_EQ(output_of([&] { EXPECT_EQ(mtd_erase(fd.fd, 0, m.size, ERASE_CLEANMARKER, 0), 0); }),
              "");
    std::vector<uint8_t> oob = sim.oob(r.mtd);
    const uint32_t pages_per_block = m.erasesize / m.writesize;
    for (uint32_t page = 0; page < m.size / m.writesize; page++) {
      for (uint32_t i = 0; i < m.oobsize; i++) {
        uint8_t want = 0xFF;
        if (page % pages_per_block == 0 && i >= r.pos && i < r.pos + r.len)
          want = NAND_NODE_HEAD[i - r.pos];
        ASSERT_EQ(oob[page * m.oobsize + i], want) << "page " << page << " byte " << i;
      }
    }
    EXPECT_EQ(sim.data(r.mtd), std::vector<uint8_t>(m.size, 0xFF)) << "nothing in the page data";
  }
}

TEST(MtdErase, CleanmarkerFailures) {
  const char *board =
      "mtd0 nand size=32K erase=16K page=512 oob=16 bad=0\n"
      "mtd1 nor size=32K erase=16K\n"
      "mtd2 nand size=32K erase=16K page=512 oob=32\n";
  struct row {
    const char *what;
    int mtd;
    std::function<void()> setup;
    int result;
    std::string output;
  };
  const row rows[] = {
      {"a failing OOB write is reported, the walk goes on", 0,
       [] { sim_inject(0, SIM_OOBWRITE, 1, EIO); }, 0,
       "Skipping bad block at 0x00000000\n\rErasing 16 Kibyte @ 4000 -- 50 % complete."
       "MTD writeoob failure: Input/output error\n\n"},
      {"NOR seek failure", 1, [] { sim_inject(1, SIM_SEEK, 1, EIO); }, 0,
       "\rErasing 16 Kibyte @ 0 --  0 % complete.MTD lseek failure: Input/output error\n"
       "\rErasing 16 Kibyte @ 4000 -- 50 % complete.\nCleanmarker written at 4000.\n\n"},
      {"NOR write failure", 1, [] { sim_inject(1, SIM_WRITE, 2, EIO); }, 0,
       "\rErasing 16 Kibyte @ 0 --  0 % complete.\nCleanmarker written at 0.\n"
       "\rErasing 16 Kibyte @ 4000 -- 50 % complete.MTD write failure: Input/output error\n\n"},
      {"no OOB layout", 2, {}, -1, "failed to MEMGETOOBSEL mtd Operation not supported\n"},
      {"autoplacement without free bytes", 0,
       [] {
         sim_partition(0)->oobfree = {{0, 0}};
       },
       -1, "Eeep. Autoplacement selected and no empty space in oob\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    sim_fixture sim(board);
    if (r.setup) r.setup();
    unique_fd fd(sim.open(r.mtd), plat_close);
    EXPECT_EQ(output_of([&] {
                EXPECT_EQ(mtd_erase(fd.fd, 0, 32 << 10, ERASE_CLEANMARKER, 1), r.result);
              }),
              r.output);
  }
}

}  // namespace
}  // namespace korvane
