// SPDX-License-Identifier: MIT
// The environment library's backend against regular files, and the
// simulated board's copies of the same environment: both write the bytes
// the other reads, store after store.
#include "update/bootenv.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/sim_env.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::scratch_dir;

struct env_files {
  scratch_dir dir;
  std::string config = dir / "fw_env.config";
  sim_env_place place{4096, true};

  env_files() {
    e2e::write_file(dir / "uboot.env", std::string(4096, '\0'));
    e2e::write_file(dir / "uboot-redund.env", std::string(4096, '\0'));
    e2e::write_file(config, dir / "uboot.env 0x0 0x1000\n" + dir / "uboot-redund.env 0x0 0x1000\n");
  }
  std::string copy(int n) const {
    return e2e::read_file(dir / (n == 0 ? "uboot.env" : "uboot-redund.env"));
  }
};

// What U-Boot reads of a copy: its flag and the variables up to the empty
// one that ends them. The library pads the rest of the data area with
// whatever its buffer held (uninitialised memory: 0xBE under the address
// sanitizer), and its CRC covers that padding, so the CRC and the padding
// are left out here; the loads after each store check the CRC.
std::string used(const std::string &copy) {
  const size_t end = copy.find(std::string("\0\0", 2), 5);
  return copy.substr(4, end == std::string::npos ? std::string::npos : end + 2 - 4);
}

TEST(Bootenv, TheLibraryAndTheSimulatedBoardWriteTheSameBytes) {
  env_files f;
  std::string error;
  bootenv_vars vars;
  // Nothing valid yet: both read an empty environment.
  ASSERT_EQ(uboot_bootenv.load(f.config, &vars, &error), 0) << error;
  EXPECT_TRUE(vars.empty());

  const bootenv_vars first = {{"korvane_next", "B"}, {"bootcount", "0"}, {"korvane_B", "pending"}};
  ASSERT_EQ(uboot_bootenv.store(f.config, first, &error), 0) << error;
  std::string expected;
  ASSERT_TRUE(uboot_env_encode(first, 4096, true, 1, &expected));
  EXPECT_EQ(used(f.copy(1)), used(expected))
      << "the library's first store, into the second copy, flag 1";
  ASSERT_EQ(sim_env_load(f.place, f.dir.path(), &vars, &error), 0);
  EXPECT_EQ(vars, first);

  // The simulated board's store goes into the first copy with flag 2; the
  // library reads it and writes the next one where the board would.
  ASSERT_EQ(sim_env_store(f.place, f.dir.path(), {{"bootcount", "1"}}, &error), 0);
  ASSERT_EQ(uboot_bootenv.load(f.config, &vars, &error), 0);
  EXPECT_EQ(vars.at("bootcount"), "1");
  const std::string before = f.copy(0);
  ASSERT_EQ(uboot_bootenv.store(f.config, {{"korvane_B", ""}, {"upgrade_available", "0"}}, &error),
            0);
  EXPECT_EQ(f.copy(0), before) << "the copy in use is left alone";
  bootenv_vars want = first;
  want["bootcount"] = "1";
  want.erase("korvane_B");
  want["upgrade_available"] = "0";
  ASSERT_TRUE(uboot_env_encode(want, 4096, true, 3, &expected));
  EXPECT_EQ(used(f.copy(1)), used(expected));
  ASSERT_EQ(sim_env_load(f.place, f.dir.path(), &vars, &error), 0);
  EXPECT_EQ(vars, want);
}

// A copy damaged as by a store cut short: both read the other one.
TEST(Bootenv, ADamagedCopyIsPassedOver) {
  env_files f;
  std::string error;
  ASSERT_EQ(uboot_bootenv.store(f.config, {{"a", "1"}}, &error), 0);
  ASSERT_EQ(uboot_bootenv.store(f.config, {{"a", "2"}}, &error), 0);
  std::string torn = f.copy(0);
  torn[100] = 'x';
  e2e::write_file(f.dir / "uboot.env", torn);
  bootenv_vars lib, sim;
  ASSERT_EQ(uboot_bootenv.load(f.config, &lib, &error), 0);
  ASSERT_EQ(sim_env_load(f.place, f.dir.path(), &sim, &error), 0);
  EXPECT_EQ(lib, (bootenv_vars{{"a", "1"}}));
  EXPECT_EQ(sim, lib);
}

TEST(Bootenv, FlagsWrapAsTheBootLoaderReadsThem) {
  const uint8_t f0 = 255, f1 = 0, f2 = 7;
  EXPECT_EQ(uboot_env_pick(&f0, &f1), 1);  // 0 follows 255
  EXPECT_EQ(uboot_env_pick(&f1, &f0), 0);
  EXPECT_EQ(uboot_env_pick(&f2, &f1), 0);
  EXPECT_EQ(uboot_env_pick(nullptr, &f1), 1);
  EXPECT_EQ(uboot_env_pick(nullptr, nullptr), -1);
}

TEST(Bootenv, AMissingConfigurationIsAnError) {
  scratch_dir d;
  bootenv_vars vars;
  std::string error;
  EXPECT_EQ(uboot_bootenv.load(d / "none.config", &vars, &error), -1);
  EXPECT_NE(error.find("fw_env.config"), std::string::npos) << error;
}

}  // namespace
}  // namespace korvane
