// SPDX-License-Identifier: MIT
// The simulated MTD character device, driven through the platform table as
// the flash layer drives it. Everything later tests trust rests on these
// semantics: erase to 0xFF, programming that only clears bits (RAM takes
// the bytes), page alignment on NAND, reads through the kernel's software
// ECC, bad blocks that only the erase refuses.
#include "sim/sim_mtd.h"

#include <gtest/gtest.h>
// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

constexpr const char *BOARD =
    "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2\n"
    "mtd1 nor size=256K erase=64K\n"
    "mtd2 ram size=128K erase=64K\n"
    "mtd3 nand size=256K erase=16K page=512 oob=16\n"
    "mtd4 nand size=64K erase=4K page=256 oob=8\n"
    "mtd5 nand size=1M erase=256K page=4096 oob=224\n";

constexpr uint32_t BLOCK = 128 * 1024;
constexpr uint32_t PAGE = 2048;

class SimMtd : public ::testing::Test {
 protected:
  sim_fixture sim{BOARD};

  int ioctl(int fd, unsigned long request, void *arg) { return plat().ioctl(fd, request, arg); }
  int erase(int fd, uint32_t start, uint32_t length) {
    erase_info_user e{start, length};
    return ioctl(fd, MEMERASE, &e);
  }
  ssize_t write_at(int fd, uint32_t at, const std::vector<uint8_t> &bytes) {
    if (plat().lseek(fd, at, SEEK_SET) != off_t(at)) return -2;
    return plat().write(fd, bytes.data(), bytes.size());
  }
  int write_oob(int fd, uint32_t start, std::vector<uint8_t> bytes) {
    mtd_oob_buf b{start, static_cast<uint32_t>(bytes.size()), bytes.data()};
    return ioctl(fd, MEMWRITEOOB, &b);
  }
  int badblock(int fd, loff_t at) { return ioctl(fd, MEMGETBADBLOCK, &at); }
};

TEST_F(SimMtd, FreshDeviceIsErasedAndBackedByFiles) {
  unique_fd fd(sim.open(0), plat_close);
  ASSERT_GE(fd.fd, 0);
  EXPECT_EQ(sim.data(0), std::vector<uint8_t>(1 << 20, 0xFF));
  EXPECT_EQ(sim.oob(0), std::vector<uint8_t>((1 << 20) / PAGE * 64, 0xFF));
  EXPECT_FALSE(e2e::file_exists(sim.path("mtd1.data"))) << "only opened partitions get files";

  std::vector<uint8_t> buf(100, 0);
  ASSERT_EQ(plat().lseek(fd.fd, (1 << 20) - 40, SEEK_SET), (1 << 20) - 40);
  EXPECT_EQ(plat().read(fd.fd, buf.data(), buf.size()), 40) << "short read at the end";
  EXPECT_EQ(buf[39], 0xFF);
  EXPECT_EQ(plat().read(fd.fd, buf.data(), buf.size()), 0);
}

TEST_F(SimMtd, GetInfoReportsTheKernelRecord) {
  struct row {
    int mtd;
    uint8_t type;
    uint32_t flags, size, erasesize, writesize, oobsize;
  };
  const row rows[] = {
      {0, MTD_NANDFLASH, MTD_CAP_NANDFLASH, 1u << 20, BLOCK, PAGE, 64},
      {1, MTD_NORFLASH, MTD_CAP_NORFLASH, 256u << 10, 64u << 10, 1, 0},
      {2, MTD_RAM, MTD_CAP_RAM, 128u << 10, 64u << 10, 1, 0},
  };
  for (const row &r : rows) {
    unique_fd fd(sim.open(r.mtd), plat_close);
    mtd_info_user info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(ioctl(fd.fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(info.type, r.type);
    EXPECT_EQ(info.flags, r.flags);
    EXPECT_EQ(info.size, r.size);
    EXPECT_EQ(info.erasesize, r.erasesize);
    EXPECT_EQ(info.writesize, r.writesize);
    EXPECT_EQ(info.oobsize, r.oobsize);
    EXPECT_EQ(info.padding, 0u);
  }
}

TEST_F(SimMtd, NandProgramsOnlyClearBitsUntilErased) {
  unique_fd fd(sim.open(0), plat_close);
  ASSERT_EQ(write_at(fd.fd, PAGE, std::vector<uint8_t>(PAGE, 0x0F)), ssize_t(PAGE));
  ASSERT_EQ(write_at(fd.fd, PAGE, std::vector<uint8_t>(PAGE, 0xF3)), ssize_t(PAGE));
  ASSERT_EQ(write_at(fd.fd, BLOCK, std::vector<uint8_t>(PAGE, 0x00)), ssize_t(PAGE));
  ASSERT_EQ(write_oob(fd.fd, PAGE, std::vector<uint8_t>(64, 0x3C)), 0);
  std::vector<uint8_t> d = sim.data(0), o = sim.oob(0);
  EXPECT_EQ(d[PAGE], 0x03) << "0x0F AND 0xF3";
  EXPECT_EQ(d[2 * PAGE - 1], 0x03);
  EXPECT_EQ(d[PAGE - 1], 0xFF);
  EXPECT_EQ(d[2 * PAGE], 0xFF);
  EXPECT_EQ(o[64], 0x3C) << "page 1's OOB sits at 1 * oobsize";
  EXPECT_EQ(o[63], 0xFF);

  // Erasing block 0 resets its data and OOB, and nothing of block 1.
  ASSERT_EQ(erase(fd.fd, 0, BLOCK), 0);
  d = sim.data(0);
  o = sim.oob(0);
  EXPECT_EQ(d[PAGE], 0xFF);
  EXPECT_EQ(o[64], 0xFF);
  EXPECT_EQ(d[BLOCK], 0x00);

  // Reading gives what was stored.
  std::vector<uint8_t> back(4);
  ASSERT_EQ(plat().lseek(fd.fd, BLOCK - 2, SEEK_SET), BLOCK - 2);
  ASSERT_EQ(plat().read(fd.fd, back.data(), back.size()), 4);
  EXPECT_EQ(back, (std::vector<uint8_t>{0xFF, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(sim.events(),
            "write mtd0 2048 2048\nwrite mtd0 2048 2048\nwrite mtd0 131072 2048\n"
            "oobwrite mtd0 2048 64\nerase mtd0 0 131072\n");
}

TEST_F(SimMtd, NandWritesNeedWholePages) {
  unique_fd fd(sim.open(0), plat_close);
  struct row {
    uint32_t at;
    size_t len;
    ssize_t result;
    int err;
  };
  const row rows[] = {
      {0, PAGE, PAGE, 0},                     // one page
      {2 * PAGE, 3 * PAGE, 3 * PAGE, 0},      // several pages in one write
      {1, PAGE, -1, EINVAL},                  // offset inside a page
      {PAGE, 100, -1, EINVAL},                // short length
      {PAGE, PAGE + 1, -1, EINVAL},           // a page and a byte
      {(1 << 20) - PAGE, 2 * PAGE, PAGE, 0},  // cut at the device end
      {1 << 20, PAGE, -1, ENOSPC},            // at the end
      {0, 0, 0, 0},                           // nothing
  };
  for (const row &r : rows) {
    errno = 0;
    EXPECT_EQ(write_at(fd.fd, r.at, std::vector<uint8_t>(r.len, 0x55)), r.result)
        << r.at << "+" << r.len;
    if (r.result < 0) {
      EXPECT_EQ(errno, r.err) << r.at << "+" << r.len;
    }
  }
  std::vector<uint8_t> d = sim.data(0);
  EXPECT_EQ(d[PAGE], 0xFF) << "refused writes change nothing";
  EXPECT_EQ(d[2 * PAGE], 0x55);
  EXPECT_EQ(sim.events(),
            "write mtd0 0 2048\nwrite mtd0 4096 6144\nfail mtd0 write 22\nfail mtd0 write 22\n"
            "fail mtd0 write 22\nwrite mtd0 1046528 2048\nfail mtd0 write 28\n");
}

TEST_F(SimMtd, BadBlocksRefuseOnlyTheErase) {
  unique_fd fd(sim.open(0), plat_close);
  EXPECT_EQ(badblock(fd.fd, 2 * BLOCK), 1);
  EXPECT_EQ(badblock(fd.fd, 2 * BLOCK + 5000), 1) << "any offset inside the block";
  EXPECT_EQ(badblock(fd.fd, BLOCK), 0);
  errno = 0;
  EXPECT_EQ(badblock(fd.fd, 1 << 20), -1);
  EXPECT_EQ(errno, EINVAL) << "past the end";
  EXPECT_EQ(badblock(fd.fd, -1), -1);

  errno = 0;
  EXPECT_EQ(erase(fd.fd, 2 * BLOCK, BLOCK), -1);
  EXPECT_EQ(errno, EIO);
  // Writing into the bad block works, as on Linux: skipping it is the writer's job.
  EXPECT_EQ(write_at(fd.fd, 2 * BLOCK, std::vector<uint8_t>(PAGE, 0)), ssize_t(PAGE));
  EXPECT_EQ(write_oob(fd.fd, 2 * BLOCK, {0, 0}), 0);

  // A multi-block erase stops at the bad block; the blocks before it are erased.
  ASSERT_EQ(write_at(fd.fd, BLOCK, std::vector<uint8_t>(PAGE, 0)), ssize_t(PAGE));
  errno = 0;
  EXPECT_EQ(erase(fd.fd, BLOCK, 3 * BLOCK), -1);
  EXPECT_EQ(errno, EIO);
  std::vector<uint8_t> d = sim.data(0);
  EXPECT_EQ(d[BLOCK], 0xFF);
  EXPECT_EQ(d[2 * BLOCK], 0x00);
  EXPECT_EQ(sim.events(),
            "badblock mtd0 262144 1\nbadblock mtd0 267144 1\nbadblock mtd0 131072 0\n"
            "fail mtd0 badblock 22\nfail mtd0 badblock 22\nfail mtd0 erase 5\n"
            "write mtd0 262144 2048\noobwrite mtd0 262144 2\nwrite mtd0 131072 2048\nfail mtd0 "
            "erase 5\n");
}

TEST_F(SimMtd, EraseNeedsWholeBlocksInsideTheDevice) {
  struct row {
    int mtd;
    uint32_t start, length;
    int result, err;
  };
  const row rows[] = {
      {0, 0, BLOCK, 0, 0},
      {0, BLOCK, 2 * BLOCK, -1, EIO},         // runs into bad block 2
      {0, 3 * BLOCK, 5 * BLOCK, 0, 0},        // to the end
      {0, 4096, BLOCK, -1, EINVAL},           // unaligned start
      {0, 0, 4096, -1, EINVAL},               // short length
      {0, 7 * BLOCK, 2 * BLOCK, -1, EINVAL},  // past the end
      {0, 1 << 20, BLOCK, -1, EINVAL},        // at the end
      {0, 0, 0, 0, 0},                        // nothing
      {1, 64 << 10, 64 << 10, 0, 0},          // NOR: block aligned as well
      {1, 100, 64 << 10, -1, EINVAL},
  };
  for (const row &r : rows) {
    unique_fd fd(sim.open(r.mtd), plat_close);
    errno = 0;
    EXPECT_EQ(erase(fd.fd, r.start, r.length), r.result) << r.start << "+" << r.length;
    if (r.result < 0) {
      EXPECT_EQ(errno, r.err) << r.start << "+" << r.length;
    }
  }
}

TEST_F(SimMtd, OobWritesPlaceBytesLikeTheKernel) {
  unique_fd fd(sim.open(0), plat_close);
  // start's offset inside the page is the offset inside the OOB area.
  EXPECT_EQ(write_oob(fd.fd, 3 * PAGE + 16, std::vector<uint8_t>(8, 0x11)), 0);
  EXPECT_EQ(write_oob(fd.fd, 3 * PAGE + 16, std::vector<uint8_t>(8, 0x30)), 0);
  std::vector<uint8_t> o = sim.oob(0);
  EXPECT_EQ(o[3 * 64 + 15], 0xFF);
  EXPECT_EQ(o[3 * 64 + 16], 0x10) << "0x11 AND 0x30";
  EXPECT_EQ(o[3 * 64 + 23], 0x10);
  EXPECT_EQ(o[3 * 64 + 24], 0xFF);

  struct row {
    uint32_t start;
    size_t len;
    int err;
  };
  const row refused[] = {
      {0, 65, EINVAL},         // more than one page's OOB
      {PAGE + 60, 8, EINVAL},  // runs past the page's OOB
      {PAGE + 64, 1, EINVAL},  // starts past the OOB area
      {1 << 20, 8, EINVAL},    // past the device
      {0, 4097, EINVAL},       // longer than the kernel takes
  };
  for (const row &r : refused) {
    errno = 0;
    EXPECT_EQ(write_oob(fd.fd, r.start, std::vector<uint8_t>(r.len, 0)), -1) << r.start;
    EXPECT_EQ(errno, r.err) << r.start;
  }
  EXPECT_EQ(sim.oob(0), o) << "refused OOB writes change nothing";

  unique_fd nor(sim.open(1), plat_close);
  errno = 0;
  EXPECT_EQ(write_oob(nor.fd, 0, {0}), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
}

TEST_F(SimMtd, OobLayoutIsTheKernelsSoftwareEccLayout) {
  struct row {
    int mtd;
    std::vector<uint32_t> eccpos;
    std::vector<std::pair<uint32_t, uint32_t>> oobfree;  // non-zero pairs and the terminating one
  };
  std::vector<uint32_t> large;
  for (uint32_t i = 40; i < 64; i++) large.push_back(i);
  const row rows[] = {
      {0, large, {{2, 38}, {64, 0}}},             // 2048 + 64
      {3, {0, 1, 2, 3, 6, 7}, {{8, 8}, {0, 0}}},  // 512 + 16
      {4, {0, 1, 2}, {{3, 2}, {6, 2}, {0, 0}}},   // 256 + 8
  };
  for (const row &r : rows) {
    unique_fd fd(sim.open(r.mtd), plat_close);
    nand_oobinfo oi;
    std::memset(&oi, 0xAB, sizeof oi);
    ASSERT_EQ(ioctl(fd.fd, MEMGETOOBSEL, &oi), 0);
    EXPECT_EQ(oi.useecc, uint32_t(MTD_NANDECC_AUTOPLACE));
    EXPECT_EQ(oi.eccbytes, r.eccpos.size());
    for (size_t i = 0; i < r.eccpos.size(); i++)
      EXPECT_EQ(oi.eccpos[i], r.eccpos[i]) << "mtd" << r.mtd;
    for (size_t i = r.eccpos.size(); i < 32; i++) EXPECT_EQ(oi.eccpos[i], 0u);
    for (size_t i = 0; i < r.oobfree.size(); i++) {
      EXPECT_EQ(oi.oobfree[i][0], r.oobfree[i].first) << "mtd" << r.mtd << " pair " << i;
      EXPECT_EQ(oi.oobfree[i][1], r.oobfree[i].second) << "mtd" << r.mtd << " pair " << i;
    }
  }
  // No layout for an OOB size the kernel's software ECC does not handle, none on NOR.
  for (int mtd : {5, 1}) {
    unique_fd fd(sim.open(mtd), plat_close);
    nand_oobinfo oi{};
    errno = 0;
    EXPECT_EQ(ioctl(fd.fd, MEMGETOOBSEL, &oi), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
  }
}

TEST_F(SimMtd, PageWritesProgramTheSoftwareEccBytes) {
  // Two 256-byte steps with one set bit each: 0x01 at byte 0 and 0x80 at
  // byte 511; every other step all zero (code FF FF FF, as for erased data).
  std::vector<uint8_t> page(PAGE, 0x00);
  page[0] = 0x01;
  page[511] = 0x80;
  const std::vector<uint8_t> step0 = {0xAA, 0xAA, 0xAB}, step1 = {0x55, 0x55, 0x57};

  unique_fd fd(sim.open(0), plat_close);
  ASSERT_EQ(write_at(fd.fd, PAGE, page), ssize_t(PAGE));
  std::vector<uint8_t> want(64, 0xFF);  // ECC at 40..63, step by step
  std::copy(step0.begin(), step0.end(), want.begin() + 40);
  std::copy(step1.begin(), step1.end(), want.begin() + 43);
  std::vector<uint8_t> o = sim.oob(0);
  EXPECT_EQ(std::vector<uint8_t>(o.begin() + 64, o.begin() + 128), want);
  EXPECT_EQ(std::vector<uint8_t>(o.begin(), o.begin() + 64), std::vector<uint8_t>(64, 0xFF));

  // 512 + 16: six ECC bytes at 0-3 and 6-7.
  unique_fd small(sim.open(3), plat_close);
  ASSERT_EQ(write_at(small.fd, 0, std::vector<uint8_t>(page.begin(), page.begin() + 512)), 512);
  o = sim.oob(3);
  EXPECT_EQ(std::vector<uint8_t>(o.begin(), o.begin() + 16),
            (std::vector<uint8_t>{0xAA, 0xAA, 0xAB, 0x55, 0xFF, 0xFF, 0x55, 0x57, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

  // Written over OOB bytes already programmed, the ECC bytes AND in; ecc=none adds none.
  sim_partition(0)->soft_ecc = false;
  ASSERT_EQ(write_at(fd.fd, 2 * PAGE, page), ssize_t(PAGE));
  o = sim.oob(0);
  EXPECT_EQ(std::vector<uint8_t>(o.begin() + 128, o.begin() + 192), std::vector<uint8_t>(64, 0xFF));
}

// A bit-by-bit model of the 1-bit Hamming code of a 256-byte step: every
// set data bit (byte i, bit j) toggles, for each bit k of i, the line
// parity 2k (bit clear) or 2k+1 (bit set) and, for each bit m of j, the
// column parity 2m or 2m+1; parities are stored inverted, lines 8-15 in
// byte 0, lines 0-7 in byte 1, columns in bits 2-7 of byte 2 (bits 0-1 set).
std::array<uint8_t, 3> model_code(const uint8_t *step) {
  uint32_t lines = 0, columns = 0;
  for (int i = 0; i < 256; i++) {
    for (int j = 0; j < 8; j++) {
      if (!((step[i] >> j) & 1)) continue;
      for (int k = 0; k < 8; k++) lines ^= 1u << (2 * k + ((i >> k) & 1));
      for (int m = 0; m < 3; m++) columns ^= 1u << (2 * m + ((j >> m) & 1));
    }
  }
  lines = ~lines & 0xFFFF;
  columns = ~columns & 0x3F;
  return {uint8_t(lines >> 8), uint8_t(lines), uint8_t(columns << 2 | 3)};
}

// The model's read of a page: per step, if the stored and computed codes
// differ exactly as flipping one data bit would make them differ, that bit
// is flipped; any other difference leaves the data as stored.
std::vector<uint8_t> model_read(std::vector<uint8_t> data, const std::vector<uint8_t> &oob) {
  static const auto flips = [] {  // code difference of every single-bit flip
    std::vector<std::array<uint8_t, 3>> d;
    std::vector<uint8_t> zero(256, 0), one(256, 0);
    const auto base = model_code(zero.data());
    for (int bit = 0; bit < 2048; bit++) {
      one.assign(256, 0);
      one[bit / 8] = uint8_t(1u << (bit % 8));
      auto c = model_code(one.data());
      d.push_back({uint8_t(c[0] ^ base[0]), uint8_t(c[1] ^ base[1]), uint8_t(c[2] ^ base[2])});
    }
    return d;
  }();
  for (size_t step = 0; step < data.size() / 256; step++) {
    auto calc = model_code(&data[step * 256]);
    std::array<uint8_t, 3> diff;
    for (int b = 0; b < 3; b++) diff[b] = calc[b] ^ oob[40 + 3 * step + b];
    for (int bit = 0; bit < 2048; bit++) {
      if (flips[bit] == diff) data[step * 256 + bit / 8] ^= uint8_t(1u << (bit % 8));
    }
  }
  return data;
}

TEST_F(SimMtd, NandReadsAPageProgrammedTwiceAsTheKernelsEccCorrectsIt) {
  // Programmed twice, data and ECC bytes each hold the AND of the two
  // writes; the ECC then takes one bit per step for a flip and "corrects" it.
  std::vector<uint8_t> a(PAGE), b(PAGE);
  for (size_t i = 0; i < PAGE; i++) {
    a[i] = uint8_t(0x5A + i * 7 + (i >> 8));
    b[i] = uint8_t(0xC3 + i * 7 + (i >> 8));
  }
  unique_fd fd(sim.open(0), plat_close);
  ASSERT_EQ(write_at(fd.fd, PAGE, a), ssize_t(PAGE));
  ASSERT_EQ(write_at(fd.fd, PAGE, b), ssize_t(PAGE));
  std::vector<uint8_t> stored = sim.data(0), oob = sim.oob(0);
  stored = std::vector<uint8_t>(stored.begin() + PAGE, stored.begin() + 2 * PAGE);
  oob = std::vector<uint8_t>(oob.begin() + 64, oob.begin() + 128);
  std::vector<uint8_t> anded(PAGE);
  for (size_t i = 0; i < PAGE; i++) anded[i] = a[i] & b[i];
  ASSERT_EQ(stored, anded);
  for (size_t step = 0; step < PAGE / 256; step++) {
    auto ca = model_code(&a[step * 256]), cb = model_code(&b[step * 256]);
    for (int k = 0; k < 3; k++) ASSERT_EQ(oob[40 + 3 * step + k], ca[k] & cb[k]) << "step " << step;
  }

  std::vector<uint8_t> want = model_read(anded, oob), back(PAGE);
  ASSERT_EQ(plat().lseek(fd.fd, PAGE, SEEK_SET), PAGE);
  ASSERT_EQ(plat().read(fd.fd, back.data(), PAGE), ssize_t(PAGE));
  EXPECT_EQ(back, want);
  size_t changed = 0;
  for (size_t i = 0; i < PAGE; i++) changed += back[i] != anded[i];
  EXPECT_EQ(changed, 8u) << "the kernel changes one byte in each of the 8 steps of these writes";

  // ecc=none: the read gives what is stored.
  sim_partition(0)->soft_ecc = false;
  ASSERT_EQ(plat().lseek(fd.fd, PAGE, SEEK_SET), PAGE);
  ASSERT_EQ(plat().read(fd.fd, back.data(), PAGE), ssize_t(PAGE));
  EXPECT_EQ(back, anded);
}

TEST_F(SimMtd, NandReadsPagesWrittenOnceAsWritten) {
  std::vector<uint8_t> pages(4 * PAGE);
  uint32_t x = 12345;
  for (auto &v : pages) v = uint8_t((x = x * 1103515245u + 12345u) >> 16);
  unique_fd fd(sim.open(0), plat_close);
  ASSERT_EQ(write_at(fd.fd, BLOCK - 2 * PAGE, pages), ssize_t(pages.size()))
      << "across a block boundary";
  std::vector<uint8_t> back(pages.size() - 300);
  ASSERT_EQ(plat().lseek(fd.fd, BLOCK - 2 * PAGE + 100, SEEK_SET), BLOCK - 2 * PAGE + 100);
  ASSERT_EQ(plat().read(fd.fd, back.data(), back.size()), ssize_t(back.size()));
  EXPECT_EQ(back, std::vector<uint8_t>(pages.begin() + 100, pages.end() - 200));
}

TEST_F(SimMtd, NandReadsFollowTheKernelsCorrectionRule) {
  // Pages of zeros have the code FF FF FF; an OOB write then stores a
  // chosen code over it. Each row: where the code bytes go, what they are,
  // and the bytes that read back different from zero (offset, value).
  struct row {
    const char *what;
    int mtd;
    uint32_t oob_at;
    std::vector<uint8_t> code;
    std::vector<std::pair<uint32_t, uint8_t>> flipped;
  };
  const row rows[] = {
      {"codes agree", 0, 40, {}, {}},
      {"one bit of the stored code", 0, 40, {0xFE}, {}},
      {"one bit of the constant low bits", 0, 42, {0xFE}, {}},
      {"step 0, byte 255 bit 7", 0, 40, {0x55, 0x55, 0x57}, {{255, 0x80}}},
      {"step 1, byte 0 bit 0", 0, 43, {0xAA, 0xAA, 0xAB}, {{256, 0x01}}},
      {"step 7, byte 240 bit 5", 0, 61, {0x55, 0xAA, 0x67}, {{7 * 256 + 240, 0x20}}},
      {"both parities of a pair: uncorrectable", 0, 43, {0xFC}, {}},
      {"every parity: uncorrectable", 0, 40, {0x00, 0x00, 0x00}, {}},
      {"512 + 16, step 1 at 3, 6 and 7", 3, 3, {0x55, 0xFF, 0xFF, 0x55, 0x57}, {{511, 0x80}}},
  };
  for (const row &r : rows) {
    unique_fd fd(sim.open(r.mtd), plat_close);
    const uint32_t page = r.mtd == 0 ? PAGE : 512;
    ASSERT_EQ(erase(fd.fd, 0, r.mtd == 0 ? BLOCK : 16 * 1024), 0);
    ASSERT_EQ(write_at(fd.fd, 0, std::vector<uint8_t>(page, 0)), ssize_t(page));
    if (!r.code.empty()) {
      ASSERT_EQ(write_oob(fd.fd, r.oob_at, r.code), 0) << r.what;
    }
    std::vector<uint8_t> want(page, 0), back(page, 0xEE);
    for (const auto &[at, v] : r.flipped) want[at] = v;
    ASSERT_EQ(plat().lseek(fd.fd, 0, SEEK_SET), 0);
    EXPECT_EQ(plat().read(fd.fd, back.data(), page), ssize_t(page))
        << r.what << ": the read succeeds";
    EXPECT_EQ(back, want) << r.what;
    std::vector<uint8_t> stored = sim.data(r.mtd);
    EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.begin() + page),
              std::vector<uint8_t>(page, 0))
        << r.what << ": the correction is in what the read returns, not on the flash";
    // Part of a page: the same bytes.
    if (!r.flipped.empty()) {
      uint32_t at = r.flipped[0].first - 1;
      uint8_t two[2] = {0xEE, 0xEE};
      ASSERT_EQ(plat().lseek(fd.fd, at, SEEK_SET), at);
      ASSERT_EQ(plat().read(fd.fd, two, 2), 2);
      EXPECT_EQ(two[0], 0x00) << r.what;
      EXPECT_EQ(two[1], r.flipped[0].second) << r.what;
    }
  }
}

TEST_F(SimMtd, OobLayoutCanBeReplaced) {
  sim_mtd *m = sim_partition(0);
  m->useecc = 0;
  m->oobfree = {{0, 4}, {10, 2}};
  unique_fd fd(sim.open(0), plat_close);
  nand_oobinfo oi{};
  ASSERT_EQ(ioctl(fd.fd, MEMGETOOBSEL, &oi), 0);
  EXPECT_EQ(oi.useecc, 0u);
  EXPECT_EQ(oi.oobfree[0][0], 0u);
  EXPECT_EQ(oi.oobfree[0][1], 4u);
  EXPECT_EQ(oi.oobfree[1][0], 10u);
  EXPECT_EQ(oi.oobfree[2][1], 0u);
  EXPECT_EQ(oi.eccbytes, 24u) << "the ECC positions stay the kernel's";
}

TEST_F(SimMtd, NorAndRamWriteAnyBytesAndHaveNoBadBlocks) {
  // A second write over the same byte: NOR programs (0xF0 AND 0x3C), RAM
  // takes the new byte, as the kernel's RAM device copies it.
  struct row {
    int mtd;
    uint8_t second;
  };
  for (const row &r : {row{1, 0x30}, row{2, 0x3C}}) {
    const int mtd = r.mtd;
    unique_fd fd(sim.open(mtd), plat_close);
    EXPECT_EQ(write_at(fd.fd, 3, {0x0F, 0xF0, 0x00}), 3);
    EXPECT_EQ(write_at(fd.fd, 4, {0x3C}), 1);
    std::vector<uint8_t> d = sim.data(mtd);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 2, d.begin() + 7),
              (std::vector<uint8_t>{0xFF, 0x0F, r.second, 0x00, 0xFF}))
        << "mtd" << mtd;
    std::vector<uint8_t> back(3);
    ASSERT_EQ(plat().lseek(fd.fd, 3, SEEK_SET), 3);
    ASSERT_EQ(plat().read(fd.fd, back.data(), back.size()), 3);
    EXPECT_EQ(back, (std::vector<uint8_t>{0x0F, r.second, 0x00})) << "mtd" << mtd;
    EXPECT_EQ(badblock(fd.fd, 0), 0);
    EXPECT_EQ(badblock(fd.fd, (64 << 10) + 1), 0);
    errno = 0;
    EXPECT_EQ(badblock(fd.fd, d.size()), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(erase(fd.fd, 0, 64 << 10), 0);
    EXPECT_EQ(sim.data(mtd)[4], 0xFF);
  }
}

TEST_F(SimMtd, SeekFollowsTheCharacterDevice) {
  unique_fd fd(sim.open(1), plat_close);
  EXPECT_EQ(plat().lseek(fd.fd, 100, SEEK_SET), 100);
  EXPECT_EQ(plat().lseek(fd.fd, 28, SEEK_CUR), 128);
  EXPECT_EQ(plat().lseek(fd.fd, 0, SEEK_END), 256 << 10);
  errno = 0;
  EXPECT_EQ(plat().lseek(fd.fd, 1, SEEK_END), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(plat().lseek(fd.fd, -1, SEEK_SET), -1);
  EXPECT_EQ(plat().lseek(fd.fd, 0, SEEK_CUR), 256 << 10) << "a refused seek keeps the position";
  // Writes advance the position.
  plat().lseek(fd.fd, 10, SEEK_SET);
  ASSERT_EQ(plat().write(fd.fd, "ab", 2), 2);
  EXPECT_EQ(plat().lseek(fd.fd, 0, SEEK_CUR), 12);
}

TEST_F(SimMtd, ReadOnlyDescriptorsRefuseChanges) {
  unique_fd fd(sim.open(0, O_RDONLY), plat_close);
  errno = 0;
  EXPECT_EQ(plat().write(fd.fd, std::vector<uint8_t>(PAGE).data(), PAGE), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(erase(fd.fd, 0, BLOCK), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(write_oob(fd.fd, 0, {0}), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(badblock(fd.fd, 0), 0) << "queries are allowed";
  EXPECT_EQ(ioctl(fd.fd, 0x4d77, nullptr), -1);
  EXPECT_EQ(errno, ENOTTY) << "unknown requests";
}

TEST_F(SimMtd, ScheduledFaultsFailTheNthCall) {
  sim_inject(0, SIM_WRITE, 2, EIO);
  sim_inject(0, SIM_ERASE, 2, EROFS, true);
  sim_inject(1, SIM_IOCTL, 1, ENODEV);
  unique_fd fd(sim.open(0), plat_close);
  std::vector<uint8_t> page(PAGE, 0);
  EXPECT_EQ(write_at(fd.fd, 0, page), ssize_t(PAGE));
  errno = 0;
  EXPECT_EQ(write_at(fd.fd, PAGE, page), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(write_at(fd.fd, PAGE, page), ssize_t(PAGE)) << "only the 2nd";
  EXPECT_EQ(erase(fd.fd, 0, BLOCK), 0);
  EXPECT_EQ(write_at(fd.fd, PAGE, page), ssize_t(PAGE));
  EXPECT_EQ(erase(fd.fd, 0, BLOCK), -1);
  EXPECT_EQ(erase(fd.fd, 0, BLOCK), -1) << "2+ fails every later erase too";
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(sim.data(0)[PAGE], 0x00) << "a failed erase erased nothing";

  unique_fd nor(sim.open(1), plat_close);
  mtd_info_user info{};
  EXPECT_EQ(ioctl(nor.fd, MEMGETINFO, &info), -1);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(ioctl(nor.fd, MEMGETINFO, &info), 0);
  EXPECT_EQ(sim.events(),
            "write mtd0 0 2048\nfail mtd0 write 5\nwrite mtd0 2048 2048\nerase mtd0 0 131072\n"
            "write mtd0 2048 2048\n"
            "fail mtd0 erase 30\nfail mtd0 erase 30\nfail mtd1 ioctl 19\n");
}

TEST_F(SimMtd, RefusalsMissingDevicesAndBlocksTurningBad) {
  sim_partition(1)->refused = 1u << SIM_BADBLOCK;
  unique_fd nor(sim.open(1), plat_close);
  errno = 0;
  EXPECT_EQ(badblock(nor.fd, 0), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);

  sim_partition(3)->missing = true;
  errno = 0;
  EXPECT_EQ(sim.open(3), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(sim.open(9), -1) << "not on the board";
  EXPECT_EQ(plat().open("/dev/mtd01", O_RDWR, 0), -1);

  // A read-only partition opens for reading alone (EACCES, as the kernel's
  // character device answers) and says so in its MEMGETINFO flags.
  sim_partition(1)->read_only = true;
  errno = 0;
  EXPECT_EQ(sim.open(1, O_RDWR), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(sim.open(1, O_WRONLY), -1);
  unique_fd ro(sim.open(1, O_RDONLY), plat_close);
  ASSERT_GE(ro.fd, 0);
  mtd_info_user info{};
  ASSERT_EQ(ioctl(ro.fd, MEMGETINFO, &info), 0);
  EXPECT_EQ(info.flags, MTD_CAP_NORFLASH & ~MTD_WRITEABLE);

  unique_fd fd(sim.open(0), plat_close);
  EXPECT_EQ(badblock(fd.fd, 5 * BLOCK), 0);
  sim_mark_bad(0, 5);
  EXPECT_EQ(badblock(fd.fd, 5 * BLOCK), 1);
  EXPECT_EQ(erase(fd.fd, 5 * BLOCK, BLOCK), -1);
}

TEST_F(SimMtd, ContentsSurviveARestartAndMissingFilesStartErased) {
  {
    unique_fd fd(sim.open(3), plat_close);
    ASSERT_EQ(write_at(fd.fd, 512, std::vector<uint8_t>(512, 0x42)), 512);
  }
  sim_stop();
  ASSERT_EQ(truncate(sim.path("mtd3.data").c_str(), 1024), 0);
  sim_board board;
  std::string error;
  ASSERT_EQ(sim_board_parse(BOARD, "b", &board, &error), 0);
  ASSERT_EQ(sim_start(board, sim.dir().path(), &error), 0) << error;
  unique_fd fd(sim.open(3), plat_close);
  uint8_t b = 0;
  ASSERT_EQ(plat().lseek(fd.fd, 600, SEEK_SET), 600);
  ASSERT_EQ(plat().read(fd.fd, &b, 1), 1);
  EXPECT_EQ(b, 0x42);
  // The truncated backing file was extended erased.
  std::vector<uint8_t> d = sim.data(3);
  ASSERT_EQ(d.size(), 256u << 10);
  EXPECT_EQ(d[1023], 0x42);
  EXPECT_EQ(d[1024], 0xFF);
}

// Weak cells read flipped and the software ECC corrects one per 256-byte
// step; ECCGETSTATS counts what it corrected and what it could not, as the
// kernel does. Without ECC the flip reaches the reader. The stored bytes
// never change.
TEST(SimMtdWeak, WeakCellsGoThroughTheEccAndItsCounters) {
  sim_fixture sim(
      "mtd0 nand size=256K erase=128K page=2048 oob=64 weak=0x10:0,0x400:1,0x401:2\n"
      "mtd1 nand size=256K erase=128K page=2048 oob=64 ecc=none weak=0x10:0\n"
      "mtd2 nor size=64K erase=64K weak=3:7\n");
  auto read_all = [&](int fd, uint32_t n) {
    std::vector<uint8_t> b(n);
    EXPECT_EQ(plat().lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(plat().read(fd, b.data(), n), ssize_t(n));
    return b;
  };
  auto stats = [&](int fd) {
    mtd_ecc_stats st{};
    EXPECT_EQ(plat().ioctl(fd, ECCGETSTATS, &st), 0);
    return std::pair<uint32_t, uint32_t>{st.corrected, st.failed};
  };
  std::vector<uint8_t> zeros(2048, 0x00);
  for (int n : {0, 1}) {
    unique_fd fd(sim.open(n), plat_close);
    ASSERT_EQ(plat().write(fd.fd, zeros.data(), zeros.size()), 2048);
  }
  unique_fd ecc(sim.open(0), plat_close), raw(sim.open(1), plat_close),
      nor(sim.open(2), plat_close);
  EXPECT_EQ(stats(ecc.fd), (std::pair<uint32_t, uint32_t>{0, 0}));
  std::vector<uint8_t> got = read_all(ecc.fd, 2048);
  EXPECT_EQ(got[0x10], 0x00) << "one weak bit in its step is corrected";
  EXPECT_EQ(got[0x400], 0x02) << "two in one step are not";
  EXPECT_EQ(got[0x401], 0x04);
  EXPECT_EQ(stats(ecc.fd), (std::pair<uint32_t, uint32_t>{1, 1}));
  read_all(ecc.fd, 2048);
  EXPECT_EQ(stats(ecc.fd), (std::pair<uint32_t, uint32_t>{2, 2})) << "counted at every read";
  EXPECT_EQ(sim.data(0)[0x10], 0x00) << "the stored bit is as programmed";

  EXPECT_EQ(read_all(raw.fd, 2048)[0x10], 0x01);
  EXPECT_EQ(stats(raw.fd), (std::pair<uint32_t, uint32_t>{0, 0}));
  EXPECT_EQ(read_all(nor.fd, 4)[3], 0x7F) << "an erased NOR byte with bit 7 weak";
}

// MEMSETBADBLOCK: NAND only, on a writable descriptor; the block is bad at
// once, the event log says "markbad mtdN OFFSET", and the next simulation
// on the same state folder finds it bad too.
TEST(SimMtdMarks, MarksAreLoggedAndOutliveTheRun) {
  const char *board =
      "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=1\nmtd1 nor size=64K erase=64K\n";
  sim_fixture sim(board);
  auto mark = [&](int fd, loff_t at) { return plat().ioctl(fd, MEMSETBADBLOCK, &at); };
  auto bad = [&](int fd, loff_t at) { return plat().ioctl(fd, MEMGETBADBLOCK, &at); };
  {
    unique_fd ro(sim.open(0, O_RDONLY), plat_close), rw(sim.open(0), plat_close);
    unique_fd nor(sim.open(1), plat_close);
    errno = 0;
    EXPECT_EQ(mark(ro.fd, 3 * 131072), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(mark(nor.fd, 0), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_EQ(mark(rw.fd, 8 << 20), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(bad(rw.fd, 3 * 131072 + 4096), 0);
    EXPECT_EQ(mark(rw.fd, 3 * 131072 + 4096), 0);
    EXPECT_EQ(bad(rw.fd, 3 * 131072), 1);
    EXPECT_EQ(mark(rw.fd, 1 * 131072), 0) << "a bad block may be marked again";
  }
  EXPECT_NE(sim.events().find("markbad mtd0 397312\n"), std::string::npos) << sim.events();
  EXPECT_EQ(e2e::read_file(sim.path("mtd0.bad")), "3\n");

  sim_stop();
  sim_board b;
  std::string error;
  ASSERT_EQ(sim_board_parse(board, "b", &b, &error), 0);
  ASSERT_EQ(sim_start(b, sim.dir().path(), &error), 0) << error;
  unique_fd fd(sim.open(0), plat_close);
  EXPECT_EQ(bad(fd.fd, 3 * 131072), 1);
  EXPECT_EQ(bad(fd.fd, 1 * 131072), 1);
  EXPECT_EQ(bad(fd.fd, 2 * 131072), 0);
}

TEST_F(SimMtd, OobReadsReturnTheStoredBytes) {
  unique_fd fd(sim.open(0), plat_close);
  ASSERT_EQ(write_oob(fd.fd, PAGE + 2, {0x12, 0x34}), 0);
  std::vector<uint8_t> oob(64, 0);
  mtd_oob_buf b{PAGE, 64, oob.data()};
  ASSERT_EQ(ioctl(fd.fd, MEMREADOOB, &b), 0);
  EXPECT_EQ(oob[1], 0xFF);
  EXPECT_EQ(oob[2], 0x12);
  EXPECT_EQ(oob[3], 0x34);
  mtd_oob_buf past{PAGE + 60, 8, oob.data()};
  EXPECT_EQ(ioctl(fd.fd, MEMREADOOB, &past), -1) << "within one page's OOB area";
  unique_fd nor(sim.open(1), plat_close);
  EXPECT_EQ(ioctl(nor.fd, MEMREADOOB, &b), -1);
}

TEST_F(SimMtd, OtherDescriptorsGoToTheRealCalls) {
  std::string path = sim.path("plain");
  int fd = plat().open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(plat().write(fd, "hello", 5), 5);
  EXPECT_EQ(plat().lseek(fd, 1, SEEK_SET), 1);
  char buf[4] = {};
  EXPECT_EQ(plat().read(fd, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "ello");
  errno = 0;
  mtd_info_user info{};
  EXPECT_EQ(plat().ioctl(fd, MEMGETINFO, &info), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(plat().close(fd), 0);
  EXPECT_EQ(e2e::read_file(path), "hello");
  EXPECT_EQ(sim.events(), "") << "ordinary files are not device operations";
}

}  // namespace
}  // namespace korvane
