// SPDX-License-Identifier: MIT
// Device control: stopping every other process and resetting the board
// through its /proc control files. Every system call goes through plat().
#pragma once

namespace korvane {

/// The board's control files: every file the reset sequence writes.
inline constexpr const char *BOARD_CONTROL_FILES[] = {
    "/proc/keypad/watchdog", "/proc/keypad/lcd_bklight", "/proc/dsplink/bklight",
    "/proc/dsplink/reset",   "/proc/dsplink/rstsw",      "/proc/dsplink/rsthw",
};

/// Whether this machine has at least one of the board's control files: a
/// file counts as missing only when opening it fails with ENOENT or ENOTDIR.
/// Each is opened read-only and closed again; nothing is written.
bool board_control_present();

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
