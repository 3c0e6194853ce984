// SPDX-License-Identifier: MIT
#include "sign/signature.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/load.h"
#include "rom/result.h"
#include "sign/sig_keys.h"

namespace korvane {
namespace {

// The walk's step: every block is looked at, the signature block's place
// remembered, and what follows it counted.
int note_block(void *ctx, const rom_walk_blk &b) {
  auto &f = *static_cast<sig_found *>(ctx);
  if (f.index >= 0) {
    ++f.blocks_after;  // a second signature block counts as one more block
  } else if (sig_is_block(b.buf.hdr)) {
    f.index = b.index;
    f.offset = b.offset;
    f.hdr = b.buf.hdr;
  }
  return 0;
}

bool pow2(uint32_t v) { return v && (v & (v - 1)) == 0; }

uint64_t chunks_for(uint64_t end, uint32_t chunk) { return (end + chunk - 1) / chunk; }

bool payload_format_ok(const sig_found &f) {
  const blk_hdr &h = f.hdr;
  const sig_payload &p = f.payload;
  const uint32_t chunks = p.chunks.get();
  return h.hsize.get() == ROM_HDR_SIZE && chunks <= SIG_CHUNKS_MAX &&
         uint64_t{h.total.get()} == sig_block_total(chunks) &&
         uint64_t{h.length.get()} == sig_block_total(chunks) - ROM_HDR_SIZE &&
         std::memcmp(p.tag, SIG_FORMAT_TAG, sizeof p.tag) == 0 &&
         p.algorithm.get() == SIG_ALG_ED25519PH && p.reserved.get() == 0 &&
         p.digest.get() == SIG_DIGEST_BLAKE2B_256 && p.reserved2.get() == 0 &&
         pow2(p.chunk_size.get()) && p.chunk_size.get() >= SIG_CHUNK_MIN &&
         p.chunk_size.get() <= SIG_CHUNK_MAX;
}

uint64_t covered_of(const sig_payload &p) {
  return (uint64_t{p.covered_hi.get()} << 32) | p.covered_lo.get();
}

// Item 3 of what is signed, the header included (item 2).
void feed_block(sig_stream *s, const blk_hdr &h, const sig_payload &p, const uint8_t *rest,
                size_t rest_len) {
  sig_stream_update(s, SIG_DOMAIN, sizeof SIG_DOMAIN - 1);
  sig_stream_update(s, &h, sizeof h);
  sig_stream_update(s, &p, SIG_SIGNED_PAYLOAD);
  sig_stream_update(s, reinterpret_cast<const uint8_t *>(&p) + SIG_SIGNED_PAYLOAD_REST,
                    sizeof p - SIG_SIGNED_PAYLOAD_REST);
  sig_stream_update(s, rest, rest_len);
}

bool header_crc_ok(const rom_hdr &rom) {
  rom_hdr copy = rom;
  copy.hcrc.set(0);
  return crc32(0, &copy, sizeof copy) == rom.hcrc.get();
}

std::string plural(uint64_t n, const char *one) {
  return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

}  // namespace

bool sig_is_block(const blk_hdr &h) {
  return h.type.get() == ROM_BLK_TYPE_NONE && text_field(h.name) == SIG_BLOCK_NAME;
}

void sig_chunk_digest(uint64_t index, const uint8_t *bytes, size_t n,
                      uint8_t out[SIG_DIGEST_BYTES]) {
  sig_hash h;
  sig_hash_init(&h);
  if (index == 0 && n >= ROM_HDR_SIZE) {
    // The fields that appending a block changes are not signed.
    uint8_t head[ROM_HDR_SIZE];
    std::memcpy(head, bytes, sizeof head);
    for (size_t field :
         {offsetof(rom_hdr, hcrc), offsetof(rom_hdr, length), offsetof(rom_hdr, blocks)})
      std::memset(head + field, 0, 4);
    sig_hash_update(&h, head, sizeof head);
    sig_hash_update(&h, bytes + sizeof head, n - sizeof head);
  } else {
    sig_hash_update(&h, bytes, n);
  }
  sig_hash_final(&h, out);
}

const char *sig_problem_word(sig_problem p) {
  switch (p) {
    case sig_problem::none:
      return "none";
    case sig_problem::block_file:
      return "block-file";
    case sig_problem::header_size:
      return "header-size";
    case sig_problem::unsigned_image:
      return "unsigned";
    case sig_problem::after_signature:
      return "after-signature";
    case sig_problem::cut_short:
      return "cut-short";
    case sig_problem::walk:
      return "walk";
    case sig_problem::format:
      return "format";
    case sig_problem::unknown_key:
      return "unknown-key";
    case sig_problem::bad_signature:
      return "bad-signature";
    case sig_problem::read_failed:
      return "read-failed";
    case sig_problem::old_format:
      return "old-format";
    case sig_problem::header_crc:
      return "header-crc";
  }
  return "unknown";
}

void sig_find(rom_walk *w, sig_found *f) {
  *f = sig_found{};
  if (w->kind != ROM_CHECK_ROM) {
    f->problem = sig_problem::block_file;
    return;
  }
  if (w->rom.hsize.get() != ROM_HDR_SIZE) {
    f->problem = sig_problem::header_size;
    return;
  }
  // What korvane refuses to open is refused here too, so that every
  // checker of a signature answers alike.
  if (!header_crc_ok(w->rom)) {
    f->problem = sig_problem::header_crc;
    return;
  }
  rom_walk_steps steps;
  steps.ctx = f;
  steps.block = note_block;
  rom_walk_rules rules;
  rules.quiet = true;
  rom_walk_blocks(w, steps, rules);
  const rom_walk_end &end = w->end;
  switch (end.why) {
    case rom_walk_stop::seek_failed:
    case rom_walk_stop::read_failed:
      f->problem = sig_problem::read_failed;
      f->error = end.error;
      return;
    default:
      break;
  }
  if (f->index >= 0) {
    const uint64_t sig_end = f->offset + f->hdr.total.get();
    f->after = w->size > sig_end ? w->size - sig_end : 0;
    if (f->blocks_after > 0 || f->after > 0) {
      f->problem = sig_problem::after_signature;
      return;
    }
  }
  switch (end.why) {
    case rom_walk_stop::end_of_file:
    case rom_walk_stop::trailing:
      break;
    case rom_walk_stop::past_end:
    case rom_walk_stop::cut_short:
      f->problem = sig_problem::cut_short;
      return;
    default:
      f->problem = sig_problem::walk;
      return;
  }
  if (f->index < 0) {
    // A block header that the end of the file cuts off: the walk's normal
    // end, but not an image that was merely never signed.
    be32 magic{};
    const bool cut = end.why == rom_walk_stop::trailing && w->size - end.offset >= sizeof magic &&
                     read_at(w->fd.fd, &magic, sizeof magic, end.offset) &&
                     magic.get() == BLK_MAGIC;
    f->problem = cut ? sig_problem::cut_short : sig_problem::unsigned_image;
    return;
  }
  // The first release's payload is shorter than this one's fixed part.
  const bool old = f->hdr.length.get() == SIG_OLD_PAYLOAD;
  if (!old && f->hdr.length.get() < sizeof f->payload) {
    f->problem = sig_problem::format;
    return;
  }
  if (!read_at(w->fd.fd, &f->payload, old ? SIG_OLD_PAYLOAD : sizeof f->payload,
               f->offset + ROM_HDR_SIZE)) {
    f->problem = errno == EIO ? sig_problem::cut_short : sig_problem::read_failed;
    f->error = errno;
    return;
  }
  if (old) {
    f->problem = std::memcmp(f->payload.tag, SIG_OLD_FORMAT_TAG, sizeof f->payload.tag) == 0
                     ? sig_problem::old_format
                     : sig_problem::format;
    return;
  }
  if (!payload_format_ok(*f)) f->problem = sig_problem::format;
}

bool sig_block_offset(const uint8_t last[sizeof(sig_trailer)], uint64_t *offset) {
  sig_trailer t;
  std::memcpy(&t, last, sizeof t);
  *offset = (uint64_t{t.offset_hi.get()} << 32) | t.offset_lo.get();
  return std::memcmp(t.tag, SIG_TRAILER_TAG, sizeof t.tag) == 0;
}

int sig_check_block(std::vector<uint8_t> block, uint64_t offset, const sig_public_key *keys,
                    size_t nkeys, sig_verdict *v, sig_chunks *chunks) {
  sig_found &f = v->found;
  auto refuse = [v](sig_problem p) {
    v->problem = p;
    return -1;
  };
  const size_t fixed = ROM_HDR_SIZE + sizeof f.payload;
  if (block.size() < fixed) return refuse(sig_problem::format);
  f.offset = offset;
  std::memcpy(&f.hdr, block.data(), sizeof f.hdr);
  std::memcpy(&f.payload, block.data() + ROM_HDR_SIZE, sizeof f.payload);
  if (!sig_is_block(f.hdr) || !payload_format_ok(f) || block.size() != f.hdr.total.get())
    return refuse(sig_problem::format);
  v->covered = covered_of(f.payload);
  const uint32_t chunk_size = f.payload.chunk_size.get();
  const uint64_t nchunks = f.payload.chunks.get();
  if (offset < ROM_HDR_SIZE || v->covered != offset - ROM_HDR_SIZE ||
      nchunks != chunks_for(offset, chunk_size))
    return refuse(sig_problem::format);

  // The keys whose id the block names; normally one.
  std::vector<size_t> named;
  for (size_t k = 0; k < nkeys; ++k) {
    uint8_t id[SIG_KEY_ID_BYTES];
    sig_key_id(keys[k], id);
    if (std::memcmp(id, f.payload.key_id, sizeof id) == 0) named.push_back(k);
  }
  if (named.empty()) return refuse(sig_problem::unknown_key);

  uint64_t trailer_offset = 0;
  if (!sig_block_offset(block.data() + block.size() - sizeof(sig_trailer), &trailer_offset) ||
      trailer_offset != offset)
    return refuse(sig_problem::format);

  sig_stream s;
  sig_stream_init(&s);
  feed_block(&s, f.hdr, f.payload, block.data() + fixed, block.size() - fixed);
  for (size_t k : named) {
    sig_stream copy = s;
    if (sig_stream_verify(&copy, f.payload.signature, keys[k])) {
      v->key = static_cast<int>(k);
      break;
    }
  }
  if (v->key < 0) return refuse(sig_problem::bad_signature);
  chunks->chunk_size = chunk_size;
  chunks->end = offset;
  chunks->tail = std::move(block);
  chunks->table_at = fixed;
  return 0;
}

int sig_check(rom_walk *w, const sig_public_key *keys, size_t nkeys, sig_verdict *v,
              sig_chunks *chunks) {
  *v = sig_verdict{};
  sig_find(w, &v->found);
  const sig_found &f = v->found;
  if (f.problem != sig_problem::none) {
    v->problem = f.problem;
    return -1;
  }
  // The block is read once, here: the table and trailer that are checked
  // are the ones the chunks are held against, and the bytes served for it.
  std::vector<uint8_t> block(f.hdr.total.get());
  if (!read_at(w->fd.fd, block.data(), block.size(), f.offset)) {
    v->found.error = errno;
    v->problem = errno == EIO ? sig_problem::cut_short : sig_problem::read_failed;
    return -1;
  }
  sig_chunks c;
  if (sig_check_block(std::move(block), f.offset, keys, nkeys, v, &c) < 0) return -1;

  // The table is good: every chunk of the image now against it.
  c.raw = sig_raw_fd(&w->fd.fd);
  if (sig_chunks_check_all(&c) < 0) {
    v->chunk = c.fault;
    v->found.error = c.fault.error;
    v->key = -1;
    if (c.fault.mismatch) {
      v->problem = sig_problem::bad_signature;
    } else {
      v->problem = c.fault.error == EIO ? sig_problem::cut_short : sig_problem::read_failed;
    }
    return -1;
  }
  if (chunks) *chunks = std::move(c);
  return 0;
}

int sig_make_block(int fd, uint64_t end, const sig_secret_key &sk, std::vector<uint8_t> *out) {
  if (end < ROM_HDR_SIZE) {
    errno = EINVAL;
    return -1;
  }
  const uint64_t nchunks = chunks_for(end, SIG_CHUNK_SIZE);
  if (nchunks > SIG_CHUNKS_MAX) {
    errno = EFBIG;
    return -1;
  }
  const uint64_t total = sig_block_total(nchunks);
  alignas(4) blk_hdr h{};
  h.magic.set(BLK_MAGIC);
  h.hsize.set(ROM_HDR_SIZE);
  h.format.set(1);
  h.flags.set(0);
  h.length.set(static_cast<uint32_t>(total - ROM_HDR_SIZE));
  h.total.set(static_cast<uint32_t>(total));
  h.verify.set(0xFFFFFFFF);
  h.type.set(ROM_BLK_TYPE_NONE);
  h.id.set(0);
  set_text_field(h.name, SIG_BLOCK_NAME);
  set_text_field(h.version, SIG_BLOCK_VERSION);
  h.cypher.set(ROM_BLK_CT_NONE);
  h.data.set(ROM_BLK_DATA_RAW);
  h.hcrc.set(crc32(0, &h, ROM_HDR_SIZE));

  sig_payload p{};
  std::memcpy(p.tag, SIG_FORMAT_TAG, sizeof p.tag);
  p.algorithm.set(SIG_ALG_ED25519PH);
  sig_public_key pk;
  sig_public_of(sk, &pk);
  sig_key_id(pk, p.key_id);
  const uint64_t covered = end - ROM_HDR_SIZE;
  p.covered_hi.set(static_cast<uint32_t>(covered >> 32));
  p.covered_lo.set(static_cast<uint32_t>(covered));
  p.chunk_size.set(SIG_CHUNK_SIZE);
  p.chunks.set(static_cast<uint32_t>(nchunks));
  p.digest.set(SIG_DIGEST_BLAKE2B_256);

  std::vector<uint8_t> rest(nchunks * SIG_DIGEST_BYTES + sizeof(sig_trailer));
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[SIG_CHUNK_SIZE]);
  if (!buf) {
    errno = ENOMEM;
    return -1;
  }
  for (uint64_t index = 0; index < nchunks; ++index) {
    const uint64_t at = index * SIG_CHUNK_SIZE;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(SIG_CHUNK_SIZE, end - at));
    if (!read_at(fd, buf.get(), n, at)) return -1;
    sig_chunk_digest(index, buf.get(), n, rest.data() + index * SIG_DIGEST_BYTES);
  }
  sig_trailer t{};
  t.offset_hi.set(static_cast<uint32_t>(end >> 32));
  t.offset_lo.set(static_cast<uint32_t>(end));
  std::memcpy(t.tag, SIG_TRAILER_TAG, sizeof t.tag);
  std::memcpy(rest.data() + rest.size() - sizeof t, &t, sizeof t);

  sig_stream s;
  sig_stream_init(&s);
  feed_block(&s, h, p, rest.data(), rest.size());
  sig_stream_sign(&s, sk, p.signature);
  out->resize(total);
  std::memcpy(out->data(), &h, sizeof h);
  std::memcpy(out->data() + sizeof h, &p, sizeof p);
  std::memcpy(out->data() + sizeof h + sizeof p, rest.data(), rest.size());
  return 0;
}

std::string sig_key_id_text(const uint8_t id[SIG_KEY_ID_BYTES]) {
  return sig_hex(id, SIG_KEY_ID_BYTES);
}

std::string sig_reason(const sig_verdict &v, size_t nkeys) {
  const sig_found &f = v.found;
  switch (v.problem) {
    case sig_problem::block_file:
      return "a block file has no rom header and cannot be signed";
    case sig_problem::header_size:
      return "the rom header size is not 128";
    case sig_problem::unsigned_image:
      return "the image has no signature block";
    case sig_problem::after_signature:
      return plural(static_cast<uint64_t>(f.blocks_after), "block") + " and " +
             plural(f.after, "byte") + " after the signature block";
    case sig_problem::cut_short:
      return "the image ends inside a block";
    case sig_problem::walk:
      return "the walk from block to block stops before the end of the file";
    case sig_problem::format:
      return "the signature block is not one this korvane reads";
    case sig_problem::unknown_key:
      return "signed by a key that is not among the " + plural(nkeys, "key") + " given";
    case sig_problem::bad_signature:
      return v.chunk.mismatch ? "the image does not match its signed table of digests"
                              : "the signature does not match the image";
    case sig_problem::read_failed:
      return std::string("the image could not be read: ") + std::strerror(f.error);
    case sig_problem::old_format:
      return "signed in the first release's format, which this korvane no longer accepts "
             "because it cannot hold the bytes it installs to the bytes it checked; sign the "
             "unsigned image again with this release's korvane-mkrom sign";
    case sig_problem::header_crc:
      return "the rom header's CRC does not match it, so korvane does not open the image";
    case sig_problem::none:
      break;
  }
  return "";
}

}  // namespace korvane
