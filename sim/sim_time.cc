// SPDX-License-Identifier: MIT
#include "sim/sim_time.h"

#include <mtd/mtd-abi.h>
#include <time.h>

#include <algorithm>
#include <cstdio>

namespace korvane {
namespace {

uint64_t thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

struct time_state {
  uint64_t (*cpu_now)() = thread_cpu_ns;
  uint64_t now = 0;        // the modelled clock
  uint64_t cpu_mark = 0;   // the CPU clock when the last device call ended
  uint64_t last_idle = 0;  // when the chip busy the longest goes idle
  int depth = 0;           // device calls in progress (a call may make another)
  sim_time_totals totals;
};

time_state model;

constexpr uint64_t NS_PER_US = 1000, NS_PER_MS = 1000000, NS_PER_S = 1000000000;

}  // namespace

sim_timing sim_timing_default(uint8_t type) {
  switch (type) {
    case MTD_NANDFLASH:
      // Page read 25 us and program 200 us typical, plus 2112 bytes over
      // the bus at 25 ns each; block erase 2 ms typical.
      return {2 * NS_PER_MS, 250 * NS_PER_US, 75 * NS_PER_US, 0};
    case MTD_NORFLASH:
      // Sector erase 0.5 s typical; a 32-byte write buffer programmed in
      // about 100 us; page-mode reads of 16 words in about 0.5 us.
      return {500 * NS_PER_MS, 100 * NS_PER_US, 500, 32};
    default:
      return {0, 0, 0, 32};  // RAM: as fast as the program can copy
  }
}

bool sim_time_parse(const std::string &text, uint64_t *ns) {
  size_t i = 0;
  uint64_t whole = 0, frac = 0, frac_scale = 1;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++, digits = true) {
    if (whole > 1000000000000ull) return false;
    whole = whole * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (i < text.size() && text[i] == '.') {
    i++;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++, any = true) {
      if (frac_scale == NS_PER_S) return false;  // finer than a nanosecond
      frac = frac * 10 + static_cast<uint64_t>(text[i] - '0');
      frac_scale *= 10;
    }
    if (!any) return false;
  }
  if (!digits) return false;
  const std::string unit = text.substr(i);
  uint64_t scale = 0;
  if (unit == "ns") scale = 1;
  else if (unit == "us") scale = NS_PER_US;
  else if (unit == "ms") scale = NS_PER_MS;
  else if (unit == "s") scale = NS_PER_S;
  else return false;
  if (whole > UINT64_MAX / scale) return false;
  const uint64_t part = frac * scale;
  if (part % frac_scale != 0) return false;  // finer than a nanosecond
  const uint64_t v = whole * scale;
  if (v > UINT64_MAX - part / frac_scale) return false;
  *ns = v + part / frac_scale;
  return true;
}

void sim_time_reset() {
  uint64_t (*clock)() = model.cpu_now;
  model = time_state{};
  model.cpu_now = clock;
  model.cpu_mark = clock();
}

void sim_time_clock(uint64_t (*cpu_now)()) {
  model.cpu_now = cpu_now ? cpu_now : thread_cpu_ns;
  model.cpu_mark = model.cpu_now();
}

void sim_time_enter() {
  if (model.depth++ > 0) return;
  const uint64_t cpu = model.cpu_now();
  const uint64_t spent = cpu > model.cpu_mark ? cpu - model.cpu_mark : 0;
  model.now += spent;
  model.totals.cpu_ns += spent;
}

void sim_time_leave() {
  if (model.depth > 0 && --model.depth == 0) model.cpu_mark = model.cpu_now();
}

void sim_time_op(sim_chip *chip, const sim_timing &t, sim_flash_op op, uint64_t count) {
  if (count == 0) return;
  const uint64_t each = op == sim_flash_op::erase     ? t.erase_ns
                        : op == sim_flash_op::program ? t.program_ns
                                                      : t.read_ns;
  // The call waits until the chip is free, then issues the operations one
  // after another: it returns when the last has been issued (erase,
  // program) or has finished (read).
  const uint64_t start = std::max(model.now, chip->busy_until);
  const uint64_t all = each * count;
  chip->busy_until = start + all;
  const uint64_t returns = op == sim_flash_op::read ? start + all : start + all - each;
  model.totals.wait_ns += returns - model.now;
  model.now = returns;
  model.totals.busy_ns += all;
  model.last_idle = std::max(model.last_idle, chip->busy_until);
  (op == sim_flash_op::erase     ? model.totals.erases
   : op == sim_flash_op::program ? model.totals.programs
                                 : model.totals.reads) += count;
}

sim_time_totals sim_time_result() {
  sim_time_totals t = model.totals;
  uint64_t now = model.now;
  if (model.depth == 0) {
    const uint64_t cpu = model.cpu_now();
    const uint64_t spent = cpu > model.cpu_mark ? cpu - model.cpu_mark : 0;
    now += spent;
    t.cpu_ns += spent;
  }
  t.total_ns = std::max(now, model.last_idle);
  return t;
}

std::string sim_time_line(const sim_time_totals &t) {
  char line[256];
  std::snprintf(
      line, sizeof line,
      "total-ns %llu busy-ns %llu cpu-ns %llu wait-ns %llu erases %llu programs %llu "
      "reads %llu",
      static_cast<unsigned long long>(t.total_ns), static_cast<unsigned long long>(t.busy_ns),
      static_cast<unsigned long long>(t.cpu_ns), static_cast<unsigned long long>(t.wait_ns),
      static_cast<unsigned long long>(t.erases), static_cast<unsigned long long>(t.programs),
      static_cast<unsigned long long>(t.reads));
  return line;
}

}  // namespace korvane
