// SPDX-License-Identifier: MIT
#include "rom/names.h"

#include <strings.h>

#include <cstring>

#include "rom/layout.h"

namespace korvane {
namespace {

struct word {
  const char *text;
  uint32_t value;
  bool any_case;  // compared case-insensitively
};

// Block types: the option words of the first seven types are exact; "script"
// and "exe" are taken in any case.
constexpr word type_words[] = {
    {"none", ROM_BLK_TYPE_NONE, false},
    {"bin", ROM_BLK_TYPE_BIN, false},
    {"tool", ROM_BLK_TYPE_TOOL, false},
    {"file", ROM_BLK_TYPE_FILE, false},
    {"nand-raw", ROM_BLK_TYPE_NAND_RAW, false},
    {"nand-oob", ROM_BLK_TYPE_NAND_OOB, false},
    {"nor", ROM_BLK_TYPE_NOR, false},
    {"script", ROM_BLK_TYPE_SCRIPT, true},
    {"exe", ROM_BLK_TYPE_EXE, true},
};

constexpr word data_words[] = {
    {"raw", ROM_BLK_DATA_RAW, false},
    {"file", ROM_BLK_DATA_FILE, false},
};

template <size_t N>
bool lookup(const word (&table)[N], const char *text, uint32_t *value) {
  if (!text) return false;
  for (const word &w : table) {
    bool same = w.any_case ? strcasecmp(w.text, text) == 0 : std::strcmp(w.text, text) == 0;
    if (same) {
      if (value) *value = w.value;
      return true;
    }
  }
  return false;
}

}  // namespace

const char *blk_type_name(uint32_t type) {
  static constexpr const char *names[] = {"none",     "bin",     "tool",   "file",   "nand-raw",
                                          "nand-oob", "nor-raw", "script", "execute"};
  return type < std::size(names) ? names[type] : "unknown";
}

const char *blk_data_name(uint32_t data) {
  switch (data) {
    case ROM_BLK_DATA_RAW:
      return "raw";
    case ROM_BLK_DATA_FILE:
      return "file";
    default:
      return "invalid";
  }
}

bool parse_blk_type(const char *word, uint32_t *type) { return lookup(type_words, word, type); }

bool parse_blk_data(const char *word, uint32_t *data) { return lookup(data_words, word, data); }

bool split_list(const char *list, list_token_f on_token, void *ctx) {
  if (!list) return false;
  size_t len = strnlen(list, ROM_LIST_MAX + 1);
  if (len > ROM_LIST_MAX) return false;  // never copied past the buffer
  char buf[ROM_LIST_MAX + 1];
  std::memcpy(buf, list, len);
  buf[len] = '\0';
  for (char *c = buf; (c = std::strchr(c, ',')) != nullptr; ++c) *c = '\0';
  // The tokens end at the list's length: a trailing comma leaves nothing
  // after it, while a leading or doubled comma leaves an empty token.
  for (size_t pos = 0; pos < len;) {
    const char *token = buf + pos;
    if (!on_token(ctx, token)) return false;
    pos += std::strlen(token) + 1;
  }
  return true;
}

bool parse_flag_list(const char *list, uint32_t *flags) {
  uint32_t value = 0;
  bool ok = split_list(
      list,
      [](void *ctx, const char *token) {
        uint32_t &v = *static_cast<uint32_t *>(ctx);
        if (std::strcmp(token, "force") == 0) {
          v |= ROM_FLAG_FORCE;
        } else if (std::strcmp(token, "tool") == 0) {
          v |= ROM_FLAG_TOOL;
        } else if (std::strcmp(token, "crc") == 0) {
          v = (v & ~ROM_VERIFY_MASK) | ROM_VERIFY_CRC;
        } else if (std::strcmp(token, "checksum") == 0) {
          v = (v & ~ROM_VERIFY_MASK) | ROM_VERIFY_CHECKSUM;
        } else {
          return false;  // the empty token included
        }
        return true;
      },
      &value);
  if (ok && flags) *flags = value;
  return ok;
}

}  // namespace korvane
