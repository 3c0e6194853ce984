// SPDX-License-Identifier: MIT
#include "rom/layout.h"

#include <cstring>

namespace korvane {

std::string text_field(const char *field, size_t width) {
  return std::string(field, strnlen(field, width));
}

void set_text_field(char *field, size_t width, const char *text) {
  size_t n = text ? strnlen(text, width) : 0;
  if (n) std::memcpy(field, text, n);
  std::memset(field + n, 0, width - n);
}

}  // namespace korvane
