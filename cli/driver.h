// SPDX-License-Identifier: MIT
// The program driver: parse, session, optional kill, one action, optional
// reboot. Shared by korvane and korvane-sim, which installs its platform
// table first.
#pragma once

namespace korvane {

/// Detaches into the background. @return 0 in the process that goes on.
int daemonize();

/// The whole run. @return the process exit status.
int korvane_main(int argc, char **argv);

}  // namespace korvane
