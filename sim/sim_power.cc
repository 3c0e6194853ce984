// SPDX-License-Identifier: MIT
#include "sim/sim_power.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "sim/sim_mtd.h"

namespace korvane {
namespace {

struct power_state {
  uint64_t count = 0;
  uint64_t cut_at = 0;  // 0: never
  uint64_t seed = 0;
  uint64_t stream = 0;  // the torn pattern's state, set at the cut
};

power_state power;

// SplitMix64: small, fast, and every seed gives a full-period stream.
uint64_t splitmix(uint64_t *state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

void sim_power_arm(uint64_t cut_at, uint64_t seed) { power = power_state{0, cut_at, seed, 0}; }

uint64_t sim_power_count() { return power.count; }

bool sim_power_op() {
  power.count++;
  if (power.cut_at == 0 || power.count != power.cut_at) return false;
  // The stream depends on the seed and the cut point alone, so a cut is
  // replayed byte for byte, and a neighbouring cut tears differently.
  uint64_t mix = power.seed;
  power.stream = splitmix(&mix) ^ power.count;
  return true;
}

uint64_t sim_power_random() { return splitmix(&power.stream); }

uint8_t sim_power_random_byte() { return static_cast<uint8_t>(sim_power_random() >> 56); }

void sim_power_cut(const char *fmt, ...) {
  char event[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(event, sizeof event, fmt, ap);
  va_end(ap);
  sim_log("powercut %llu %llu %s", static_cast<unsigned long long>(power.count),
          static_cast<unsigned long long>(power.seed), event);
  // Straight to the descriptor: whatever the program's streams hold is lost
  // with the power, as on the board.
  std::string line =
      "korvane-sim: power cut at flash operation " + std::to_string(power.count) + "\n";
  (void)::write(STDERR_FILENO, line.data(), line.size());
  ::_exit(SIM_POWER_CUT_STATUS);
}

ssize_t sim_power_pwrite(int fd, const void *buf, size_t n, uint64_t offset, const char *event) {
  if (n == 0) return 0;
  const bool cut = sim_power_op();
  const size_t len = cut ? static_cast<size_t>(sim_power_random() % n) : n;
  const auto *bytes = static_cast<const uint8_t *>(buf);
  for (size_t done = 0; done < len;) {
    ssize_t w = ::pwrite(fd, bytes + done, len - done, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (cut) break;  // the power goes all the same
      return w < 0 ? -errno : -EIO;
    }
    done += static_cast<size_t>(w);
  }
  if (cut) sim_power_cut("%s", event);
  return static_cast<ssize_t>(n);
}

}  // namespace korvane
