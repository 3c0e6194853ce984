// SPDX-License-Identifier: MIT
#include "rom/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace korvane {
namespace {

FILE *report_stream = nullptr;  // standard output

void vprint(FILE *to, const char *fmt, va_list ap) {
  int saved = errno;
  errno = saved;  // "%m" reads errno while formatting
  std::vfprintf(to, fmt, ap);
  std::fflush(to);
  errno = saved;
}

}  // namespace

void report(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vprint(report_stream ? report_stream : stdout, fmt, ap);
  va_end(ap);
}

FILE *report_to(FILE *stream) {
  FILE *before = report_stream ? report_stream : stdout;
  report_stream = stream;
  return before;
}

void report_result(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vprint(stdout, fmt, ap);
  va_end(ap);
}

std::string escaped_bytes(const std::string &bytes, bool keep_blanks) {
  std::string s;
  for (unsigned char c : bytes) {
    if ((c > 0x20 || (keep_blanks && c == 0x20)) && c < 0x7F && c != '\\') {
      s += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      s += esc;
    }
  }
  return s;
}

}  // namespace korvane
