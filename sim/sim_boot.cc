// SPDX-License-Identifier: MIT
#include "sim/sim_boot.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <zlib.h>
#include "sim/sim.h"
#include "sim/sim_env.h"
#include "sim/sim_mtd.h"

namespace korvane {
namespace {

std::string value_of(const bootenv_vars &env, const std::string &name) {
  auto it = env.find(name);
  return it == env.end() ? std::string() : it->second;
}

unsigned number_of(const bootenv_vars &env, const std::string &name, unsigned fallback) {
  std::string v = value_of(env, name);
  if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 9)
    return fallback;
  return static_cast<unsigned>(std::stoul(v));
}

// The word after "key=" in a record ("version=1 key=none digest=..."), or "".
std::string record_word(const std::string &record, const std::string &key) {
  std::istringstream in(record);
  for (std::string w; in >> w;) {
    if (w.rfind(key + "=", 0) == 0) return w.substr(key.size() + 1);
  }
  return "";
}

// Whether slot's partitions hold what its record names. @return "" when
// they do, else why not.
std::string check_slot(char slot, const std::string &record) {
  const std::string digest = record_word(record, "digest");
  if (digest.empty()) return record.empty() ? "" : "record-without-digest";
  const sim_slot *s = nullptr;
  for (const auto &candidate : sim_slots()) {
    if (candidate.name == slot) s = &candidate;
  }
  if (!s) return "no-such-slot";
  std::istringstream in(digest);
  for (std::string entry; std::getline(in, entry, ',');) {
    // mtdN:CRC
    auto colon = entry.find(':');
    if (entry.rfind("mtd", 0) != 0 || colon == std::string::npos) return "digest-format";
    int number = std::atoi(entry.substr(3, colon - 3).c_str());
    if (std::find(s->mtds.begin(), s->mtds.end(), number) == s->mtds.end())
      return "partition-not-in-slot";
    uint32_t crc = 0;
    if (!sim_partition_digest(number, &crc)) return "no-partition";
    char shown[16];
    std::snprintf(shown, sizeof shown, "%08x", crc);
    if (entry.substr(colon + 1) != shown) return "digest-mismatch";
  }
  return "";
}

int store(const bootenv_vars &changes, FILE *out) {
  std::string error;
  if (sim_env_store(sim_env_of_board(), sim_state_dir(), changes, &error) != 0) {
    std::fprintf(out, "boot: result=error reason=%s\n", error.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

bool sim_partition_digest(int number, uint32_t *crc) {
  const sim_mtd *m = sim_partition(number);
  if (!m) return false;
  std::ifstream in(sim_state_dir() + "/mtd" + std::to_string(number) + ".data", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bytes.resize(m->size, '\xff');  // a partition never written is erased
  uint32_t c = 0;
  for (uint32_t block = 0; block < m->size / m->erasesize; ++block) {
    if (m->is_bad(block)) continue;
    c = static_cast<uint32_t>(
        ::crc32(c, reinterpret_cast<const Bytef *>(bytes.data()) + uint64_t{block} * m->erasesize,
                m->erasesize));
  }
  *crc = c;
  return true;
}

int sim_boot(bool fail, FILE *out) {
  if (sim_slots().empty()) {
    std::fprintf(out, "boot: result=error reason=the board has no slots (slot lines)\n");
    return 2;
  }
  bootenv_vars env;
  std::string error;
  if (sim_env_load(sim_env_of_board(), sim_state_dir(), &env, &error) != 0 || env.empty()) {
    std::fprintf(out, "boot: result=error reason=%s\n",
                 error.empty() ? "no valid copy of the environment" : error.c_str());
    return 2;
  }
  // The boot loader's counting: one store per boot while an update waits.
  const bool counting = value_of(env, "upgrade_available") == "1";
  unsigned bootcount = number_of(env, "bootcount", 0);
  const unsigned bootlimit = number_of(env, "bootlimit", 0);
  bool fallback = false;
  if (counting) {
    ++bootcount;
    if (store({{"bootcount", std::to_string(bootcount)}}, out) != 0) return 2;
    if (bootlimit > 0 && bootcount > bootlimit) {
      // The fallback: one store, then the last good slot.
      const std::string next = value_of(env, "korvane_next"), good = value_of(env, "korvane_good");
      bootenv_vars changes = {
          {"korvane_next", good}, {"upgrade_available", "0"}, {"bootcount", "0"}};
      if (next == "A" || next == "B") changes["korvane_" + next] = "failed";
      if (store(changes, out) != 0) return 2;
      for (const auto &[k, v] : changes) env[k] = v;
      bootcount = 0;
      fallback = true;
    }
  }
  const std::string slot = value_of(env, "korvane_next");
  const std::string state = slot == "A" || slot == "B" ? value_of(env, "korvane_" + slot) : "";
  std::fprintf(out, "boot: slot=%s state=%s bootcount=%u bootlimit=%u fallback=%s",
               slot.empty() ? "-" : slot.c_str(), state.empty() ? "-" : state.c_str(), bootcount,
               bootlimit, fallback ? "yes" : "no");
  std::string why;
  if (slot != "A" && slot != "B") {
    why = "korvane_next names no slot";
  } else if (state != "good" && state != "pending") {
    why = "the slot is " + (state.empty() ? std::string("unset") : state);
  } else {
    why = check_slot(slot[0], value_of(env, "korvane_" + slot + "_rec"));
    if (!why.empty()) why = "the slot's partitions do not hold its image: " + why;
  }
  if (why.empty() && fail) why = "the system did not come up (--boot-fail)";
  if (!why.empty()) {
    std::fprintf(out, " result=down reason=%s\n", why.c_str());
    sim_log("boot %s down", slot.c_str());
    return 1;
  }
  std::ofstream cmdline(sim_state_dir() + "/proc/cmdline", std::ios::trunc);
  cmdline << "console=ttyS0 korvane.slot=" << slot << "\n";
  if (!cmdline.flush()) {
    std::fprintf(out, " result=down reason=proc/cmdline cannot be written\n");
    return 2;
  }
  std::fprintf(out, " result=up\n");
  sim_log("boot %s up", slot.c_str());
  return 0;
}

}  // namespace korvane
