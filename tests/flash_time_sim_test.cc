// SPDX-License-Identifier: MIT
// The flash time model end to end through korvane-sim: what --flash-time
// reports of an install, and that a run without it says and logs nothing
// more than before.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "rom/layout.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

using e2e::bin;
using install_test::blk_input;
using install_test::build_image;
using install_test::pattern;

struct figures {
  unsigned long long total = 0, busy = 0, cpu = 0, wait = 0, erases = 0, programs = 0, reads = 0;
};

bool parse_log_line(const std::string &line, figures *f) {
  return std::sscanf(line.c_str(),
                     "flash-time total-ns %llu busy-ns %llu cpu-ns %llu wait-ns %llu erases %llu "
                     "programs %llu reads %llu",
                     &f->total, &f->busy, &f->cpu, &f->wait, &f->erases, &f->programs,
                     &f->reads) == 7;
}

std::vector<std::string> lines(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

TEST(FlashTimeSim, AnInstallReportsItsModelledTime) {
  e2e::scratch_dir dir;
  // 4 erase blocks of 32 pages; 10000 bytes are 20 pages.
  e2e::write_file(dir / "board",
                  "mtd0 nand size=64K erase=16K page=512 oob=16 erase-time=1ms program-time=100us "
                  "read-time=10us\n");
  build_image(dir / "new.rom",
              {blk_input{ROM_BLK_TYPE_NAND_RAW, 0, "fw", ROM_BLK_CT_NONE, pattern(10000, 2)}});
  auto sim = [&](const std::string &st, std::vector<std::string> args) {
    args.insert(args.begin(), {bin("korvane-sim"), "--board", "board", "--state", st});
    return e2e::run(args, dir.path());
  };
  const e2e::run_result plain = sim("plain", {"--", "-e", "new.rom"});
  ASSERT_EQ(plain.status, 0) << plain.out << plain.err;
  EXPECT_EQ(plain.err, "") << "nothing of the model without the option";
  const std::vector<std::string> plain_log = lines(e2e::read_file(dir / "plain/events.log"));

  const e2e::run_result r = sim("timed", {"--flash-time", "--", "-e", "new.rom"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, plain.out);
  EXPECT_EQ(e2e::read_file(dir / "timed/mtd0.data"), e2e::read_file(dir / "plain/mtd0.data"));
  std::vector<std::string> log = lines(e2e::read_file(dir / "timed/events.log"));
  ASSERT_FALSE(log.empty());
  figures f;
  ASSERT_TRUE(parse_log_line(log.back(), &f)) << log.back();
  log.pop_back();
  EXPECT_EQ(log, plain_log) << "the model adds its one line at the end";

  EXPECT_EQ(f.erases, 4u);
  EXPECT_EQ(f.programs, 20u);
  EXPECT_EQ(f.reads, 0u);
  EXPECT_EQ(f.busy, 4 * 1000000ull + 20 * 100000ull);
  EXPECT_GT(f.cpu, 0u);
  // The run lasts at least as long as the flash is busy, and no longer
  // than computing and then waiting for the flash one after the other.
  EXPECT_GE(f.total, f.busy);
  EXPECT_LE(f.total, f.busy + f.cpu);
  EXPECT_LE(f.wait, f.total);

  char expected[256];
  std::snprintf(expected, sizeof expected,
                "korvane-sim: flash time: total %.6f s, flash busy %.6f s, cpu %.6f s, "
                "waiting %.6f s, erases 4, programs 20, reads 0\n",
                static_cast<double>(f.total) / 1e9, static_cast<double>(f.busy) / 1e9,
                static_cast<double>(f.cpu) / 1e9, static_cast<double>(f.wait) / 1e9);
  EXPECT_EQ(r.err, expected);
}

}  // namespace
}  // namespace korvane
