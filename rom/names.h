// SPDX-License-Identifier: MIT
// Display names of the block types and data kinds, and the option words
// that command lines (korvane's and korvane-mkrom's) accept for them. One
// table each, so every program parses the same words with the same code.
// The cypher types have theirs in the cypher table (codec/cypher_table.h).
#pragma once

#include <cstdint>

namespace korvane {

/// "none", "bin", ..., "nor-raw", "script", "execute"; "unknown" otherwise.
const char *blk_type_name(uint32_t type);
/// "raw", "file"; "invalid" otherwise.
const char *blk_data_name(uint32_t data);

/// Option word of a block type: the first seven words compare
/// case-sensitively, "script" and "exe" case-insensitively. @return true if known.
bool parse_blk_type(const char *word, uint32_t *type);
/// "raw" or "file", case-sensitive. @return true if known.
bool parse_blk_data(const char *word, uint32_t *data);

/// Longest flag or align list accepted (the split buffer is 256 bytes).
inline constexpr unsigned ROM_LIST_MAX = 255;

/// Called for each token of a list. @return false to stop with an error.
using list_token_f = bool (*)(void *ctx, const char *token);

/// Splits a comma-separated list, copied into a 256-byte buffer, and hands
/// each token in order to on_token. A trailing comma adds no token; a leading
/// or doubled comma gives an empty one. @return false for a list longer than
/// ROM_LIST_MAX or when on_token refused a token.
bool split_list(const char *list, list_token_f on_token, void *ctx);

/// A comma-separated flag list: force, tool, crc, checksum. A trailing comma
/// is accepted, an empty token is not; an empty list gives 0.
/// @return true and the flag word, or false for an unknown token or a list
///         longer than ROM_LIST_MAX.
bool parse_flag_list(const char *list, uint32_t *flags);

}  // namespace korvane
