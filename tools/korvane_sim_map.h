// SPDX-License-Identifier: MIT
// korvane-sim's subcommands beside running korvane.
#pragma once

/// korvane-sim map [--board FILE] [--state DIR] [--svg FILE]: argv[0] is
/// "map". @return the exit status.
int korvane_sim_map(int argc, char **argv);
