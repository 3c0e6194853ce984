// SPDX-License-Identifier: MIT
// korvane-sim's subcommands beside running korvane.
#pragma once

/// korvane-sim map [--board FILE] [--state DIR] [--svg FILE]: argv[0] is
/// "map". @return the exit status.
int korvane_sim_map(int argc, char **argv);

#include <string>

/// Takes "--name VALUE" or "--name=VALUE" at argv[*i], for korvane-sim's
/// own options and its subcommands'. @return 1 when it matched, 0 when not,
/// -1 when the value is missing.
int sim_take_value(int argc, char **argv, int *i, const char *name, std::string *value);
