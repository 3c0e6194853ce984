// SPDX-License-Identifier: MIT
// Key files: one line of text each, a word naming what the file holds and
// the key in hexadecimal (lower case on writing, either case on reading):
//   korvane-ed25519-public 64 HEX DIGITS
//   korvane-ed25519-secret 128 HEX DIGITS (the seed, then the public key)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sign/sig_crypto.h"

namespace korvane {

inline constexpr char SIG_PUBLIC_WORD[] = "korvane-ed25519-public";
inline constexpr char SIG_SECRET_WORD[] = "korvane-ed25519-secret";

/// n bytes as lower-case hexadecimal, two digits a byte.
std::string sig_hex(const uint8_t *p, size_t n);

/// The text of a key file.
std::string sig_public_text(const sig_public_key &pk);
std::string sig_secret_text(const sig_secret_key &sk);

/// Reads a key from the text of its file. A secret key must hold the public
/// key of its seed. @return false with *error saying why.
bool sig_parse_public(const std::string &text, sig_public_key *pk, std::string *error);
bool sig_parse_secret(const std::string &text, sig_secret_key *sk, std::string *error);

/// Reads a key file (at most 4 KiB are looked at). A secret key file that
/// group or others may read or write is refused, and a public key file that
/// they may write.
/// @return false with *error saying why (the path is not part of it).
bool sig_read_public(const char *path, sig_public_key *pk, std::string *error);
bool sig_read_secret(const char *path, sig_secret_key *sk, std::string *error);

}  // namespace korvane
