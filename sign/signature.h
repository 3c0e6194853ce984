// SPDX-License-Identifier: MIT
// Signed images. A signature is one more block, the image's last: type
// none (every install leaves it alone, -i shows it), named "signature",
// without a payload check of its own. Its payload (sig_payload, then the
// chunk table, then sig_trailer) binds the image through a table of
// digests: the bytes of the file before the signature block, cut into
// chunks of chunk_size bytes (the last one shorter), each hashed with
// BLAKE2b-256; in chunk 0 the three rom header fields that appending a
// block changes (hcrc, length, blocks) are hashed as zero. What is signed,
// with Ed25519ph, in this order:
//   1. the text SIG_DOMAIN;
//   2. the signature block's header as stored (128 bytes);
//   3. the payload up to the signature (tag, algorithm, key id, covered),
//      the fields after it (chunk size, count, digest), the table and the
//      trailer.
// A reader checks the signature over the table first and then each chunk
// as it reads it, so nothing it uses comes from a read that was not
// checked. The trailer ends the file with the signature block's offset:
// a reader that fetches an image in pieces reads the last 16 bytes, then
// the block and its table, and then the chunks it needs.
// Only a rom image with a 128-byte header can be signed; a block file has
// no header to bind the blocks to a device and cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <vector>
#include "rom/layout.h"

#include "rom/walk.h"
#include "sign/sig_chunks.h"
#include "sign/sig_crypto.h"

namespace korvane {

inline constexpr char SIG_BLOCK_NAME[] = "signature";
inline constexpr char SIG_BLOCK_VERSION[] = "ed25519ph";
inline constexpr char SIG_DOMAIN[] = "korvane signed image, chunk table\n";
inline constexpr uint8_t SIG_FORMAT_TAG[8] = {'K', 'V', 'S', 'I', 'G', 0, 0, 2};
/// The first release's format, which signed the whole image in one pass.
inline constexpr uint8_t SIG_OLD_FORMAT_TAG[8] = {'K', 'V', 'S', 'I', 'G', 0, 0, 1};
inline constexpr uint32_t SIG_OLD_PAYLOAD = 96;
inline constexpr uint8_t SIG_TRAILER_TAG[8] = {'K', 'V', 'S', 'I', 'G', 'E', 'N', 'D'};
inline constexpr uint32_t SIG_ALG_ED25519PH = 1;
inline constexpr uint32_t SIG_DIGEST_BLAKE2B_256 = 1;
/// The chunk size the signer uses, and what a reader accepts: a power of
/// two within these bounds, with no more than SIG_CHUNKS_MAX chunks (so the
/// table of a 4 GiB image at 64 KiB is 2 MiB at most).
inline constexpr uint32_t SIG_CHUNK_SIZE = 64 * 1024;
inline constexpr uint32_t SIG_CHUNK_MIN = 4 * 1024;
inline constexpr uint32_t SIG_CHUNK_MAX = 16 * 1024 * 1024;
inline constexpr uint32_t SIG_CHUNKS_MAX = 65536;

/// The fixed part of the signature block's payload, integers big-endian.
struct sig_payload {
  uint8_t tag[8];  // SIG_FORMAT_TAG
  be32 algorithm;  // SIG_ALG_ED25519PH
  be32 reserved;   // zero
  uint8_t key_id[SIG_KEY_ID_BYTES];
  be32 covered_hi;  // bytes from the end of the rom header (128) to the signature block
  be32 covered_lo;
  uint8_t signature[SIG_BYTES];
  be32 chunk_size;  // bytes a chunk
  be32 chunks;      // entries in the table
  be32 digest;      // SIG_DIGEST_BLAKE2B_256
  be32 reserved2;   // zero
};
static_assert(sizeof(sig_payload) == 112);
static_assert(offsetof(sig_payload, algorithm) == 8);
static_assert(offsetof(sig_payload, key_id) == 16);
static_assert(offsetof(sig_payload, covered_hi) == 24);
static_assert(offsetof(sig_payload, signature) == 32);
static_assert(offsetof(sig_payload, chunk_size) == 96);

/// The payload's last 16 bytes, after the table: where the block starts.
struct sig_trailer {
  be32 offset_hi;  // of the signature block's header in the file
  be32 offset_lo;
  uint8_t tag[8];  // SIG_TRAILER_TAG
};
static_assert(sizeof(sig_trailer) == 16);

/// The payload bytes before the signature, and where the signed ones go on.
inline constexpr size_t SIG_SIGNED_PAYLOAD = offsetof(sig_payload, signature);
inline constexpr size_t SIG_SIGNED_PAYLOAD_REST = offsetof(sig_payload, chunk_size);

/// The whole block for a table of n chunks: header, payload, table,
/// trailer (a multiple of 16: no padding).
inline constexpr uint64_t sig_block_total(uint64_t chunks) {
  return ROM_HDR_SIZE + sizeof(sig_payload) + chunks * SIG_DIGEST_BYTES + sizeof(sig_trailer);
}

/// The digest of chunk `index` (its bytes as read; chunk 0 with the rom
/// header's hcrc, length and blocks hashed as zero).
void sig_chunk_digest(uint64_t index, const uint8_t *bytes, size_t n,
                      uint8_t out[SIG_DIGEST_BYTES]);

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
  old_format,       // "old-format": signed in the first release's format
  header_crc,       // "header-crc": the rom header's CRC does not match it
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

/// The key that checked the signature, and what was checked.
struct sig_verdict {
  sig_found found;
  sig_problem problem = sig_problem::none;
  int key = -1;  // index of the key that verified
  uint64_t covered = 0;
  sig_chunk_fault chunk;  // bad_signature, cut_short, read_failed: the chunk that failed
};

/// Checks the open image against the keys (any one that verifies is
/// enough): the signature block found by sig_find, its format, its key id
/// among the keys, the signature over the block and its table, then every
/// chunk of the image against the table, in one pass. When chunks is given
/// and the image is good, it is left ready to serve the image from chunks
/// checked again as they are read (reading w->fd); it must not outlive w.
/// @return 0 when good, -1 when refused (verdict->problem says why).
int sig_check(rom_walk *w, const sig_public_key *keys, size_t nkeys, sig_verdict *verdict,
              sig_chunks *chunks = nullptr);

/// For a reader that fetches an image in pieces: the offset of the
/// signature block, from the image's last 16 bytes (its trailer).
/// @return false when they are no trailer.
bool sig_block_offset(const uint8_t last[sizeof(sig_trailer)], uint64_t *offset);

/// Checks a signature block read whole (its `total` bytes: header,
/// payload, table, trailer) that stands at offset in its image, against
/// the keys: its format, its key id among the keys, the signature over the
/// block and its table. Reads nothing else: on success chunks holds the
/// block, the table and the chunk size, ready to serve the image once
/// chunks->raw says where its unchecked bytes come from (any transport).
/// @return 0 when good, -1 when refused (verdict->problem says why;
///         verdict->found holds the block's header and payload).
int sig_check_block(std::vector<uint8_t> block, uint64_t offset, const sig_public_key *keys,
                    size_t nkeys, sig_verdict *verdict, sig_chunks *chunks);

/// Why an image was refused, in words (nkeys: how many keys were given).
std::string sig_reason(const sig_verdict &v, size_t nkeys);

/// Builds the signature block for the image open at fd whose blocks end at
/// end (where the block will go), with the secret key: one pass over the
/// image, chunk by chunk. @return 0, or -1 with errno set.
int sig_make_block(int fd, uint64_t end, const sig_secret_key &sk, std::vector<uint8_t> *out);

/// The key id as 16 lower-case hexadecimal digits.
std::string sig_key_id_text(const uint8_t id[SIG_KEY_ID_BYTES]);

}  // namespace korvane
