// SPDX-License-Identifier: MIT
// The one output channel of the system: every diagnostic, label line and
// progress line goes through report(), which writes to standard output and
// flushes at once, so messages interleave correctly with anything a child
// or a later crash leaves behind.
#pragma once

namespace korvane {

/// printf-style; "%m" is the text of the current errno, as glibc gives it.
/// errno is preserved across the call.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korvane
