// SPDX-License-Identifier: MIT
// The one output channel of the system: every diagnostic, label line and
// progress line goes through report(), which writes to standard output and
// flushes at once, so messages interleave correctly with anything a child
// or a later crash leaves behind. A program may choose another stream for
// report() (korvane-mkrom sends the diagnostics to standard error); what an
// operation hands over as its result goes through report_result(), which
// stays on standard output.
#pragma once

#include <cstdio>
#include <string>

namespace korvane {

/// printf-style; "%m" is the text of the current errno, as glibc gives it.
/// errno is preserved across the call.
void report(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Where report() writes from now on (standard output until a program says
/// otherwise). @return the stream it wrote to before.
FILE *report_to(FILE *stream);

/// printf-style like report(), for lines that are an operation's result
/// rather than something it says about itself (the builder's block
/// summary): always standard output, flushed at once.
void report_result(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/// Bytes as a person or a script reads them: controls, anything outside
/// ASCII and the backslash shown as \xNN, and blanks too unless kept.
std::string escaped_bytes(const std::string &bytes, bool keep_blanks);

/// A value for a key=value line: bytes that would break the word (blanks,
/// controls, anything outside ASCII, the backslash) shown as \xNN.
inline std::string report_word(const std::string &bytes) { return escaped_bytes(bytes, false); }

}  // namespace korvane
