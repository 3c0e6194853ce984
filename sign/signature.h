// SPDX-License-Identifier: MIT
// Signed images. A signature is one more block, the image's last: type
// none (every install leaves it alone, -i shows it), named "signature",
// without a payload check of its own, and a 96-byte payload (sig_payload).
// What it signs, with Ed25519ph, in this order:
//   1. the text SIG_DOMAIN;
//   2. every byte of the file before the signature block, with the three
//      rom header fields that appending a block changes (hcrc, length,
//      blocks) read as zero: so the rom header's identifying fields, every
//      block header, payload and padding;
//   3. the signature block's header as stored (128 bytes);
//   4. the payload up to the signature (tag, algorithm, key id, covered).
// Only a rom image with a 128-byte header can be signed; a block file has
// no header to bind the blocks to a device and cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "rom/layout.h"
#include "rom/walk.h"
#include "sign/sig_crypto.h"

namespace korvane {

inline constexpr char SIG_BLOCK_NAME[] = "signature";
inline constexpr char SIG_BLOCK_VERSION[] = "ed25519ph";
inline constexpr char SIG_DOMAIN[] = "korvane signed image\n";
inline constexpr uint8_t SIG_FORMAT_TAG[8] = {'K', 'V', 'S', 'I', 'G', 0, 0, 1};
inline constexpr uint32_t SIG_ALG_ED25519PH = 1;

/// The signature block's payload, integers big-endian.
struct sig_payload {
  uint8_t tag[8];  // SIG_FORMAT_TAG
  be32 algorithm;  // SIG_ALG_ED25519PH
  be32 reserved;   // zero
  uint8_t key_id[SIG_KEY_ID_BYTES];
  be32 covered_hi;  // bytes from the end of the rom header (128) to the signature block
  be32 covered_lo;
  uint8_t signature[SIG_BYTES];
};
static_assert(sizeof(sig_payload) == 96);
static_assert(offsetof(sig_payload, algorithm) == 8);
static_assert(offsetof(sig_payload, key_id) == 16);
static_assert(offsetof(sig_payload, covered_hi) == 24);
static_assert(offsetof(sig_payload, signature) == 32);

/// The payload bytes that are signed (all but the signature).
inline constexpr size_t SIG_SIGNED_PAYLOAD = offsetof(sig_payload, signature);
/// The whole block: header and payload (96 is a multiple of 16: no padding).
inline constexpr uint32_t SIG_BLOCK_TOTAL = ROM_HDR_SIZE + sizeof(sig_payload);

/// Whether a block header is a signature block's (type none, the name).
bool sig_is_block(const blk_hdr &h);

/// What can be wrong with a signed image, as one word each.
enum class sig_problem {
  none,
  block_file,       // "block-file": a block file, not a rom image
  header_size,      // "header-size": a rom header size other than 128
  unsigned_image,   // "unsigned": no signature block
  after_signature,  // "after-signature": blocks or bytes after the signature block
  cut_short,        // "cut-short": the image ends inside a block
  walk,             // "walk": the walk stops before the end of the file
  format,           // "format": a signature block of another format, algorithm or size
  unknown_key,      // "unknown-key": signed by a key not given
  bad_signature,    // "bad-signature": the signature does not match the bytes
  read_failed,      // "read-failed": the image could not be read
};

const char *sig_problem_word(sig_problem p);

/// The signature block of an image, as the walk finds it.
struct sig_found {
  sig_problem problem = sig_problem::none;
  int index = -1;         // of the signature block; -1: none
  uint64_t offset = 0;    // of its header
  uint64_t after = 0;     // bytes after it (blocks or not)
  int blocks_after = 0;   // whole blocks after it
  int error = 0;          // read_failed: the errno
  blk_hdr hdr{};          // its header as stored
  sig_payload payload{};  // its payload as stored
};

/// Walks the open image (quietly, from w->first) to find its signature
/// block; also used to refuse signing an image twice. problem is none when
/// the last block is a signature block of this format ending at the end
/// of the file; otherwise it says what is wrong (for an image without a
/// signature block, unsigned_image unless the walk ends badly).
void sig_find(rom_walk *w, sig_found *f);

/// Feeds the signed bytes before the signature block (items 1 and 2) into s:
/// the image read in pieces of 64 KiB from offset 0 to end.
/// @return 0, or -1 with errno set (EIO when the file ends first).
int sig_feed_image(sig_stream *s, int fd, uint64_t end);

/// The key that checked the signature, and what was checked.
struct sig_verdict {
  sig_found found;
  sig_problem problem = sig_problem::none;
  int key = -1;  // index of the key that verified
  uint64_t covered = 0;
};

/// Checks the open image against the keys (any one that verifies is
/// enough): the signature block found by sig_find, its format, its key id
/// among the keys, then one pass over the signed bytes.
/// @return 0 when good, -1 when refused (verdict->problem says why).
int sig_check(rom_walk *w, const sig_public_key *keys, size_t nkeys, sig_verdict *verdict);

/// Why an image was refused, in words (nkeys: how many keys were given).
std::string sig_reason(const sig_verdict &v, size_t nkeys);

/// Builds the signature block for the image open at fd whose blocks end at
/// end (where the block will go), with the secret key: one pass over the
/// image. @return 0, or -1 with errno set.
int sig_make_block(int fd, uint64_t end, const sig_secret_key &sk, uint8_t out[SIG_BLOCK_TOTAL]);

/// The key id as 16 lower-case hexadecimal digits.
std::string sig_key_id_text(const uint8_t id[SIG_KEY_ID_BYTES]);

}  // namespace korvane
