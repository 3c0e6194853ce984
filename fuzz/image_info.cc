// SPDX-License-Identifier: MIT
// The image walk as `korvane -f crc -i` runs it: any bytes as a rom image or
// block file, every block header shown and every payload that carries a
// check verified. The walk must end on every input and hand back every
// descriptor it opened.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "rom/layout.h"
#include "rom/show.h"

using namespace korvane;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string image = fuzz::scratch() + "/image";
  fuzz::write_input(image, data, size);
  const int fds = fuzz::open_fds();
  int r = rom_show(image.c_str(), nullptr, ROM_VERIFY_CRC, 0, 1);
  FUZZ_CHECK(r == 0 || r == -14);
  FUZZ_CHECK(fuzz::open_fds() == fds);
  return 0;
}
