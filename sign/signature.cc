// SPDX-License-Identifier: MIT
#include "sign/signature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/load.h"
#include "rom/result.h"
#include "sign/sig_keys.h"

namespace korvane {
namespace {

constexpr size_t PIECE = 64 * 1024;

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

bool payload_format_ok(const sig_found &f) {
  const blk_hdr &h = f.hdr;
  const sig_payload &p = f.payload;
  return h.hsize.get() == ROM_HDR_SIZE && h.length.get() == sizeof(sig_payload) &&
         h.total.get() == SIG_BLOCK_TOTAL &&
         std::memcmp(p.tag, SIG_FORMAT_TAG, sizeof p.tag) == 0 &&
         p.algorithm.get() == SIG_ALG_ED25519PH && p.reserved.get() == 0;
}

uint64_t covered_of(const sig_payload &p) {
  return (uint64_t{p.covered_hi.get()} << 32) | p.covered_lo.get();
}

// Items 3 and 4 of what is signed.
void feed_block(sig_stream *s, const blk_hdr &h, const sig_payload &p) {
  sig_stream_update(s, &h, sizeof h);
  sig_stream_update(s, &p, SIG_SIGNED_PAYLOAD);
}

std::string plural(uint64_t n, const char *one) {
  return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

}  // namespace

bool sig_is_block(const blk_hdr &h) {
  return h.type.get() == ROM_BLK_TYPE_NONE && text_field(h.name) == SIG_BLOCK_NAME;
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
    const uint64_t sig_end = f->offset + SIG_BLOCK_TOTAL;
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
  if (!read_at(w->fd.fd, &f->payload, sizeof f->payload, f->offset + ROM_HDR_SIZE)) {
    f->problem = errno == EIO ? sig_problem::cut_short : sig_problem::read_failed;
    f->error = errno;
    return;
  }
  if (!payload_format_ok(*f)) f->problem = sig_problem::format;
}

int sig_feed_image(sig_stream *s, int fd, uint64_t end) {
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[PIECE]);
  if (!buf) {
    errno = ENOMEM;
    return -1;
  }
  sig_stream_update(s, SIG_DOMAIN, sizeof SIG_DOMAIN - 1);
  for (uint64_t at = 0; at < end;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(PIECE, end - at));
    if (!read_at(fd, buf.get(), n, at)) return -1;
    if (at == 0) {
      // The fields that appending a block changes are not signed.
      for (size_t field :
           {offsetof(rom_hdr, hcrc), offsetof(rom_hdr, length), offsetof(rom_hdr, blocks)}) {
        if (field + 4 <= n) std::memset(buf.get() + field, 0, 4);
      }
    }
    sig_stream_update(s, buf.get(), n);
    at += n;
  }
  return 0;
}

int sig_check(rom_walk *w, const sig_public_key *keys, size_t nkeys, sig_verdict *v) {
  *v = sig_verdict{};
  sig_find(w, &v->found);
  const sig_found &f = v->found;
  auto refuse = [v](sig_problem p) {
    v->problem = p;
    return -1;
  };
  if (f.problem != sig_problem::none) return refuse(f.problem);
  v->covered = covered_of(f.payload);
  if (v->covered != f.offset - ROM_HDR_SIZE) return refuse(sig_problem::format);

  // The keys whose id the block names; normally one.
  bool named = false;
  sig_stream s;
  sig_stream_init(&s);
  for (size_t k = 0; k < nkeys; ++k) {
    uint8_t id[SIG_KEY_ID_BYTES];
    sig_key_id(keys[k], id);
    if (std::memcmp(id, f.payload.key_id, sizeof id) != 0) continue;
    if (!named) {
      named = true;
      if (sig_feed_image(&s, w->fd.fd, f.offset) < 0) {
        v->found.error = errno;
        return refuse(errno == EIO ? sig_problem::cut_short : sig_problem::read_failed);
      }
      feed_block(&s, f.hdr, f.payload);
    }
    sig_stream copy = s;
    if (sig_stream_verify(&copy, f.payload.signature, keys[k])) {
      v->key = static_cast<int>(k);
      return 0;
    }
  }
  return refuse(named ? sig_problem::bad_signature : sig_problem::unknown_key);
}

int sig_make_block(int fd, uint64_t end, const sig_secret_key &sk, uint8_t out[SIG_BLOCK_TOTAL]) {
  if (end < ROM_HDR_SIZE) {
    errno = EINVAL;
    return -1;
  }
  alignas(4) blk_hdr h{};
  h.magic.set(BLK_MAGIC);
  h.hsize.set(ROM_HDR_SIZE);
  h.format.set(1);
  h.flags.set(0);
  h.length.set(sizeof(sig_payload));
  h.total.set(SIG_BLOCK_TOTAL);
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

  sig_stream s;
  sig_stream_init(&s);
  if (sig_feed_image(&s, fd, end) < 0) return -1;
  feed_block(&s, h, p);
  sig_stream_sign(&s, sk, p.signature);
  std::memcpy(out, &h, sizeof h);
  std::memcpy(out + sizeof h, &p, sizeof p);
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
      return "the signature does not match the image";
    case sig_problem::read_failed:
      return std::string("the image could not be read: ") + std::strerror(f.error);
    case sig_problem::none:
      break;
  }
  return "";
}

}  // namespace korvane
