// SPDX-License-Identifier: MIT
// korvane's command line: the input is the argument words, separated by NUL
// bytes. Either the parser returns complete settings that hold only values
// the rest of the program can take, or it ends the run with 0 (--help,
// --version) or the command-line error status.
#include <getopt.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "fuzz/fuzz_support.h"
#include "rom/layout.h"

using namespace korvane;

namespace {

constexpr size_t MAX_WORDS = 64;

bool points_into(const char *p, const std::vector<std::string> &words) {
  for (const std::string &w : words) {
    if (p >= w.data() && p <= w.data() + w.size()) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_stdout();
  opterr = 0;  // getopt_long's own diagnostics would fill libFuzzer's log
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::command_line line = fuzz::command_line_of("korvane", data, size, MAX_WORDS);
  const std::vector<std::string> &words = line.words;

  rom_options o;
  int status = -1;
  if (!rom_opts_scan(line.argc(), line.argv(), &o, &status)) {
    FUZZ_CHECK(status == 0 || status == EXIT_USAGE);
    return 0;
  }
  FUZZ_CHECK(o.rom_path && points_into(o.rom_path, words));
  FUZZ_CHECK(o.action == ROM_ACT_INFO || o.action == ROM_ACT_EXECUTE ||
             o.action == ROM_ACT_EXTRACT);
  FUZZ_CHECK((o.flags & ~(ROM_FLAG_FORCE | ROM_FLAG_TOOL | ROM_VERIFY_MASK)) == 0);
  const uint32_t kind = o.flags & ROM_VERIFY_MASK;
  FUZZ_CHECK(kind == 0 || kind == ROM_VERIFY_CRC || kind == ROM_VERIFY_CHECKSUM);
  FUZZ_CHECK(o.option_count >= 0 && o.option_count <= ROM_OPTION_IDS_MAX);
  FUZZ_CHECK(o.block_align == 0 || o.block_align == 1);
  FUZZ_CHECK(o.pad >= 0 && o.pad <= 0xFF);
  FUZZ_CHECK(o.verify == 1);
  return 0;
}
