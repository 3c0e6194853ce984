// SPDX-License-Identifier: MIT
// korvane-sim sweep: power cuts at every flash operation of an update and
// of the boots after it, each followed by the boots that the boot loader
// would make, with a table of where the board came up.
#pragma once

/// korvane-sim sweep --board FILE --config FILE --image FILE [--from IMAGE]
/// [--seed S] [--work DIR]: argv[0] is "sweep". @return the exit status:
/// 0 no failure, 1 failures or a run that went wrong, 2 a usage error.
int korvane_sim_sweep(int argc, char **argv);
