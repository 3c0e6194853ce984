// SPDX-License-Identifier: MIT
#include "cli/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "board/board.h"
#include "cli/settings.h"
#include "install/execute.h"
#include "rom/output.h"
#include "rom/show.h"

namespace korvane {
namespace {

// What the install needs of the command line, read once here.
install_settings install_settings_of(const rom_options &o) {
  install_settings s;
  s.flags = o.flags;
  s.verify = o.verify != 0;
  s.verbose = o.verbose != 0;
  s.skip_bad = o.skip_bad != 0;
  s.simulate = o.simulate != 0;
  s.discard = o.discard != 0;
  s.block_align = o.block_align != 0;
  s.pad = static_cast<uint8_t>(o.pad);
  s.ids.assign(o.option_ids, o.option_ids + std::clamp(o.option_count, 0, ROM_OPTION_IDS_MAX));
  return s;
}

}  // namespace

int daemonize() {
  umask(0);
  setsid();  // failure ignored
  pid_t pid = fork();
  if (pid < 0) {
    // Nothing was detached and no action will run: that is not a success.
    report("failed to fork,%m\n");
    std::exit(1);
  }
  if (pid > 0) std::exit(0);
  setsid();  // the child leads a session of its own; failure ignored
  return 0;
}

int korvane_main(int argc, char **argv) {
  rom_opts_parse(argc, argv);
  const rom_options &o = rom_opts;

  if (o.background) {
    daemonize();
  } else {
    setsid();  // failure ignored
  }

  if (o.kill) kill_all_sequence();  // its result is not looked at

  int r = 0;
  switch (o.action) {
    case ROM_ACT_EXECUTE:
      if (o.verbose) report("execute rom:%s\n", o.rom_path);
      if (o.reboot) watchdog_write("0");
      r = rom_execute(o.rom_path, install_settings_of(o));
      break;
    case ROM_ACT_EXTRACT:
      if (o.verbose) report("extract rom:%s\n", o.rom_path);
      r = rom_show(o.rom_path, "./", o.flags, o.header, 1);
      break;
    default:
      if (o.verbose) report("show info:%s\n", o.rom_path);
      r = rom_show(o.rom_path, nullptr, o.flags, 0, o.all_info);
      break;
  }
  if (r < 0) return 1;            // no reboot after a failed action
  if (o.reboot) board_reboot(1);  // does not return
  return 0;
}

}  // namespace korvane
