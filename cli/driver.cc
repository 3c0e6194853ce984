// SPDX-License-Identifier: MIT
#include "cli/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "board/board.h"
#include "cli/settings.h"
#include "install/execute.h"
#include "rom/output.h"
#include "rom/show.h"

namespace korvane {

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
      r = rom_execute(o.rom_path, o.flags);
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
