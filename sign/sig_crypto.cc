// SPDX-License-Identifier: MIT
#include "sign/sig_crypto.h"

#include <sodium.h>

#include <cstring>

namespace korvane {

static_assert(SIG_PUBLIC_BYTES == crypto_sign_ed25519_PUBLICKEYBYTES);
static_assert(SIG_SECRET_BYTES == crypto_sign_ed25519_SECRETKEYBYTES);
static_assert(SIG_BYTES == crypto_sign_ed25519_BYTES);
static_assert(sizeof(crypto_sign_ed25519ph_state) <= sizeof(sig_stream::state));
static_assert(alignof(crypto_sign_ed25519ph_state) <= alignof(sig_stream));
static_assert(sizeof(crypto_generichash_state) <= sizeof(sig_hash::state));
static_assert(alignof(crypto_generichash_state) <= alignof(sig_hash));
static_assert(SIG_DIGEST_BYTES >= crypto_generichash_BYTES_MIN &&
              SIG_DIGEST_BYTES <= crypto_generichash_BYTES_MAX);

namespace {

crypto_sign_ed25519ph_state *state_of(sig_stream *s) {
  return reinterpret_cast<crypto_sign_ed25519ph_state *>(s->state);
}

crypto_generichash_state *hash_of(sig_hash *h) {
  return reinterpret_cast<crypto_generichash_state *>(h->state);
}

}  // namespace

sig_secret_key::~sig_secret_key() { sodium_memzero(bytes, sizeof bytes); }

bool sig_crypto_init() { return sodium_init() >= 0; }

bool sig_keypair(sig_public_key *pk, sig_secret_key *sk) {
  if (!sig_crypto_init()) return false;
  return crypto_sign_ed25519_keypair(pk->bytes, sk->bytes) == 0;
}

void sig_public_of(const sig_secret_key &sk, sig_public_key *pk) {
  sig_secret_key again;  // from the seed, not the copy the secret key carries
  crypto_sign_ed25519_seed_keypair(pk->bytes, again.bytes, sk.bytes);
}

void sig_key_id(const sig_public_key &pk, uint8_t id[SIG_KEY_ID_BYTES]) {
  uint8_t hash[crypto_generichash_BYTES_MIN];
  crypto_generichash(hash, sizeof hash, pk.bytes, sizeof pk.bytes, nullptr, 0);
  std::memcpy(id, hash, SIG_KEY_ID_BYTES);
}

void sig_stream_init(sig_stream *s) {
  sig_crypto_init();
  crypto_sign_ed25519ph_init(state_of(s));
}

void sig_stream_update(sig_stream *s, const void *data, size_t n) {
  crypto_sign_ed25519ph_update(state_of(s), static_cast<const unsigned char *>(data), n);
}

void sig_stream_sign(sig_stream *s, const sig_secret_key &sk, uint8_t sig[SIG_BYTES]) {
  crypto_sign_ed25519ph_final_create(state_of(s), sig, nullptr, sk.bytes);
}

bool sig_stream_verify(sig_stream *s, const uint8_t sig[SIG_BYTES], const sig_public_key &pk) {
  return crypto_sign_ed25519ph_final_verify(state_of(s), sig, pk.bytes) == 0;
}

void sig_hash_init(sig_hash *h) {
  sig_crypto_init();
  crypto_generichash_init(hash_of(h), nullptr, 0, SIG_DIGEST_BYTES);
}

void sig_hash_update(sig_hash *h, const void *data, size_t n) {
  crypto_generichash_update(hash_of(h), static_cast<const unsigned char *>(data), n);
}

void sig_hash_final(sig_hash *h, uint8_t out[SIG_DIGEST_BYTES]) {
  crypto_generichash_final(hash_of(h), out, SIG_DIGEST_BYTES);
}

bool sig_digest_equal(const uint8_t a[SIG_DIGEST_BYTES], const uint8_t b[SIG_DIGEST_BYTES]) {
  return sodium_memcmp(a, b, SIG_DIGEST_BYTES) == 0;
}

}  // namespace korvane
