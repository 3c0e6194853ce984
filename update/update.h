// SPDX-License-Identifier: MIT
// The actions of a board with two slots: --update, --status, --confirm and
// --reject. Each reads the board's configuration (config.h), the boot
// loader's environment (bootenv.h) and the running slot (slots.h), and
// prints lines with a fixed prefix ("update: ", "status: ", "confirm: ",
// "reject: ", and "config: error" for the configuration) through report.
//
// Exit statuses: 0 done, 1 refused or failed, 2 a configuration error
// (nothing touched).
#pragma once

#include <functional>
#include <string>

#include "install/install_settings.h"

namespace korvane {

inline constexpr int UPDATE_SCHEMA = 1;  // of the --json objects

struct update_request {
  std::string config;           // the configuration file
  bool json = false;            // --json: an object at the end
  const char *image = nullptr;  // --update IMAGE
  /// What the install takes from the command line (-f, -a, -V, --mark-bad);
  /// the update sets the rest.
  install_settings install;
  /// Runs once every check has passed, before the first write (-h, -k).
  std::function<void()> before_writing;
};

/// The update into the slot that is not running: the checks, the slot
/// marked empty, every block programmed into it and read back, then one
/// store that makes it pending and tried next. @return the exit status.
int update_run(const update_request &r);

/// The slots as the environment records them. @return the exit status.
int update_status(const update_request &r);

/// The running slot is good. @return the exit status.
int update_confirm(const update_request &r);

/// The running slot is bad; the other (good) one boots next.
/// @return the exit status.
int update_reject(const update_request &r);

}  // namespace korvane
