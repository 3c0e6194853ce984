// SPDX-License-Identifier: MIT
#include "sim/sim_time.h"

#include <gtest/gtest.h>
// clang-format off
#include <sys/ioctl.h>
#include <mtd/mtd-abi.h>
// clang-format on

#include <vector>

#include "platform/platform.h"
#include "tests/support/sim_fixture.h"

namespace korvane {
namespace {

// A CPU clock the test moves by hand.
uint64_t fake_cpu = 0;
uint64_t fake_clock() { return fake_cpu; }

struct fake_clock_scope {
  fake_clock_scope() {
    fake_cpu = 0;
    sim_time_clock(fake_clock);
    sim_time_reset();
  }
  ~fake_clock_scope() { sim_time_clock(nullptr); }
};

// The program computes for `cpu` ns, then makes one device call of `count`
// operations.
void call(sim_chip *chip, const sim_timing &t, uint64_t cpu, sim_flash_op op, uint64_t count) {
  fake_cpu += cpu;
  const sim_time_call c;
  fake_cpu += 1000000;  // the device's own work: never counted
  sim_time_op(chip, t, op, count);
}

TEST(SimTime, ASequenceGivesTheModelledTime) {
  const fake_clock_scope scope;
  const sim_timing t{2000, 250, 75, 0};
  sim_chip chip;
  // erase issued at 100, the chip busy until 2100; the call returns at once.
  call(&chip, t, 100, sim_flash_op::erase, 1);
  // 4 pages: the first waits for the erase (2100), the call returns when
  // the last is issued (2850), the chip busy until 3100.
  call(&chip, t, 50, sim_flash_op::program, 4);
  // 1000 ns of computing hide the last program: issued at 3850, to 4100.
  call(&chip, t, 1000, sim_flash_op::program, 1);
  // A read waits for the chip (4100) and for its 2 pages: returns at 4250.
  call(&chip, t, 10, sim_flash_op::read, 2);
  fake_cpu += 300;
  const sim_time_totals r = sim_time_result();
  EXPECT_EQ(r.total_ns, 4550u);
  EXPECT_EQ(r.busy_ns, 2000u + 5 * 250 + 2 * 75);
  EXPECT_EQ(r.cpu_ns, 1460u);
  EXPECT_EQ(r.wait_ns, (2850u - 150) + (4250 - 3860));
  EXPECT_EQ(r.erases, 1u);
  EXPECT_EQ(r.programs, 5u);
  EXPECT_EQ(r.reads, 2u);
  EXPECT_EQ(sim_time_line(r),
            "total-ns 4550 busy-ns 3400 cpu-ns 1460 wait-ns 3090 erases 1 programs 5 reads 2");
}

TEST(SimTime, TheRunEndsWhenTheLastChipIsIdle) {
  const fake_clock_scope scope;
  const sim_timing slow{1000000, 0, 0, 0}, fast{10, 10, 10, 0};
  sim_chip a, b;
  call(&a, slow, 5, sim_flash_op::erase, 1);    // busy until 1000005
  call(&b, fast, 5, sim_flash_op::program, 3);  // another chip does not wait for a
  const sim_time_totals r = sim_time_result();
  EXPECT_EQ(r.wait_ns, 20u);
  EXPECT_EQ(r.total_ns, 1000005u);
}

TEST(SimTime, TimesParse) {
  struct row {
    const char *text;
    bool ok;
    uint64_t ns;
  };
  const row rows[] = {
      {"2ms", true, 2000000},
      {"0.5s", true, 500000000},
      {"250us", true, 250000},
      {"1.5us", true, 1500},
      {"7ns", true, 7},
      {"0s", true, 0},
      {"0.000000001s", true, 1},
      {"2", false, 0},
      {"ms", false, 0},
      {"", false, 0},
      {"2 ms", false, 0},
      {"-1ms", false, 0},
      {"1.us", false, 0},
      {"0.5ns", false, 0},
      {"1.2345us", false, 0},
      {"2min", false, 0},
      {"99999999999999999999s", false, 0},
  };
  for (const row &r : rows) {
    uint64_t ns = 12345;
    EXPECT_EQ(sim_time_parse(r.text, &ns), r.ok) << r.text;
    EXPECT_EQ(ns, r.ok ? r.ns : 12345u) << r.text;
  }
}

// The device calls of the simulated board drive the model: a NAND erase of
// two blocks and a write of three pages, with the board's timings.
TEST(SimTime, DeviceCallsAreTimedByTheirPartition) {
  sim_fixture sim(
      "mtd0 nand size=1M erase=16K page=512 oob=16 erase-time=1ms program-time=100us "
      "read-time=10us\n"
      "mtd1 nor size=64K erase=4K erase-time=1ms program-time=1us read-time=1ns time-unit=8\n");
  const fake_clock_scope scope;
  unique_fd nand{sim.open(0), plat_close}, nor{sim.open(1), plat_close};
  erase_info_user e{0, 32768};
  ASSERT_EQ(plat().ioctl(nand.fd, MEMERASE, &e), 0);
  std::vector<uint8_t> page(1536, 0x5A);
  ASSERT_EQ(plat().write(nand.fd, page.data(), page.size()), 1536);
  ASSERT_EQ(plat().lseek(nand.fd, 0, SEEK_SET), 0);
  ASSERT_EQ(plat().read(nand.fd, page.data(), 700), 700);  // touches 2 pages
  // NOR: 20 bytes from offset 4 touch units 0 to 2.
  ASSERT_EQ(plat().lseek(nor.fd, 4, SEEK_SET), 4);
  ASSERT_EQ(plat().write(nor.fd, page.data(), 20), 20);
  const sim_time_totals r = sim_time_result();
  EXPECT_EQ(r.erases, 2u);
  EXPECT_EQ(r.programs, 3u + 3u);
  EXPECT_EQ(r.reads, 2u);
  EXPECT_EQ(r.busy_ns, 2000000u + 300000 + 20000 + 3000);
  // Each call found its chip busy or waited for a read before it: nothing
  // overlapped, the NOR write's last unit ends the run.
  EXPECT_EQ(r.total_ns, r.busy_ns);
  EXPECT_EQ(r.cpu_ns, 0u);
}

}  // namespace
}  // namespace korvane
