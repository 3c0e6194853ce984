// SPDX-License-Identifier: MIT
// The boot loader's environment as the simulated board reads it from its
// state folder: any data area, under a CRC that holds (a wrong one is
// refused before anything is parsed). What decodes encodes again into a
// copy of the same size that decodes to the same variables.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "sim/sim_env.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > (1u << 16)) return 0;
  const bool redundant = data[0] & 1;
  const std::string area(reinterpret_cast<const char *>(data + 1), size - 1);
  const uint32_t crc = static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef *>(area.data()), static_cast<uInt>(area.size())));
  std::string copy;
  for (int k = 0; k < 4; ++k) copy += static_cast<char>(crc >> (8 * k));
  if (redundant) copy += '\x07';
  copy += area;

  bootenv_vars vars;
  uint8_t flag = 0;
  if (!uboot_env_decode(copy, redundant, &vars, &flag)) return 0;
  FUZZ_CHECK(flag == (redundant ? 7 : 0));
  bootenv_vars kept;  // an empty value is no variable to the encoder
  for (const auto &[name, value] : vars) {
    FUZZ_CHECK(!name.empty() && name.find('=') == std::string::npos);
    if (!value.empty()) kept[name] = value;
  }
  std::string again;
  FUZZ_CHECK(uboot_env_encode(vars, static_cast<uint32_t>(copy.size()), redundant, 7, &again));
  FUZZ_CHECK(again.size() == copy.size());
  bootenv_vars decoded;
  FUZZ_CHECK(uboot_env_decode(again, redundant, &decoded, &flag));
  FUZZ_CHECK(decoded == kept);
  return 0;
}
