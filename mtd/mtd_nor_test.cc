// SPDX-License-Identifier: MIT
// The NOR writer against simulated NOR and RAM partitions.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "mtd/mtd.h"
#include "rom/result.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

constexpr uint32_t SIZE = 64 * 1024;

// mtd0: NOR with byte writes; mtd1: NOR with 4-byte writes; mtd2: RAM.
constexpr const char *BOARD =
    "mtd0 nor size=64K erase=16K\n"
    "mtd1 nor size=64K erase=16K page=4\n"
    "mtd2 ram size=64K erase=16K\n";

std::string output_of(const std::function<void()> &f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 13 + i / 256);
  return v;
}

int nor_write(const mtd_device &dev, const std::vector<uint8_t> &buf, uint32_t *offset,
              int outfd = -1) {
  mtd_target t{&dev, outfd, WRITE_RAW, 1, *offset};
  int r = nor_write_buffer(&t, buf.data(), static_cast<int>(buf.size()));
  *offset = t.offset;
  return r;
}

TEST(NorWrite, ChunksLandInOrderUpToAnExactFit) {
  sim_fixture sim(BOARD);
  for (int mtd : {0, 1, 2}) {
    SCOPED_TRACE("mtd" + std::to_string(mtd));
    mtd_device fd = sim.device(mtd);
    std::vector<uint8_t> all = pattern(SIZE);
    uint32_t offset = 0;
    EXPECT_EQ(output_of([&] {
                for (uint32_t at = 0; at < SIZE; at += 16384) {
                  std::vector<uint8_t> chunk(all.begin() + at, all.begin() + at + 16384);
                  EXPECT_EQ(nor_write(fd, chunk, &offset), RES_OK);
                }
              }),
              "");
    EXPECT_EQ(offset, SIZE);
    EXPECT_EQ(sim.data(mtd), all);
  }
}

TEST(NorWrite, Refusals) {
  struct row {
    const char *what;
    int mtd;
    size_t len;
    uint32_t offset;
    int result;
    uint32_t offset_after;
    std::string output;
  };
  const row rows[] = {
      {"one writesize more than the rest", 0, SIZE - 100 + 1, 100, RES_INVAL, 100,
       "buffer outof range,buffer=65437 bytes,writesize=1,device size=65536\n"},
      {"offset at the end", 0, 1, SIZE, RES_INVAL, SIZE,
       "buffer outof range,buffer=1 bytes,writesize=1,device size=65536\n"},
      {"offset beyond the end passes the unsigned check and writes nothing", 0, 10, SIZE + 100,
       RES_FAULT, SIZE + 100, "Data did not fit into device, io failed,lef=10,writesize=1\n"},
      {"length not a whole number of writes", 1, 6, 0, RES_INVAL, 0,
       "buffer not writesize aligned, bufleft = 6,writesize = 4\n"},
      {"nothing to write", 0, 0, 50, RES_OK, 50, ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    sim_fixture sim(BOARD);
    mtd_device fd = sim.device(r.mtd);
    uint32_t offset = r.offset;
    EXPECT_EQ(output_of([&] { EXPECT_EQ(nor_write(fd, pattern(r.len), &offset), r.result); }),
              r.output);
    EXPECT_EQ(offset, r.offset_after);
    EXPECT_EQ(sim.data(r.mtd), std::vector<uint8_t>(SIZE, 0xFF)) << "nothing written";
  }
}

TEST(NorWrite, WritesTheBufferInOneRun) {
  sim_fixture sim(BOARD);
  mtd_device fd = sim.device(1);
  uint32_t offset = 8;
  ASSERT_EQ(nor_write(fd, pattern(12), &offset), RES_OK);
  EXPECT_EQ(offset, 20u);
  EXPECT_EQ(sim.events(), "write mtd1 8 12\n");
}

// A device that takes at most g_write_limit bytes per write, over the
// simulated board's table.
const platform_ops *g_sim_ops;
size_t g_write_limit;
ssize_t limited_write(int fd, const void *buf, size_t n) {
  return g_sim_ops->write(fd, buf, std::min(n, g_write_limit));
}

TEST(NorWrite, ShortCountsGoOnWithTheNextUnit) {
  // A short count is not an error: as when each unit had a write of its
  // own, the unit the device stopped in stays as it is and the next one
  // follows. mtd1 writes 4 bytes at a time; 16 bytes from offset 0.
  struct row {
    size_t limit;
    const char *events;
    const char *erased;  // per byte of the 16: '.' written, 'E' still erased
  };
  const row rows[] = {
      {10, "write mtd1 0 10\nwrite mtd1 12 4\n", "..........EE...."},
      {4, "write mtd1 0 4\nwrite mtd1 4 4\nwrite mtd1 8 4\nwrite mtd1 12 4\n", "................"},
      {0, "", "EEEEEEEEEEEEEEEE"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.limit);
    sim_fixture sim(BOARD);
    mtd_device fd = sim.device(1);
    platform_ops ops = plat();
    g_sim_ops = &plat();
    g_write_limit = r.limit;
    ops.write = limited_write;
    const platform_ops *prev = platform_install(&ops);
    uint32_t offset = 0;
    std::vector<uint8_t> buf = pattern(16);
    EXPECT_EQ(output_of([&] { EXPECT_EQ(nor_write(fd, buf, &offset), RES_OK); }), "");
    platform_install(prev);
    EXPECT_EQ(offset, 16u);
    EXPECT_EQ(sim.events(), r.events);
    std::vector<uint8_t> data = sim.data(1);
    for (size_t i = 0; i < 16; i++) {
      EXPECT_EQ(data[i], r.erased[i] == 'E' ? 0xFF : buf[i]) << "byte " << i;
    }
  }
}

TEST(NorWrite, FailuresLeaveTheOffset) {
  struct row {
    sim_op op;
    unsigned nth;
    int result;
    std::string output;
  };
  const row rows[] = {
      {SIM_GETINFO, 1, RES_IO, "failed to MEMGETINFO,Input/output error\n"},
      {SIM_SEEK, 1, RES_IO, "failed to lseek,Input/output error\n"},
      {SIM_WRITE, 1, RES_IO, "failed to write,Input/output error\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(sim_op_name(r.op));
    sim_fixture sim(BOARD);
    mtd_device fd = sim.device(1);
    sim_inject(1, r.op, r.nth, EIO);
    uint32_t offset = 40;
    EXPECT_EQ(output_of([&] { EXPECT_EQ(nor_write(fd, pattern(16), &offset), r.result); }),
              r.output);
    EXPECT_EQ(offset, 40u);
  }
}

TEST(NorWrite, FakeFileGetsTheBufferUnchanged) {
  sim_fixture sim(BOARD);
  mtd_device fd = sim.device(0);
  int out = ::open(sim.path("fake").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GT(out, 0);
  std::vector<uint8_t> a = pattern(1000), b = pattern(500);
  uint32_t offset = 0;
  ASSERT_EQ(nor_write(fd, a, &offset, out), RES_OK);
  ASSERT_EQ(nor_write(fd, b, &offset, out), RES_OK);
  ::close(out);
  EXPECT_EQ(offset, 1500u);
  std::string file = e2e::read_file(sim.path("fake"));
  std::string want(a.begin(), a.end());
  want.append(b.begin(), b.end());
  EXPECT_EQ(file, want);
  EXPECT_EQ(sim.events(), "") << "the device only sees seeks";
  EXPECT_EQ(sim.data(0), std::vector<uint8_t>(SIZE, 0xFF));
}

}  // namespace
}  // namespace korvane
