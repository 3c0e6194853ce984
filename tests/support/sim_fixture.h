// SPDX-License-Identifier: MIT
// For tests: a simulated board in a scratch folder for the life of the
// object, with helpers to open its partitions and read what landed.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "mtd/mtd.h"
#include "platform/platform.h"
#include "rom/io.h"
#include "sim/sim.h"
#include "sim/sim_board.h"
#include "tests/support/e2e.h"

namespace korvane {

class sim_fixture {
 public:
  explicit sim_fixture(const std::string &board_text) {
    sim_board board;
    std::string error;
    if (sim_board_parse(board_text, "test board", &board, &error) != 0 ||
        sim_start(board, dir_.path(), &error) != 0)
      throw std::runtime_error(error);
  }
  ~sim_fixture() { sim_stop(); }
  sim_fixture(const sim_fixture &) = delete;
  sim_fixture &operator=(const sim_fixture &) = delete;

  const e2e::scratch_dir &dir() const { return dir_; }
  std::string path(const std::string &name) const { return dir_ / name; }

  /// Opens /dev/mtdN through the installed table.
  int open(int number, int flags = O_RDWR) const {
    return plat().open(("/dev/mtd" + std::to_string(number)).c_str(), flags, 0);
  }

  /// Opens partition number as the flash layer does (throws when it cannot).
  mtd_device device(int number, mtd_access access = mtd_access::read_write) const {
    mtd_device d;
    if (mtd_open(&d, number, access) != 0) throw std::runtime_error("cannot open " + d.path);
    return d;
  }

  std::string events() const { return read_or_empty("events.log"); }
  std::vector<uint8_t> data(int number) const {
    return bytes("mtd" + std::to_string(number) + ".data");
  }
  std::vector<uint8_t> oob(int number) const {
    return bytes("mtd" + std::to_string(number) + ".oob");
  }

 private:
  std::string read_or_empty(const std::string &name) const {
    std::string p = path(name);
    return e2e::file_exists(p) ? e2e::read_file(p) : std::string();
  }
  std::vector<uint8_t> bytes(const std::string &name) const {
    std::string s = read_or_empty(name);
    return std::vector<uint8_t>(s.begin(), s.end());
  }

  e2e::scratch_dir dir_;
};

}  // namespace korvane
