// The simulated MTD character device, driven through the platform table as
// the flash layer drives it. Everything later tests trust rests on these
// semantics: erase to 0xFF, programming that only clears bits, page
// alignment on NAND, bad blocks that only the erase refuses.
#include "sim/sim_mtd.h"

#include <gtest/gtest.h>
// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_fixture.h"

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
  plat_fd_guard fd(sim.open(0));
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
    plat_fd_guard fd(sim.open(r.mtd));
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
  plat_fd_guard fd(sim.open(0));
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
  plat_fd_guard fd(sim.open(0));
  struct row {
    uint32_t at;
    size_t len;
    ssize_t result;
    int err;
  };
  const row rows[] = {
      {0, PAGE, PAGE, 0},                      // one page
      {2 * PAGE, 3 * PAGE, 3 * PAGE, 0},       // several pages in one write
      {1, PAGE, -1, EINVAL},                   // offset inside a page
      {PAGE, 100, -1, EINVAL},                 // short length
      {PAGE, PAGE + 1, -1, EINVAL},            // a page and a byte
      {(1 << 20) - PAGE, 2 * PAGE, PAGE, 0},   // cut at the device end
      {1 << 20, PAGE, -1, ENOSPC},             // at the end
      {0, 0, 0, 0},                            // nothing
  };
  for (const row &r : rows) {
    errno = 0;
    EXPECT_EQ(write_at(fd.fd, r.at, std::vector<uint8_t>(r.len, 0x55)), r.result) << r.at << "+" << r.len;
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
  plat_fd_guard fd(sim.open(0));
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
            "write mtd0 262144 2048\noobwrite mtd0 262144 2\nwrite mtd0 131072 2048\nfail mtd0 erase 5\n");
}

TEST_F(SimMtd, EraseNeedsWholeBlocksInsideTheDevice) {
  struct row {
    int mtd;
    uint32_t start, length;
    int result, err;
  };
  const row rows[] = {
      {0, 0, BLOCK, 0, 0},
      {0, BLOCK, 2 * BLOCK, -1, EIO},     // runs into bad block 2
      {0, 3 * BLOCK, 5 * BLOCK, 0, 0},    // to the end
      {0, 4096, BLOCK, -1, EINVAL},       // unaligned start
      {0, 0, 4096, -1, EINVAL},           // short length
      {0, 7 * BLOCK, 2 * BLOCK, -1, EINVAL},  // past the end
      {0, 1 << 20, BLOCK, -1, EINVAL},    // at the end
      {0, 0, 0, 0, 0},                    // nothing
      {1, 64 << 10, 64 << 10, 0, 0},      // NOR: block aligned as well
      {1, 100, 64 << 10, -1, EINVAL},
  };
  for (const row &r : rows) {
    plat_fd_guard fd(sim.open(r.mtd));
    errno = 0;
    EXPECT_EQ(erase(fd.fd, r.start, r.length), r.result) << r.start << "+" << r.length;
    if (r.result < 0) {
      EXPECT_EQ(errno, r.err) << r.start << "+" << r.length;
    }
  }
}

TEST_F(SimMtd, OobWritesPlaceBytesLikeTheKernel) {
  plat_fd_guard fd(sim.open(0));
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
      {0, 65, EINVAL},              // more than one page's OOB
      {PAGE + 60, 8, EINVAL},       // runs past the page's OOB
      {PAGE + 64, 1, EINVAL},       // starts past the OOB area
      {1 << 20, 8, EINVAL},         // past the device
      {0, 4097, EINVAL},            // longer than the kernel takes
  };
  for (const row &r : refused) {
    errno = 0;
    EXPECT_EQ(write_oob(fd.fd, r.start, std::vector<uint8_t>(r.len, 0)), -1) << r.start;
    EXPECT_EQ(errno, r.err) << r.start;
  }
  EXPECT_EQ(sim.oob(0), o) << "refused OOB writes change nothing";

  plat_fd_guard nor(sim.open(1));
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
      {0, large, {{2, 38}, {64, 0}}},              // 2048 + 64
      {3, {0, 1, 2, 3, 6, 7}, {{8, 8}, {0, 0}}},    // 512 + 16
      {4, {0, 1, 2}, {{3, 2}, {6, 2}, {0, 0}}},     // 256 + 8
  };
  for (const row &r : rows) {
    plat_fd_guard fd(sim.open(r.mtd));
    nand_oobinfo oi;
    std::memset(&oi, 0xAB, sizeof oi);
    ASSERT_EQ(ioctl(fd.fd, MEMGETOOBSEL, &oi), 0);
    EXPECT_EQ(oi.useecc, uint32_t(MTD_NANDECC_AUTOPLACE));
    EXPECT_EQ(oi.eccbytes, r.eccpos.size());
    for (size_t i = 0; i < r.eccpos.size(); i++) EXPECT_EQ(oi.eccpos[i], r.eccpos[i]) << "mtd" << r.mtd;
    for (size_t i = r.eccpos.size(); i < 32; i++) EXPECT_EQ(oi.eccpos[i], 0u);
    for (size_t i = 0; i < r.oobfree.size(); i++) {
      EXPECT_EQ(oi.oobfree[i][0], r.oobfree[i].first) << "mtd" << r.mtd << " pair " << i;
      EXPECT_EQ(oi.oobfree[i][1], r.oobfree[i].second) << "mtd" << r.mtd << " pair " << i;
    }
  }
  // No layout for an OOB size the kernel's software ECC does not handle, none on NOR.
  for (int mtd : {5, 1}) {
    plat_fd_guard fd(sim.open(mtd));
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

  plat_fd_guard fd(sim.open(0));
  ASSERT_EQ(write_at(fd.fd, PAGE, page), ssize_t(PAGE));
  std::vector<uint8_t> want(64, 0xFF);  // ECC at 40..63, step by step
  std::copy(step0.begin(), step0.end(), want.begin() + 40);
  std::copy(step1.begin(), step1.end(), want.begin() + 43);
  std::vector<uint8_t> o = sim.oob(0);
  EXPECT_EQ(std::vector<uint8_t>(o.begin() + 64, o.begin() + 128), want);
  EXPECT_EQ(std::vector<uint8_t>(o.begin(), o.begin() + 64), std::vector<uint8_t>(64, 0xFF));

  // 512 + 16: six ECC bytes at 0-3 and 6-7.
  plat_fd_guard small(sim.open(3));
  ASSERT_EQ(write_at(small.fd, 0, std::vector<uint8_t>(page.begin(), page.begin() + 512)), 512);
  o = sim.oob(3);
  EXPECT_EQ(std::vector<uint8_t>(o.begin(), o.begin() + 16),
            (std::vector<uint8_t>{0xAA, 0xAA, 0xAB, 0x55, 0xFF, 0xFF, 0x55, 0x57, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0xFF, 0xFF, 0xFF}));

  // Written over OOB bytes already programmed, the ECC bytes AND in; ecc=none adds none.
  sim_partition(0)->soft_ecc = false;
  ASSERT_EQ(write_at(fd.fd, 2 * PAGE, page), ssize_t(PAGE));
  o = sim.oob(0);
  EXPECT_EQ(std::vector<uint8_t>(o.begin() + 128, o.begin() + 192), std::vector<uint8_t>(64, 0xFF));
}

TEST_F(SimMtd, OobLayoutCanBeReplaced) {
  sim_mtd *m = sim_partition(0);
  m->useecc = 0;
  m->oobfree = {{0, 4}, {10, 2}};
  plat_fd_guard fd(sim.open(0));
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
  for (int mtd : {1, 2}) {
    plat_fd_guard fd(sim.open(mtd));
    EXPECT_EQ(write_at(fd.fd, 3, {0x0F, 0xF0, 0x00}), 3);
    EXPECT_EQ(write_at(fd.fd, 4, {0x3C}), 1);
    std::vector<uint8_t> d = sim.data(mtd);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 2, d.begin() + 7),
              (std::vector<uint8_t>{0xFF, 0x0F, 0x30, 0x00, 0xFF}));
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
  plat_fd_guard fd(sim.open(1));
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
  plat_fd_guard fd(sim.open(0, O_RDONLY));
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
  plat_fd_guard fd(sim.open(0));
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

  plat_fd_guard nor(sim.open(1));
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
  plat_fd_guard nor(sim.open(1));
  errno = 0;
  EXPECT_EQ(badblock(nor.fd, 0), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);

  sim_partition(3)->missing = true;
  errno = 0;
  EXPECT_EQ(sim.open(3), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(sim.open(9), -1) << "not on the board";
  EXPECT_EQ(plat().open("/dev/mtd01", O_RDWR, 0), -1);

  plat_fd_guard fd(sim.open(0));
  EXPECT_EQ(badblock(fd.fd, 5 * BLOCK), 0);
  sim_mark_bad(0, 5);
  EXPECT_EQ(badblock(fd.fd, 5 * BLOCK), 1);
  EXPECT_EQ(erase(fd.fd, 5 * BLOCK, BLOCK), -1);
}

TEST_F(SimMtd, ContentsSurviveARestartAndMissingFilesStartErased) {
  {
    plat_fd_guard fd(sim.open(3));
    ASSERT_EQ(write_at(fd.fd, 512, std::vector<uint8_t>(512, 0x42)), 512);
  }
  sim_stop();
  ASSERT_EQ(truncate(sim.path("mtd3.data").c_str(), 1024), 0);
  sim_board board;
  std::string error;
  ASSERT_EQ(sim_board_parse(BOARD, "b", &board, &error), 0);
  ASSERT_EQ(sim_start(board, sim.dir().path(), &error), 0) << error;
  plat_fd_guard fd(sim.open(3));
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
