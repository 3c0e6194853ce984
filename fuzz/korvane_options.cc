// SPDX-License-Identifier: MIT
// korvane's command line: the input is the argument words, separated by NUL
// bytes. Either the parser returns complete settings that hold only values
// the rest of the program can take, or it ends the run with 0 (--help,
// --version) or the command-line error status. A command line that the
// parser of the first release (no added options) takes whole is taken
// exactly alike by today's.
#include <getopt.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
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

bool same_settings(const rom_options &a, const rom_options &b) {
  for (int i = 0; i < ROM_OPTION_IDS_MAX; ++i) {
    if (a.option_ids[i] != b.option_ids[i]) return false;
  }
  return a.action == b.action && a.rom_path == b.rom_path && a.all_info == b.all_info &&
         a.flags == b.flags && a.blk_type == b.blk_type && a.cypher_type == b.cypher_type &&
         a.data_type == b.data_type && a.option_count == b.option_count &&
         a.block_align == b.block_align && a.pad == b.pad && a.retry == b.retry &&
         a.verify == b.verify && a.verbose == b.verbose && a.skip_bad == b.skip_bad &&
         a.reboot == b.reboot && a.background == b.background && a.kill == b.kill &&
         a.bin == b.bin && a.simulate == b.simulate && a.discard == b.discard &&
         a.header == b.header && a.preflight == b.preflight && a.device_name == b.device_name &&
         a.device_id_given == b.device_id_given && a.device_id == b.device_id &&
         a.read_back == b.read_back && a.skip_unchanged == b.skip_unchanged &&
         a.mark_bad == b.mark_bad && a.pubkey_count == b.pubkey_count &&
         a.board_file == b.board_file;
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
  const int argc = line.argc();
  char **argv = line.argv();
  std::vector<char *> classic_argv(argv, argv + argc + 1);  // getopt_long reorders the words

  rom_options classic;
  int classic_status = -1;
  const bool classic_whole =
      rom_opts_scan_classic(argc, classic_argv.data(), &classic, &classic_status);
  rom_options o;
  int status = -1;
  if (!rom_opts_scan(argc, argv, &o, &status)) {
    FUZZ_CHECK(!classic_whole);
    FUZZ_CHECK(status == 0 || status == EXIT_USAGE);
    return 0;
  }
  if (classic_whole) FUZZ_CHECK(same_settings(o, classic));
  if (o.device_name)
    FUZZ_CHECK(points_into(o.device_name, words) && *o.device_name &&
               std::strlen(o.device_name) <= 16);
  // --board-file is an action alone: no image, nothing stopped, no reboot.
  // A two-slot action takes no image of -e, -i, -I or -x; --update its own.
  if (o.board_file) {
    FUZZ_CHECK(!o.rom_path && !o.kill && !o.reboot && !o.background);
    FUZZ_CHECK(o.ab_action == ROM_AB_NONE);
  } else if (o.ab_action != ROM_AB_NONE) {
    FUZZ_CHECK(!o.rom_path);
    FUZZ_CHECK((o.ab_action == ROM_AB_UPDATE) ==
               (o.update_path != nullptr && points_into(o.update_path, words) && *o.update_path));
  } else {
    FUZZ_CHECK(o.rom_path && points_into(o.rom_path, words));
    FUZZ_CHECK(!o.update_path && !o.config_path && !o.json);
  }
  if (o.config_path) FUZZ_CHECK(points_into(o.config_path, words) && *o.config_path);
  FUZZ_CHECK(o.action == ROM_ACT_INFO || o.action == ROM_ACT_EXECUTE ||
             o.action == ROM_ACT_EXTRACT);
  FUZZ_CHECK((o.flags & ~(ROM_FLAG_FORCE | ROM_FLAG_TOOL | ROM_VERIFY_MASK)) == 0);
  const uint32_t kind = o.flags & ROM_VERIFY_MASK;
  FUZZ_CHECK(kind == 0 || kind == ROM_VERIFY_CRC || kind == ROM_VERIFY_CHECKSUM);
  FUZZ_CHECK(o.option_count >= 0 && o.option_count <= ROM_OPTION_IDS_MAX);
  FUZZ_CHECK(o.pubkey_count >= 0 && o.pubkey_count <= ROM_PUBKEYS_MAX);
  for (int i = 0; i < o.pubkey_count; ++i)
    FUZZ_CHECK(points_into(o.pubkeys[i], words) && *o.pubkeys[i]);
  FUZZ_CHECK(o.block_align == 0 || o.block_align == 1);
  FUZZ_CHECK(o.pad >= 0 && o.pad <= 0xFF);
  FUZZ_CHECK(o.verify == 1);
  return 0;
}
