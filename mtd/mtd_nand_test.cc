// SPDX-License-Identifier: MIT
// The NAND writer against the simulated NAND: what lands in the page data
// and OOB files, what the writer prints, and what it leaves in the offset.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "mtd/mtd.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

constexpr uint32_t PAGE = 2048, OOB = 64, BLOCK = 128 * 1024, PAGES = BLOCK / PAGE;
constexpr uint32_t RECORD = PAGE + OOB;

// mtd0: eight 128 KiB blocks of 2048 + 64 pages, block 2 bad. Page writes
// add no ECC bytes here, so the OOB files hold exactly what the writer
// placed (the simulated ECC is checked with the simulator).
constexpr const char *BOARD =
    "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2 ecc=none\n"
    "mtd1 nand size=64K erase=16K page=512 oob=16 ecc=none\n"
    "mtd2 nand size=1M erase=256K page=4096 oob=128\n"
    "mtd3 nand size=1M erase=128K page=2048 oob=128\n"
    "mtd4 nand size=8K erase=4K page=256 oob=8 ecc=none\n";

std::string output_of(const std::function<void()> &f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

// Page data whose every byte tells its page and position.
std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>((i / PAGE) * 7 + i + seed);
  return v;
}

// Page records: page data, then OOB bytes all `oob_byte`.
std::vector<uint8_t> records(size_t count, uint8_t oob_byte) {
  std::vector<uint8_t> v;
  std::vector<uint8_t> data = pattern(count * PAGE);
  for (size_t k = 0; k < count; k++) {
    v.insert(v.end(), data.begin() + k * PAGE, data.begin() + (k + 1) * PAGE);
    v.insert(v.end(), OOB, oob_byte);
  }
  return v;
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &v, size_t at, size_t n) {
  return std::vector<uint8_t>(v.begin() + at, v.begin() + at + n);
}

// The OOB image the writer puts on a 2048 + 64 page: the free range 2..39
// from the record, 0xFF elsewhere.
std::vector<uint8_t> oob_image(uint8_t oob_byte) {
  std::vector<uint8_t> v(OOB, 0xFF);
  for (uint32_t i = 2; i < 40; i++) v[i] = oob_byte;
  return v;
}

class NandWrite : public ::testing::Test {
 protected:
  sim_fixture sim{BOARD};
  mtd_device dev = sim.device(0);

  // Writes buf at *offset of dev (or of `on`) and advances *offset as the
  // writer does.
  int write(const std::vector<uint8_t> &buf, uint32_t *offset, int mode, int verbose = 0,
            int outfd = -1, const mtd_device *on = nullptr) {
    mtd_target t{on ? on : &dev, outfd, mode, verbose, *offset};
    int r = nand_write_buffer(&t, buf.data(), static_cast<int>(buf.size()));
    *offset = t.offset;
    return r;
  }
};

TEST_F(NandWrite, ShortRawPageIsPaddedWithFF) {
  std::vector<uint8_t> buf = pattern(100);
  uint32_t offset = 0;
  EXPECT_EQ(output_of([&] { EXPECT_EQ(write(buf, &offset, WRITE_RAW), 0); }), "");
  EXPECT_EQ(offset, PAGE);
  std::vector<uint8_t> d = sim.data(0);
  EXPECT_EQ(slice(d, 0, 100), buf);
  EXPECT_EQ(slice(d, 100, PAGE - 100), std::vector<uint8_t>(PAGE - 100, 0xFF));
  EXPECT_EQ(sim.events(), "badblock mtd0 0 0\nwrite mtd0 0 2048\n");
}

TEST_F(NandWrite, ChunksShareTheOffsetAndSkipTheBadBlock) {
  // Three erase-block chunks from offset 0, as block programming hands them
  // over: blocks 0 and 1, then block 3 in place of the bad block 2.
  std::vector<uint8_t> all = pattern(3 * BLOCK);
  uint32_t offset = 0;
  std::string out = output_of([&] {
    for (int c = 0; c < 3; c++) {
      std::vector<uint8_t> chunk = slice(all, c * BLOCK, BLOCK);
      EXPECT_EQ(write(chunk, &offset, WRITE_RAW, c == 2), 0) << c;
    }
  });
  EXPECT_EQ(out,
            "Writing data to offset 0x00040000:0x00040000,raw\n"
            "Bad block at 40000, from 40000 will be skipped\n"
            "Writing data to offset 0x00040000:0x00060000,raw\n");
  EXPECT_EQ(offset, 4 * BLOCK);
  std::vector<uint8_t> d = sim.data(0);
  EXPECT_EQ(slice(d, 0, 2 * BLOCK), slice(all, 0, 2 * BLOCK));
  EXPECT_EQ(slice(d, 2 * BLOCK, BLOCK), std::vector<uint8_t>(BLOCK, 0xFF))
      << "nothing written to the bad block";
  EXPECT_EQ(slice(d, 3 * BLOCK, BLOCK), slice(all, 2 * BLOCK, BLOCK));
  EXPECT_EQ(sim.oob(0), std::vector<uint8_t>(8 * PAGES * OOB, 0xFF))
      << "raw writes leave the OOB alone";
}

TEST_F(NandWrite, EveryCallChecksTheBlockOfItsFirstPage) {
  uint32_t offset = 0;
  ASSERT_EQ(write(pattern(PAGE), &offset, WRITE_RAW), 0);
  ASSERT_EQ(write(pattern(PAGE), &offset, WRITE_RAW), 0);
  EXPECT_EQ(sim.events(),
            "badblock mtd0 0 0\nwrite mtd0 0 2048\nbadblock mtd0 0 0\nwrite mtd0 2048 2048\n");
}

TEST_F(NandWrite, OobRecordsKeepNonFreeBytesFF) {
  std::vector<uint8_t> buf = records(3, 0x00);
  uint32_t offset = BLOCK;
  EXPECT_EQ(output_of([&] { EXPECT_EQ(write(buf, &offset, WRITE_WITH_OOB, 1), 0); }),
            "Writing data to offset 0x00020000:0x00020000,with oob\n");
  EXPECT_EQ(offset, BLOCK + 3 * PAGE);
  std::vector<uint8_t> d = sim.data(0), o = sim.oob(0);
  std::vector<uint8_t> data = pattern(3 * PAGE);
  EXPECT_EQ(slice(d, BLOCK, 3 * PAGE), data);
  for (uint32_t k = 0; k < 3; k++) {
    EXPECT_EQ(slice(o, (PAGES + k) * OOB, OOB), oob_image(0x00)) << "page " << k;
  }
  EXPECT_EQ(slice(o, (PAGES + 3) * OOB, OOB), std::vector<uint8_t>(OOB, 0xFF));
  // The OOB bytes go down before the page data.
  EXPECT_EQ(sim.events(),
            "badblock mtd0 131072 0\n"
            "oobwrite mtd0 131072 64\nwrite mtd0 131072 2048\n"
            "oobwrite mtd0 133120 64\nwrite mtd0 133120 2048\n"
            "oobwrite mtd0 135168 64\nwrite mtd0 135168 2048\n");
}

TEST_F(NandWrite, SmallPageOobUsesItsFreeRange) {
  mtd_device small = sim.device(1);
  std::vector<uint8_t> rec(512 + 16, 0x11);
  for (int i = 0; i < 16; i++) rec[512 + i] = static_cast<uint8_t>(i);
  uint32_t offset = 0;
  ASSERT_EQ(write(rec, &offset, WRITE_WITH_OOB, 0, -1, &small), 0);
  EXPECT_EQ(offset, 512u);
  std::vector<uint8_t> want(16, 0xFF);
  for (int i = 8; i < 16; i++) want[i] = static_cast<uint8_t>(i);  // free bytes 8..15
  EXPECT_EQ(slice(sim.oob(1), 0, 16), want);

  mtd_device tiny = sim.device(4);
  std::vector<uint8_t> rec8(256 + 8, 0x22);
  for (int i = 0; i < 8; i++) rec8[256 + i] = static_cast<uint8_t>(0x10 + i);
  offset = 0;
  ASSERT_EQ(write(rec8, &offset, WRITE_WITH_OOB, 0, -1, &tiny), 0);
  EXPECT_EQ(slice(sim.oob(4), 0, 8),
            (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x13, 0x14, 0xFF, 0x16, 0x17}));
}

TEST_F(NandWrite, AllEightFreeRangesAreCopied) {
  sim_partition(0)->oobfree = {{2, 1}, {5, 2}, {9, 1}, {12, 3}, {20, 1}, {30, 4}, {40, 1}, {63, 1}};
  std::vector<uint8_t> rec = records(1, 0x00);
  uint32_t offset = 0;
  ASSERT_EQ(write(rec, &offset, WRITE_WITH_OOB), 0);
  std::vector<uint8_t> want(OOB, 0xFF);
  for (auto [off, len] : sim_partition(0)->oobfree) {
    for (uint32_t i = off; i < off + len; i++) want[i] = 0x00;
  }
  EXPECT_EQ(slice(sim.oob(0), 0, OOB), want);
}

TEST_F(NandWrite, RunningOutOfGoodBlocks) {
  // Blocks 6 and 7 left, block 7 bad: block 6 takes the first chunk, and the
  // walk stops at the device end without asking about the block past it.
  sim_mark_bad(0, 7);
  std::vector<uint8_t> buf = pattern(2 * BLOCK);
  uint32_t offset = 6 * BLOCK;
  EXPECT_EQ(output_of([&] { EXPECT_EQ(write(buf, &offset, WRITE_RAW), -1); }),
            "Bad block at e0000, from e0000 will be skipped\n"
            "Data did not fit into device, due to bad blocks\n");
  EXPECT_EQ(offset, 8 * BLOCK);
  EXPECT_EQ(sim.events().find("badblock mtd0 1048576"), std::string::npos);
  EXPECT_EQ(slice(sim.data(0), 6 * BLOCK, BLOCK), slice(buf, 0, BLOCK));
}

TEST_F(NandWrite, RefusedBeforeWriting) {
  struct row {
    const char *what;
    int mtd;
    std::vector<uint8_t> buf;
    uint32_t offset;
    int mode;
    std::string output;
  };
  const row rows[] = {
      {"unknown mode", 0, pattern(PAGE), 0, 7, "Unknown data type.\n"},
      {"OOB length not whole records", 0, pattern(2000), 0, WRITE_WITH_OOB,
       "buffer not page aligned, bufleft = 2000,pagelen = 2112\n"},
      {"OOB length a page short of a record", 0, pattern(RECORD + PAGE), 0, WRITE_WITH_OOB,
       "buffer not page aligned, bufleft = 4160,pagelen = 2112\n"},
      {"4096-byte pages", 2, pattern(PAGE), 0, WRITE_RAW, "Unknown flash (not normal NAND)\n"},
      {"128 OOB bytes", 3, pattern(PAGE), 0, WRITE_RAW, "Unknown flash (not normal NAND)\n"},
      {"more than the device holds", 0, pattern(BLOCK + PAGE), 7 * BLOCK, WRITE_RAW,
       "Image 133120 bytes, NAND page 2048 bytes, OOB area 2048 bytes, device size 1048576 "
       "bytes\n"},
      {"more records than the device holds", 0, records(PAGES + 1, 0), 7 * BLOCK, WRITE_WITH_OOB,
       "Image 137280 bytes, NAND page 2112 bytes, OOB area 2048 bytes, device size 1048576 "
       "bytes\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    mtd_device fd = sim.device(r.mtd);
    uint32_t offset = r.offset;
    EXPECT_EQ(output_of([&] { EXPECT_EQ(write(r.buf, &offset, r.mode, 1, -1, &fd), -1); }),
              r.output);
    EXPECT_EQ(offset, r.offset);
  }
  EXPECT_EQ(sim.events(), "") << "nothing was asked or written";
}

TEST_F(NandWrite, APartialLastPageIsNotCountedByTheFitCheck) {
  // 100 bytes past the last full page still fit, padded, at the device end.
  std::vector<uint8_t> buf = pattern(BLOCK - PAGE + 100);
  uint32_t offset = 7 * BLOCK;
  EXPECT_EQ(write(buf, &offset, WRITE_RAW), 0);
  EXPECT_EQ(offset, 8 * BLOCK);
}

TEST(NandWriteFailure, LeavesTheOffsetWhereItWas) {
  struct row {
    sim_op op;
    unsigned nth;
    int mode;
    std::string output;
  };
  const row rows[] = {
      {SIM_GETINFO, 1, WRITE_RAW, "failed to MEMGETINFO,Input/output error\n"},
      {SIM_OOBSEL, 1, WRITE_WITH_OOB, "failed to MEMGETOOBSEL,Input/output error\n"},
      {SIM_BADBLOCK, 2, WRITE_RAW, "failed to MEMGETBADBLOCK,Input/output error\n"},
      {SIM_OOBWRITE, 3, WRITE_WITH_OOB, "failed to MEMWRITEOOB,Input/output error\n"},
      {SIM_SEEK, 2, WRITE_RAW, "failed to lseek,Input/output error\n"},
      {SIM_WRITE, 70, WRITE_RAW,  // in block 3, past the bad one
       "Bad block at 40000, from 40000 will be skipped\nfailed to write,Input/output error\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(sim_op_name(r.op));
    sim_fixture own(BOARD);
    mtd_device dev = own.device(0);
    sim_inject(0, r.op, r.nth, EIO);
    std::vector<uint8_t> buf = r.mode == WRITE_RAW ? pattern(2 * BLOCK) : records(2 * PAGES, 0);
    mtd_target t{&dev, -1, r.mode, 0, BLOCK};
    EXPECT_EQ(output_of([&] {
                EXPECT_EQ(nand_write_buffer(&t, buf.data(), static_cast<int>(buf.size())), -1);
              }),
              r.output);
    EXPECT_EQ(t.offset, BLOCK);
  }
}

TEST_F(NandWrite, FakeFileGetsPagesAndOobImagesWithoutGaps) {
  // Two erase blocks of records from block 1: block 1, then block 3 past the
  // bad block 2. The file receives them back to back; the device is only asked.
  int out = ::open(sim.path("fake").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GT(out, 0);
  std::vector<uint8_t> buf = records(2 * PAGES, 0x5A);
  uint32_t offset = BLOCK;
  EXPECT_EQ(output_of([&] { EXPECT_EQ(write(buf, &offset, WRITE_WITH_OOB, 0, out), 0); }),
            "Bad block at 40000, from 40000 will be skipped\n");
  ::close(out);
  EXPECT_EQ(offset, 4 * BLOCK);

  std::string file = e2e::read_file(sim.path("fake"));
  ASSERT_EQ(file.size(), 2 * PAGES * RECORD);
  std::vector<uint8_t> data = pattern(2 * PAGES * PAGE);
  std::vector<uint8_t> want;
  for (uint32_t k = 0; k < 2 * PAGES; k++) {
    want.insert(want.end(), data.begin() + k * PAGE, data.begin() + (k + 1) * PAGE);
    std::vector<uint8_t> img = oob_image(0x5A);
    want.insert(want.end(), img.begin(), img.end());
  }
  EXPECT_TRUE(std::equal(want.begin(), want.end(), file.begin(),
                         [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
  EXPECT_EQ(sim.events(),
            "badblock mtd0 131072 0\nbadblock mtd0 262144 1\nbadblock mtd0 393216 0\n");
  EXPECT_EQ(sim.data(0), std::vector<uint8_t>(1 << 20, 0xFF));
}

TEST_F(NandWrite, FakeFileInRawModeGetsPaddedPages) {
  int out = ::open(sim.path("fake").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GT(out, 0);
  std::vector<uint8_t> buf = pattern(PAGE + 10);
  uint32_t offset = 0;
  EXPECT_EQ(write(buf, &offset, WRITE_RAW, 0, out), 0);
  ::close(out);
  std::string file = e2e::read_file(sim.path("fake"));
  ASSERT_EQ(file.size(), 2 * PAGE);
  EXPECT_EQ(static_cast<uint8_t>(file[PAGE + 9]), buf[PAGE + 9]);
  EXPECT_EQ(file.substr(PAGE + 10), std::string(PAGE - 10, '\xFF'));
}

TEST_F(NandWrite, EmptyBufferWritesNothing) {
  uint32_t offset = 3 * BLOCK;
  EXPECT_EQ(write({}, &offset, WRITE_RAW), 0);
  EXPECT_EQ(offset, 3 * BLOCK);
  EXPECT_EQ(sim.events(), "");
}

}  // namespace
}  // namespace korvane
