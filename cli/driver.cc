// SPDX-License-Identifier: MIT
#include "cli/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "cli/settings.h"
#include "install/execute.h"
#include "install/preflight.h"
#include "mtd/mtd_board.h"
#include "rom/io.h"
#include "rom/output.h"
#include "rom/show.h"
#include "sign/sig_board.h"
#include "update/config.h"
#include "update/update.h"

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
  s.preflight = o.preflight != 0;
  if (o.device_name) s.device_name = o.device_name;
  if (o.device_id_given) s.device_id = o.device_id;
  s.read_back = o.read_back != 0;
  s.skip_unchanged = o.skip_unchanged != 0;
  s.mark_bad = o.mark_bad != 0;
  return s;
}

// -k, -q and -r act on whatever machine korvane runs on: on one without
// any of the board's control files (a PC, a container) they would stop
// every process on it, or wait for a reset that never comes. There they
// are refused before anything is done. @return false when refused (said).
bool board_actions_allowed(const rom_options &o) {
  if (!(o.kill || o.reboot) || board_control_present()) return true;
  std::string files;
  for (const char *path : BOARD_CONTROL_FILES)
    files += std::string(files.empty() ? "" : ",") + path;
  report(
      "board: result=refused wanted=%s reason=none of the board's control files exists (%s); "
      "-k, -q and -r act only on the board, and nothing was done\n",
      o.kill && o.reboot ? "kill,reboot"
      : o.kill           ? "kill"
                         : "reboot",
      files.c_str());
  return false;
}

// The actions of a board with two slots. An update kills (-k) and goes
// into the background (-h) only once its checks have passed, and resets
// the board (-r) only after it has switched.
int ab_main(const rom_options &o, const install_settings &settings) {
  update_request r;
  r.config = o.config_path ? o.config_path : SYSTEM_CONF_DEFAULT;
  r.json = o.json != 0;
  r.image = o.update_path;
  r.install = settings;
  r.before_writing = [&o] {
    if (o.background) {
      daemonize();
    } else {
      setsid();  // failure ignored
    }
    if (o.kill) kill_all_sequence();
    if (o.reboot) watchdog_write("0");
  };
  int status = 0;
  switch (o.ab_action) {
    case ROM_AB_UPDATE:
      status = update_run(r);
      break;
    case ROM_AB_STATUS:
      status = update_status(r);
      break;
    case ROM_AB_CONFIRM:
      status = update_confirm(r);
      break;
    default:
      status = update_reject(r);
      break;
  }
  if (status == 0 && o.reboot && o.ab_action == ROM_AB_UPDATE) board_reboot(1);  // does not return
  return status;
}

// The image as the added options read it: a regular file or a block
// device. Opened without blocking, so that a FIFO is refused instead of
// waiting for a writer.
bool image_file_ok(const char *path) {
  unique_fd fd{open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  struct stat st;
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0) return true;  // rom_open says what is wrong
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return true;
  report(
      "image: result=refused problem=file-type path=%s reason=not a regular file or block "
      "device\n",
      report_word(path).c_str());
  return false;
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
  const install_settings settings = install_settings_of(o);
  if (!board_actions_allowed(o)) return 1;
  if (o.board_file) return mtd_board_print();
  if (o.ab_action != ROM_AB_NONE) return ab_main(o, settings);

  // The checks of the added options come first, before the session, the
  // kill sequence and the watchdog: an image they refuse leaves the board
  // running as it was, and with -h the caller hears of the refusal. -e
  // installs from the very descriptor they read.
  std::unique_ptr<rom_walk> image;
  bool bound = true;  // the image is the board's, or nothing binds it
  const bool binding = device_binding_given(settings);
  const bool preflight = settings.preflight && o.action == ROM_ACT_EXECUTE;
  const bool signature = o.pubkey_count > 0;
  sig_guard guard;
  bool signed_ok = true;  // signed by one of the keys, or no key given
  if (binding || preflight || signature) {
    image = std::make_unique<rom_walk>();
    if (!image_file_ok(o.rom_path)) return 1;
    if (rom_walk_open(image.get(), o.rom_path, O_RDONLY | O_NONBLOCK | O_NOCTTY) < 0) return 1;
    // The signature first: nothing else reads an image it refuses. -i and
    // -I still show it and end with 1.
    if (signature) {
      std::vector<std::string> keys(o.pubkeys, o.pubkeys + o.pubkey_count);
      if (sig_board_check(image.get(), keys, &guard) < 0) {
        if (o.action != ROM_ACT_INFO) return 1;
        signed_ok = false;
      }
    }
    // -i and -I still show a refused image (that is how one looks at it)
    // and end with 1; -e and -x do nothing with it.
    if (binding && device_binding_check(*image, settings) < 0) {
      if (o.action != ROM_ACT_INFO) return 1;
      bound = false;
    }
    if (preflight && preflight_check(image.get(), settings) < 0) return 1;
    if (preflight && settings.discard) return 0;  // --preflight -z: checked, nothing touched
  }

  // A refused image that -i still shows is shown without detaching, so
  // that the caller's exit status is the refusal.
  if (o.background && bound && signed_ok) {
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
      r = image ? rom_execute_walk(image.get(), settings) : rom_execute(o.rom_path, settings);
      break;
    case ROM_ACT_EXTRACT:
      if (o.verbose) report("extract rom:%s\n", o.rom_path);
      r = image ? rom_show_walk(image.get(), "./", o.flags, o.header, 1)
                : rom_show(o.rom_path, "./", o.flags, o.header, 1);
      break;
    default:
      if (o.verbose) report("show info:%s\n", o.rom_path);
      r = image ? rom_show_walk(image.get(), nullptr, o.flags, 0, o.all_info)
                : rom_show(o.rom_path, nullptr, o.flags, 0, o.all_info);
      break;
  }
  // What was read must be what was checked: a chunk that changed after the
  // check stopped the action (its line is printed); a file whose status
  // changed meanwhile fails too.
  if (signature && image && sig_board_unchanged(*image, guard) < 0) r = -1;
  if (r < 0 || !bound || !signed_ok) return 1;  // no reboot after a failed action
  if (o.reboot) board_reboot(1);                // does not return
  return 0;
}

}  // namespace korvane
