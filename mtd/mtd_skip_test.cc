// SPDX-License-Identifier: MIT
// Leaving erased NOR alone: the erase that skips blocks reading erased and
// the writer that skips units of 0xFF, each against the plain one on a
// twin partition, so the flash must end byte for byte the same.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mtd/mtd.h"
#include "rom/result.h"
#include "tests/support/install_util.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

// Twins: mtd0 and mtd1 NOR with byte writes, mtd2 and mtd3 NOR with 16-byte
// writes, mtd4 NAND, mtd5 NOR whose second read fails.
constexpr const char *BOARD =
    "mtd0 nor size=64K erase=8K\n"
    "mtd1 nor size=64K erase=8K\n"
    "mtd2 nor size=64K erase=8K page=16\n"
    "mtd3 nor size=64K erase=8K page=16\n"
    "mtd4 nand size=64K erase=16K page=512 oob=16\n"
    "mtd5 nor size=64K erase=8K fail=read:2:EIO\n";

std::string capture(const std::function<void()> &f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

// Writes bytes at offset through the device, as an earlier install would have.
void put(const sim_fixture &sim, int mtd, uint32_t offset, const std::string &bytes) {
  unique_fd fd{sim.open(mtd), plat_close};
  ASSERT_EQ(plat().lseek(fd.fd, offset, SEEK_SET), static_cast<off_t>(offset));
  ASSERT_EQ(plat().write(fd.fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::vector<std::string> changes(const sim_fixture &sim, const std::string &mtd, const char *op) {
  std::vector<std::string> out;
  for (const std::string &line : install_test::device_changes(sim.events(), mtd)) {
    if (line.rfind(op, 0) == 0) out.push_back(line);
  }
  return out;
}

TEST(NorSkip, EraseLeavesBlocksThatReadErased) {
  sim_fixture sim(BOARD);
  // Blocks 1 and 6 hold data; block 3 was programmed with 0xFF alone.
  for (int mtd : {0, 1}) {
    put(sim, mtd, 1 * 8192 + 100, install_test::pattern(300, 1));
    put(sim, mtd, 3 * 8192, std::string(8192, '\xFF'));
    put(sim, mtd, 6 * 8192 + 8191, "\x7F");  // one bit in the last byte
  }
  mtd_device plain = sim.device(0), skipping = sim.device(1);
  ASSERT_EQ(mtd_erase(plain.fd.fd, 0, 65536, MTD_CLASS_NOR, 0), 0);
  mtd_erase_counts counts;
  EXPECT_EQ(capture([&] {
              EXPECT_EQ(mtd_erase_skipping_erased(skipping.fd.fd, 0, 65536, MTD_CLASS_NOR, 0,
                                                  nullptr, &counts),
                        0);
            }),
            "");
  EXPECT_EQ(sim.data(1), sim.data(0));
  EXPECT_EQ(sim.data(1), std::vector<uint8_t>(65536, 0xFF));
  EXPECT_EQ(counts.erased, 2u);
  EXPECT_EQ(counts.skipped, 6u);
  EXPECT_EQ(changes(sim, "mtd1", "erase"),
            (std::vector<std::string>{"erase mtd1 8192 8192", "erase mtd1 49152 8192"}));
  EXPECT_EQ(changes(sim, "mtd0", "erase").size(), 8u);

  // Verbose names the blocks left alone; the erased ones as mtd_erase does.
  put(sim, 1, 0, "x");
  const std::string verbose = capture([&] {
    EXPECT_EQ(
        mtd_erase_skipping_erased(skipping.fd.fd, 0, 16384, MTD_CLASS_NOR, 1, nullptr, nullptr), 0);
  });
  EXPECT_EQ(verbose,
            "\rErasing 8 Kibyte @ 0 --  0 % complete.Skipping erased block at 0x00002000\n\n");
}

TEST(NorSkip, EraseSkipsNothingItCannotTrust) {
  sim_fixture sim(BOARD);
  struct row {
    const char *what;
    int mtd, mode;
    uint32_t erased, skipped;
  };
  const row rows[] = {
      // A NAND page of 0xFF reads erased but was programmed.
      {"nand", 4, MTD_CLASS_NAND, 4, 0},
      // A block without its cleanmarker is not the erased block wanted.
      {"nor with cleanmarkers", 0, ERASE_CLEANMARKER, 8, 0},
      // The second block cannot be read: erased; the rest are skipped.
      {"a read fails", 5, MTD_CLASS_NOR, 1, 7},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    mtd_device dev = sim.device(r.mtd);
    mtd_erase_counts counts;
    capture([&] {
      EXPECT_EQ(mtd_erase_skipping_erased(dev.fd.fd, 0, 65536, r.mode, 0, nullptr, &counts), 0);
    });
    EXPECT_EQ(counts.erased, r.erased);
    EXPECT_EQ(counts.skipped, r.skipped);
  }
}

TEST(NorSkip, WriterLeavesOutUnitsOfFF) {
  const std::string data = install_test::pattern(2000, 3);
  auto gap = [](size_t n) { return std::string(n, '\xFF'); };
  struct row {
    const char *what;
    std::string buf;  // written at offset 4096 of an erased partition
    size_t writes;    // the write calls the skipping writer makes (byte writes)
  };
  const row rows[] = {
      {"all 0xFF", gap(8192), 0},
      {"no 0xFF", data, 1},
      {"short gaps are written through", data + gap(511) + data + gap(100), 1},
      {"a gap of 512 is left out", gap(700) + data + gap(512) + data, 2},
      {"0xFF bytes inside the data", data.substr(0, 5) + gap(3) + data + gap(2000), 1},
  };
  sim_fixture sim(BOARD);
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    for (int mtd : {0, 1, 2, 3}) {
      mtd_device dev = sim.device(mtd);
      ASSERT_EQ(mtd_query(&dev), MTD_CLASS_NOR);
      ASSERT_EQ(mtd_erase(dev.fd.fd, 0, 65536, MTD_CLASS_NOR, 0), 0);
    }
    const size_t before = changes(sim, "mtd1", "write").size();
    for (int mtd : {0, 1, 2, 3}) {
      mtd_device dev = sim.device(mtd);
      mtd_query(&dev);
      std::string buf = r.buf;
      buf.resize((buf.size() + 15) / 16 * 16, '\xFF');  // whole units for mtd2 and mtd3
      mtd_target t{&dev, -1, WRITE_RAW, 0, 4096};
      const auto *p = reinterpret_cast<const uint8_t *>(buf.data());
      const int n = static_cast<int>(buf.size());
      EXPECT_EQ(capture([&] {
                  EXPECT_EQ(mtd % 2 ? nor_write_buffer_skipping_erased(&t, p, n)
                                    : nor_write_buffer(&t, p, n),
                            RES_OK);
                }),
                "");
      EXPECT_EQ(t.offset, 4096 + buf.size());
    }
    EXPECT_EQ(sim.data(1), sim.data(0));
    EXPECT_EQ(sim.data(3), sim.data(2));
    EXPECT_EQ(changes(sim, "mtd1", "write").size() - before, r.writes);
  }
}

TEST(NorSkip, WriterFailsAsThePlainOne) {
  sim_fixture sim(
      "mtd0 nor size=64K erase=8K page=16\n"
      "mtd1 nor size=64K erase=8K page=16 fail=write:2:EIO\n");
  const std::string data = install_test::pattern(1024, 4);
  struct row {
    const char *what;
    int mtd;
    std::string buf;
    uint32_t offset;
    int result;
    std::string out;
    uint32_t offset_after;
  };
  const row rows[] = {
      {"not whole units", 0, data + "x", 0, RES_INVAL,
       "buffer not writesize aligned, bufleft = 1025,writesize = 16\n", 0},
      {"out of range", 0, data, 65536 - 512, RES_INVAL,
       "buffer outof range,buffer=1024 bytes,writesize=16,device size=65536\n", 65536 - 512},
      // The second run fails: the offset stays where that run began.
      {"the second write fails", 1, data + std::string(1024, '\xFF') + data, 0, RES_IO,
       "failed to write,Input/output error\n", 2048},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    mtd_device dev = sim.device(r.mtd);
    mtd_query(&dev);
    mtd_target t{&dev, -1, WRITE_RAW, 0, r.offset};
    const auto *p = reinterpret_cast<const uint8_t *>(r.buf.data());
    EXPECT_EQ(capture([&] {
                EXPECT_EQ(nor_write_buffer_skipping_erased(&t, p, static_cast<int>(r.buf.size())),
                          r.result);
              }),
              r.out);
    EXPECT_EQ(t.offset, r.offset_after);
  }
}

}  // namespace
}  // namespace korvane
