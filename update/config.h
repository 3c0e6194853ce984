// SPDX-License-Identifier: MIT
// The board's configuration for updates with two slots: one INI file
// (default /etc/korvane/system.conf). Only the update actions read it.
//
//   [board]
//   device = NAME            the rom header's device name an update must carry
//   device-id = N            and its device id (decimal or 0x hexadecimal)
//   [keys]
//   key = FILE               a trusted public key; one line per key
//   [slot.A]                 and [slot.B]: block id = partition
//   0 = kernel_a             by its name in /proc/mtd, or mtdN, or N
//   [image]
//   leave-alone = 9, 10      block ids no slot maps that an update passes over
//   [bootloader]
//   type = u-boot
//   env-config = FILE        the environment library's fw_env.config
//   boot-attempts = N        boots a new slot gets before the fallback (1 to 100)
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvane {

inline constexpr const char *SYSTEM_CONF_DEFAULT = "/etc/korvane/system.conf";
inline constexpr const char *FW_ENV_CONFIG_DEFAULT = "/etc/fw_env.config";

/// A partition of a slot as the file names it.
struct slot_partition {
  std::string name;  // as written: a /proc/mtd name, "mtdN" or "N"
  int line = 0;      // where
};

struct system_config {
  std::string path;
  std::optional<std::string> device_name;
  std::optional<uint32_t> device_id;
  std::vector<std::string> keys;
  std::map<int, slot_partition> slots[2];  // [0] A, [1] B: block id -> partition
  std::set<int> left_alone;                // block ids
  std::string env_config = FW_ENV_CONFIG_DEFAULT;
  unsigned boot_attempts = 3;
};

/// What is wrong with the file, for the "config: error" line.
struct config_error {
  std::string path;
  int line = 0;  // 0: not one line (the file as a whole)
  std::string reason;
};

/// Reads and checks the file. @return 0, or -1 with *error set.
int config_load(const std::string &path, system_config *config, config_error *error);

/// Resolves each slot's partitions to MTD numbers, names through
/// /proc/mtd (read through the platform table). @return 0, or -1 with
/// *error naming the line.
int config_partitions(const system_config &config, std::map<int, int> numbers[2],
                      config_error *error);

/// Prints "config: error file=PATH line=N reason=TEXT".
void config_report(const config_error &error);

}  // namespace korvane
