// SPDX-License-Identifier: MIT
// The keyed byte scramblers of cypher3 (32-byte key period) and cypher4
// (64-byte period plus a 32-byte group step). In place, length-preserving;
// positions count from the start of the buffer given. All have the
// copy_transform signature.
#pragma once

#include <cstdint>

namespace korvane {

int cypher3_encode(uint8_t *buf, int n);
int cypher3_decode(uint8_t *buf, int n);
int cypher4_encode(uint8_t *buf, int n);
int cypher4_decode(uint8_t *buf, int n);

/// Mixes a key into the tables for the rest of the process.
/// @return the key length, or 0 for no key.
int cypher3_set_key(const uint8_t *key, int len);
int cypher4_set_key(const uint8_t *key, int len);

/// The key tables (fixed at build time; only the set-key operations change them).
extern uint8_t cypher3_xor_table[32];
extern uint8_t cypher3_add_table[32];
extern uint8_t cypher4_xor_table[64];
extern uint8_t cypher4_add_table[64];

}  // namespace korvane
