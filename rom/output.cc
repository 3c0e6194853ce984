// SPDX-License-Identifier: MIT
#include "rom/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace korvane {

void report(const char *fmt, ...) {
  int saved = errno;
  va_list ap;
  va_start(ap, fmt);
  errno = saved;  // "%m" reads errno while formatting
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::fflush(stdout);
  errno = saved;
}

}  // namespace korvane
