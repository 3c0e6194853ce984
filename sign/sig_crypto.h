// SPDX-License-Identifier: MIT
// The one door to the crypto library: Ed25519 key pairs and the pre-hashed
// Ed25519 signature (Ed25519ph), which takes the signed bytes in pieces so
// that an image of any size is signed and checked in one pass with a fixed
// amount of memory. Nothing else in the project includes the library's
// headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

inline constexpr size_t SIG_PUBLIC_BYTES = 32;
inline constexpr size_t SIG_SECRET_BYTES = 64;  // the seed, then the public key
inline constexpr size_t SIG_BYTES = 64;
inline constexpr size_t SIG_KEY_ID_BYTES = 8;
inline constexpr size_t SIG_DIGEST_BYTES = 32;  // a chunk's BLAKE2b-256

struct sig_public_key {
  uint8_t bytes[SIG_PUBLIC_BYTES] = {};
};

/// A secret key; wiped when it goes.
struct sig_secret_key {
  uint8_t bytes[SIG_SECRET_BYTES] = {};
  sig_secret_key() = default;
  sig_secret_key(const sig_secret_key &) = delete;
  sig_secret_key &operator=(const sig_secret_key &) = delete;
  ~sig_secret_key();
};

/// Readies the library (once per process; later calls do nothing).
/// @return false when it cannot be used.
bool sig_crypto_init();

/// A new key pair from the system's random source. @return false on failure.
bool sig_keypair(sig_public_key *pk, sig_secret_key *sk);

/// The public key of a secret key's seed (its first 32 bytes).
void sig_public_of(const sig_secret_key &sk, sig_public_key *pk);

/// The key id: the first 8 bytes of the BLAKE2b-128 hash of the public key.
void sig_key_id(const sig_public_key &pk, uint8_t id[SIG_KEY_ID_BYTES]);

/// The signed bytes, fed in pieces. Copyable: a copy goes on from the same
/// place (to check one signature against several keys).
struct sig_stream {
  alignas(16) unsigned char state[256];
};

void sig_stream_init(sig_stream *s);
void sig_stream_update(sig_stream *s, const void *data, size_t n);

/// Signs what was fed. The stream is used up.
void sig_stream_sign(sig_stream *s, const sig_secret_key &sk, uint8_t sig[SIG_BYTES]);

/// Checks sig over what was fed against pk. The stream is used up.
/// @return true when the signature is good.
bool sig_stream_verify(sig_stream *s, const uint8_t sig[SIG_BYTES], const sig_public_key &pk);

/// A chunk's digest (BLAKE2b-256, no key), fed in pieces.
struct sig_hash {
  alignas(64) unsigned char state[384];
};

void sig_hash_init(sig_hash *h);
void sig_hash_update(sig_hash *h, const void *data, size_t n);
void sig_hash_final(sig_hash *h, uint8_t out[SIG_DIGEST_BYTES]);

/// Compares two digests in constant time. @return true when equal.
bool sig_digest_equal(const uint8_t a[SIG_DIGEST_BYTES], const uint8_t b[SIG_DIGEST_BYTES]);

}  // namespace korvane
