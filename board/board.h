// SPDX-License-Identifier: MIT
// Device control: stopping every other process and resetting the board
// through its /proc control files. Every system call goes through plat().
#pragma once

namespace korvane {

/// Writes text (no newline) to an existing file. @return 0, or RES_IO when
/// it cannot be opened.
int proc_write_string(const char *path, const char *text);
int lcd_backlight_set(const char *text);  // /proc/keypad/lcd_bklight; @return 0
int watchdog_write(const char *text);     // /proc/keypad/watchdog; @return 0

/// Signals (SIGKILL, then SIGTERM) every process in /proc but this one and
/// process 1; with a list, only listed ones, or with spare_listed all but them.
/// @return 0, or RES_FAULT when /proc cannot be listed.
int kill_processes(const char *const *names, int count, int spare_listed);

/// sync, sleep 1, watchdog, two kill passes, sync, sleep 1. @return 0
int kill_all_sequence();

/// Resets the board. With wait_and_exit set it waits 60000 s and exits 0.
int board_reboot(int wait_and_exit);

}  // namespace korvane
