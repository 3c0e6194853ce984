// SPDX-License-Identifier: MIT
// Power cuts on the simulated devices: what is counted, and what an
// operation cut short leaves. A cut ends the process, so each one runs in a
// death test's child; the backing files are shared mappings, and the parent
// reads what the child left in them.
#include "sim/sim_power.h"

#include <gtest/gtest.h>
// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

constexpr const char *BOARD =
    "mtd0 nand size=64K erase=16K page=512 oob=16\n"
    "mtd1 nor size=64K erase=16K\n"
    "mtd2 ram size=32K erase=16K\n";

constexpr uint32_t BLOCK = 16 * 1024;
constexpr uint32_t PAGE = 512;

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto &b : v) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

int write_at(int fd, uint32_t at, const std::vector<uint8_t> &bytes) {
  if (plat().lseek(fd, at, SEEK_SET) != off_t(at)) return -1;
  return plat().write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) ? 0 : -1;
}
int erase(int fd, uint32_t start, uint32_t length) {
  erase_info_user e{start, length};
  return plat().ioctl(fd, MEMERASE, &e);
}
int mark_bad(int fd, loff_t at) { return plat().ioctl(fd, MEMSETBADBLOCK, &at); }

TEST(SimPower, CountsEveryOperationThatChangesFlash) {
  sim_fixture sim(
      "mtd0 nand size=64K erase=16K page=512 oob=16 fail=write:5:EIO\n"
      "mtd1 nor size=64K erase=16K\n"
      "mtd2 ram size=32K erase=16K\n");
  unique_fd nand(sim.open(0), plat_close), nor(sim.open(1), plat_close),
      ram(sim.open(2), plat_close);
  struct row {
    const char *what;
    std::function<int()> op;
    uint64_t counted;
  };
  std::vector<uint8_t> buf(3 * PAGE, 0x5A);
  mtd_oob_buf oob{0, 4, buf.data()};
  const row rows[] = {
      {"an erase of two blocks: one per block", [&] { return erase(nand.fd, 0, 2 * BLOCK); }, 2},
      {"three NAND pages in one write", [&] { return write_at(nand.fd, 0, buf); }, 3},
      {"a NOR write across an erase-block boundary",
       [&] { return write_at(nor.fd, BLOCK - 100, buf); }, 2},
      {"a RAM write inside one block", [&] { return write_at(ram.fd, 10, buf); }, 1},
      {"an OOB write", [&] { return plat().ioctl(nand.fd, MEMWRITEOOB, &oob); }, 1},
      {"a bad-block mark", [&] { return mark_bad(nand.fd, 3 * BLOCK); }, 1},
      {"the same mark again changes nothing", [&] { return mark_bad(nand.fd, 3 * BLOCK); }, 0},
      {"reads change nothing",
       [&] { return plat().read(nand.fd, buf.data(), PAGE) == PAGE ? 0 : -1; }, 0},
      {"a refused write (not page-aligned)",
       [&] { return write_at(nand.fd, 1, std::vector<uint8_t>(PAGE)) == -1 ? 0 : -1; }, 0},
      {"a write failed by a scheduled fault",
       [&] {
         // The board fails mtd0's 5th write: the 2 calls above and this
         // loop's third.
         int failed = 0;
         for (int i = 0; i < 5; i++)
           failed += write_at(nand.fd, 8 * PAGE, std::vector<uint8_t>(PAGE, 0xFF)) != 0;
         return failed == 1 ? 0 : -1;
       },
       4},
      {"an erase stopped by a bad block counts the blocks before it",
       [&] { return erase(nand.fd, 2 * BLOCK, 2 * BLOCK) == -1 ? 0 : -1; }, 1},
  };
  for (const row &r : rows) {
    const uint64_t before = sim_power_count();
    EXPECT_EQ(r.op(), 0) << r.what;
    EXPECT_EQ(sim_power_count() - before, r.counted) << r.what;
  }

  // Writes outside the partitions count through sim_power_pwrite.
  unique_fd file(::open(sim.path("copy").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  const uint64_t before = sim_power_count();
  EXPECT_EQ(sim_power_pwrite(file.fd, "abc", 3, 0, "copy"), 3);
  EXPECT_EQ(sim_power_pwrite(file.fd, "", 0, 0, "copy"), 0);
  EXPECT_EQ(sim_power_count() - before, 1u);
}

// What a cut leaves, by operation. Each case prepares a fresh board, then
// runs one operation; the cut lands on operation `at` of it.
struct torn_case {
  const char *name;
  int mtd;  // whose data and OOB are compared (-1: the file "copy")
  std::function<void(int fd)> prepare, op;
  uint64_t at;
  std::string log_tail;  // the last lines of events.log after the cut (without the seed)
};

// What the files hold after prepare and op, with power cut at `at` (0: not cut).
struct files {
  std::vector<uint8_t> data, oob;
  std::string events;
};

files run(const torn_case &c, bool run_op, uint64_t at, uint64_t seed) {
  sim_fixture sim(BOARD);
  const bool device = c.mtd >= 0;
  unique_fd fd(device ? sim.open(c.mtd)
                      : ::open(sim.path("copy").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644),
               device ? plat_close : static_cast<unique_fd::closer>(::close));
  c.prepare(fd.fd);
  if (run_op && at == 0) c.op(fd.fd);
  if (run_op && at > 0) {
    EXPECT_EXIT(
        {
          sim_power_arm(at, seed);
          c.op(fd.fd);
          std::_Exit(0);
        },
        testing::ExitedWithCode(SIM_POWER_CUT_STATUS),
        "^korvane-sim: power cut at flash operation " + std::to_string(at) + "\n$");
  }
  files f;
  if (device) {
    f.data = sim.data(c.mtd);
    f.oob = sim.oob(c.mtd);
  } else {
    std::string s = e2e::read_file(sim.path("copy"));
    f.data.assign(s.begin(), s.end());
  }
  f.events = sim.events();
  return f;
}

// Every bit on which before and after agree keeps that value in torn;
// the others may be either.
bool between(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after,
             const std::vector<uint8_t> &torn) {
  if (before.size() != after.size() || torn.size() != after.size()) return false;
  for (size_t i = 0; i < torn.size(); i++) {
    if (((torn[i] ^ before[i]) & ~(before[i] ^ after[i])) != 0) return false;
  }
  return true;
}

const std::vector<torn_case> &torn_cases() {
  static const std::vector<torn_case> cases = {
      {"NAND erase: old bits and erased bits", 0,
       [](int fd) { write_at(fd, BLOCK, noise(BLOCK, 1)); },
       [](int fd) { erase(fd, 0, 3 * BLOCK); }, 2, "erase mtd0 0 16384\nerase mtd0 16384 16384\n"},
      {"NAND program: the first page whole, the second torn, its ECC too", 0, [](int) {},
       [](int fd) { write_at(fd, 0, noise(3 * PAGE, 2)); }, 2,
       "write mtd0 0 512\nwrite mtd0 512 512\n"},
      {"NAND OOB write", 0, [](int) {},
       [](int fd) {
         std::vector<uint8_t> b = noise(16, 3);
         mtd_oob_buf oob{PAGE, 16, b.data()};
         plat().ioctl(fd, MEMWRITEOOB, &oob);
       },
       1, "oobwrite mtd0 512 16\n"},
      {"NOR program: the block before whole, the next one torn", 1, [](int) {},
       [](int fd) { write_at(fd, 100, noise(BLOCK + 3000, 4)); }, 2,
       "write mtd1 100 16284\nwrite mtd1 16384 3100\n"},
      {"NOR erase", 1, [](int fd) { write_at(fd, 0, noise(2 * BLOCK, 5)); },
       [](int fd) { erase(fd, BLOCK, BLOCK); }, 1, "erase mtd1 16384 16384\n"},
      {"RAM write: old and new bits", 2, [](int fd) { write_at(fd, 0, noise(BLOCK, 6)); },
       [](int fd) { write_at(fd, 0, noise(BLOCK, 7)); }, 1, "write mtd2 0 16384\n"},
      {"a write outside the partitions: a prefix", -1,
       [](int fd) { (void)::pwrite(fd, std::string(4096, 'o').data(), 4096, 0); },
       [](int fd) { sim_power_pwrite(fd, std::string(4096, 'n').data(), 4096, 0, "env copy 0"); },
       1, "env copy 0\n"},
  };
  return cases;
}

TEST(SimPowerDeathTest, AnOperationCutShortIsLeftTornAndNothingAfterIt) {
  for (const torn_case &c : torn_cases()) {
    SCOPED_TRACE(c.name);
    const files before = run(c, false, 0, 0), after = run(c, true, 0, 0);
    const files torn = run(c, true, c.at, 7), again = run(c, true, c.at, 7),
                other = run(c, true, c.at, 8);
    EXPECT_TRUE(between(before.data, after.data, torn.data));
    EXPECT_TRUE(between(before.oob, after.oob, torn.oob));
    // The bytes the operation changes: the data, or the OOB bytes alone.
    auto changed = after.data != before.data ? &files::data : &files::oob;
    // (Compared with ==: a failure prints no bytes.)
    EXPECT_TRUE(torn.*changed != before.*changed) << "some bits changed";
    EXPECT_TRUE(torn.*changed != after.*changed) << "not all bits changed";
    EXPECT_TRUE(again.data == torn.data && again.oob == torn.oob)
        << "the same seed tears the same bits";
    EXPECT_TRUE(other.*changed != torn.*changed) << "another seed tears others";

    // The log ends with what completed of the call and the powercut line.
    std::string tail = c.log_tail;
    const size_t last = tail.rfind('\n', tail.size() - 2);
    tail.insert(last == std::string::npos ? 0 : last + 1,
                "powercut " + std::to_string(c.at) + " 7 ");
    ASSERT_GE(torn.events.size(), tail.size());
    EXPECT_EQ(torn.events.substr(torn.events.size() - tail.size()), tail) << torn.events;
    EXPECT_EQ(torn.events.substr(0, before.events.size()), before.events);
    EXPECT_EQ(torn.events.size(), before.events.size() + tail.size()) << "nothing after the cut";

    if (c.mtd < 0) {  // a prefix of the new bytes, then the old ones
      size_t k = 0;
      while (k < torn.data.size() && torn.data[k] == after.data[k]) k++;
      EXPECT_TRUE(std::equal(torn.data.begin() + k, torn.data.end(), before.data.begin() + k));
    }
  }
}

// The NAND page cut short no longer matches its ECC: a read of it counts
// failed (or corrected) steps, as the kernel's would, and returns other
// bytes than were written; the page before it, written whole, reads clean.
TEST(SimPowerDeathTest, ATornNandPageFailsItsEcc) {
  sim_fixture sim(BOARD);
  unique_fd fd(sim.open(0), plat_close);
  const std::vector<uint8_t> pages = noise(2 * PAGE, 9);
  EXPECT_EXIT(
      {
        sim_power_arm(2, 1);
        write_at(fd.fd, 0, pages);
        std::_Exit(0);
      },
      testing::ExitedWithCode(SIM_POWER_CUT_STATUS), "power cut at flash operation 2");
  auto stats = [&] {
    mtd_ecc_stats st{};
    EXPECT_EQ(plat().ioctl(fd.fd, ECCGETSTATS, &st), 0);
    return st.corrected + st.failed;
  };
  std::vector<uint8_t> page(PAGE);
  ASSERT_EQ(plat().lseek(fd.fd, 0, SEEK_SET), 0);
  ASSERT_EQ(plat().read(fd.fd, page.data(), PAGE), ssize_t(PAGE));
  EXPECT_TRUE(std::equal(page.begin(), page.end(), pages.begin()));
  EXPECT_EQ(stats(), 0u);
  ASSERT_EQ(plat().read(fd.fd, page.data(), PAGE), ssize_t(PAGE));
  EXPECT_FALSE(std::equal(page.begin(), page.end(), pages.begin() + PAGE));
  EXPECT_GE(stats(), 2u) << "two 256-byte steps, both torn";
}

// A bad-block mark cut short has landed or not, whole: in the marks file
// of the next run, or absent from it.
TEST(SimPowerDeathTest, AMarkCutShortLandsWholeOrNotAtAll) {
  bool landed = false, lost = false;
  for (uint64_t seed = 0; seed < 16 && !(landed && lost); seed++) {
    sim_fixture sim(BOARD);
    unique_fd fd(sim.open(0), plat_close);
    EXPECT_EXIT(
        {
          sim_power_arm(1, seed);
          mark_bad(fd.fd, 3 * BLOCK + 5);
          std::_Exit(0);
        },
        testing::ExitedWithCode(SIM_POWER_CUT_STATUS), "power cut at flash operation 1");
    const std::string marks =
        e2e::file_exists(sim.path("mtd0.bad")) ? e2e::read_file(sim.path("mtd0.bad")) : "";
    EXPECT_TRUE(marks == "" || marks == "3\n") << marks;
    (marks.empty() ? lost : landed) = true;
    EXPECT_EQ(sim.events(), "powercut 1 " + std::to_string(seed) + " markbad mtd0 49157\n");
  }
  EXPECT_TRUE(landed && lost) << "the seed decides";
}

}  // namespace
}  // namespace korvane
