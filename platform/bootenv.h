// SPDX-License-Identifier: MIT
// The seam to the boot loader's environment. The update layer (update/)
// reads and writes the environment through the installed backend; when none
// is installed it uses the board's own (the environment library, configured
// by its fw_env.config). The simulated board installs a backend that keeps
// the environment in its state folder, as it installs its platform table.
#pragma once

#include <map>
#include <string>

namespace korvane {

/// The environment's variables by name.
using bootenv_vars = std::map<std::string, std::string>;

struct bootenv_ops {
  const char *name;
  /// Reads the environment; place is the environment library's
  /// configuration file (a backend may ignore it). An environment that is
  /// not there yet, or whose copies are all damaged, reads as empty.
  /// @return 0, or -1 with *error saying why.
  int (*load)(const std::string &place, bootenv_vars *vars, std::string *error);
  /// Sets every variable of changes (an empty value removes it) in one
  /// store of the whole environment: with a redundant environment the
  /// other copy is written, so a store cut short leaves the old state.
  /// @return 0, or -1 with *error saying why.
  int (*store)(const std::string &place, const bootenv_vars &changes, std::string *error);
};

/// The installed backend, or nullptr for the board's own.
const bootenv_ops *bootenv_installed();

/// Installs a backend (nullptr: the board's own). @return the previous one.
const bootenv_ops *bootenv_install(const bootenv_ops *ops);

}  // namespace korvane
