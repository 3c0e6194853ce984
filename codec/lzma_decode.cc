// SPDX-License-Identifier: MIT
#include "codec/lzma_decode.h"

#include <cstring>
#include <new>

namespace korvane {
namespace {

// The range coder: 32-bit range and code, probabilities of 11 bits that move
// by 1/32 of their distance to the bound.
constexpr uint32_t kTop = 1u << 24;
constexpr unsigned kModelBits = 11;
constexpr uint32_t kModelTotal = 1u << kModelBits;
constexpr unsigned kMoveBits = 5;

// The model.
constexpr unsigned kNumStates = 12;
constexpr unsigned kNumLitStates = 7;
constexpr unsigned kPosBitsMax = 4;
constexpr int kLenLowBits = 3, kLenMidBits = 3, kLenHighBits = 8;
constexpr unsigned kLenLowSymbols = 1u << kLenLowBits, kLenMidSymbols = 1u << kLenMidBits;
constexpr unsigned kLenHighSymbols = 1u << kLenHighBits;
constexpr unsigned kLenChoice = 0, kLenChoice2 = 1, kLenLow = 2;
constexpr unsigned kLenMid = kLenLow + (1u << kPosBitsMax << kLenLowBits);
constexpr unsigned kLenHigh = kLenMid + (1u << kPosBitsMax << kLenMidBits);
constexpr unsigned kNumLenProbs = kLenHigh + kLenHighSymbols;
constexpr unsigned kMatchMinLen = 2;
// A remain_len of this value means the end marker was read.
constexpr unsigned kMatchSpecLenStart =
    kMatchMinLen + kLenLowSymbols + kLenMidSymbols + kLenHighSymbols;
constexpr unsigned kStartPosModelIndex = 4, kEndPosModelIndex = 14;
constexpr unsigned kNumFullDistances = 1u << (kEndPosModelIndex >> 1);
constexpr int kPosSlotBits = 6;
constexpr unsigned kNumLenToPosStates = 4, kAlignBits = 4;

// The probability table, in the order of the format.
constexpr unsigned kIsMatch = 0;
constexpr unsigned kIsRep = kIsMatch + (kNumStates << kPosBitsMax);
constexpr unsigned kIsRepG0 = kIsRep + kNumStates;
constexpr unsigned kIsRepG1 = kIsRepG0 + kNumStates;
constexpr unsigned kIsRepG2 = kIsRepG1 + kNumStates;
constexpr unsigned kIsRep0Long = kIsRepG2 + kNumStates;
constexpr unsigned kPosSlot = kIsRep0Long + (kNumStates << kPosBitsMax);
constexpr unsigned kSpecPos = kPosSlot + (kNumLenToPosStates << kPosSlotBits);
constexpr unsigned kAlign = kSpecPos + kNumFullDistances - kEndPosModelIndex;
constexpr unsigned kLenCoder = kAlign + (1u << kAlignBits);
constexpr unsigned kRepLenCoder = kLenCoder + kNumLenProbs;
constexpr unsigned kLiteral = kRepLenCoder + kNumLenProbs;
constexpr unsigned kLitSize = 0x300;
static_assert(kLiteral == 1846);

constexpr uint32_t kDictMin = 1u << 12;
constexpr unsigned kRcInitSize = 5;

// The state after a literal, by the state before.
constexpr uint8_t kLitNext[kNumStates] = {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 4, 5};

#define KORVANE_INLINE [[gnu::always_inline]] inline

/// The range decoder's registers; decode_real keeps them in a local.
struct rc_regs {
  uint32_t range;
  uint32_t code;
  const uint8_t *buf;
};

KORVANE_INLINE void rc_normalize(rc_regs &rc) {
  if (rc.range < kTop) {
    rc.range <<= 8;
    rc.code = (rc.code << 8) | *rc.buf++;
  }
}

/// A bit that steers the decoder (literal or match, which repeat): taken by
/// branches, as its value chooses the code that follows.
KORVANE_INLINE bool rc_bit(rc_regs &rc, uint16_t *prob) {
  rc_normalize(rc);
  uint32_t p = *prob;
  uint32_t bound = (rc.range >> kModelBits) * p;
  if (rc.code < bound) {
    rc.range = bound;
    *prob = static_cast<uint16_t>(p + ((kModelTotal - p) >> kMoveBits));
    return false;
  }
  rc.range -= bound;
  rc.code -= bound;
  *prob = static_cast<uint16_t>(p - (p >> kMoveBits));
  return true;
}

/// A bit inside a symbol (literal bits, lengths, distances): without
/// branches, since these bits are as good as random to the processor and a
/// mispredicted branch costs more than the few extra instructions.
/// @return 0 or all ones.
KORVANE_INLINE uint32_t rc_bit_mask(rc_regs &rc, uint16_t *prob) {
  rc_normalize(rc);
  const uint32_t p = *prob;
  const uint32_t bound = (rc.range >> kModelBits) * p;
  const uint32_t mask = 0u - static_cast<uint32_t>(rc.code >= bound);
  rc.range = rc.code >= bound ? rc.range - bound : bound;
  rc.code -= bound & mask;
  // p - (p >> 5) for a 1; p + ((2048 - p) >> 5) for a 0, which equals
  // p - ((p - 2017) >> 5) with the shift keeping the sign.
  const int32_t t = static_cast<int32_t>(p) - static_cast<int32_t>(~mask & (kModelTotal - 31));
  *prob = static_cast<uint16_t>(p - static_cast<uint32_t>(t >> kMoveBits));
  return mask;
}

/// Walks a bit tree of N levels from node 1. @return the leaf, 2^N to 2^(N+1) - 1.
template <int N>
KORVANE_INLINE unsigned rc_tree(rc_regs &rc, uint16_t *probs) {
  unsigned i = 1;
  for (int k = 0; k < N; ++k) i = i + i + (rc_bit_mask(rc, probs + i) & 1);
  return i;
}

KORVANE_INLINE void copy8(uint8_t *dst, const uint8_t *src) {
  uint64_t v;
  std::memcpy(&v, src, 8);
  std::memcpy(dst, &v, 8);
}

/// Copies n bytes to dst from d bytes before it (d >= 1), byte by byte in
/// effect: a source that overlaps the destination repeats its pattern.
/// Nothing past dst + n is written.
KORVANE_INLINE void copy_match(uint8_t *dst, size_t d, size_t n) {
  const uint8_t *src = dst - d;
  if (d >= 8) {
    if (n >= 8) {
      size_t k = 0;
      for (; k + 8 <= n; k += 8) copy8(dst + k, src + k);
      // The last word overlaps the one before: every byte it reads is final.
      if (k < n) copy8(dst + n - 8, src + n - 8);
      return;
    }
    if (n >= 4) {
      uint32_t a, b;
      std::memcpy(&a, src, 4);
      std::memcpy(&b, src + n - 4, 4);
      std::memcpy(dst, &a, 4);
      std::memcpy(dst + n - 4, &b, 4);
      return;
    }
  } else if (d == 1) {
    std::memset(dst, src[0], n);
    return;
  }
  for (size_t k = 0; k < n; ++k) dst[k] = src[k];
}

/// Decodes symbols into the dictionary up to `limit`, at least one, and
/// more while the input is before buf_limit (each symbol reads at most
/// LZMA_DEC_INPUT_MAX bytes). A match cut by the limit leaves its rest in
/// remain_len. On an error the state is left as it was at the start.
int decode_real(lzma_dec *p, size_t limit, const uint8_t *buf_limit) {
  uint16_t *const probs = p->probs.get();
  unsigned state = p->state;
  uint32_t rep0 = p->reps[0], rep1 = p->reps[1], rep2 = p->reps[2], rep3 = p->reps[3];
  const unsigned pb_mask = (1u << p->pb) - 1;
  const unsigned lp_mask = (1u << p->lp) - 1;
  const unsigned lc = p->lc;
  uint8_t *const dic = p->dic.get();
  const size_t dic_size = p->dic_size;
  size_t pos = p->dic_pos;
  uint32_t processed = p->processed_pos;
  const uint32_t check = p->check_dic_size;
  unsigned len = 0;
  rc_regs rc{p->range, p->code, p->buf};
  // The byte before the next one: the literal context (0 at the start).
  unsigned prev = (processed == 0 && check == 0) ? 0 : dic[(pos == 0 ? dic_size : pos) - 1];

  do {
    const unsigned pos_state = processed & pb_mask;
    if (!rc_bit(rc, probs + kIsMatch + (state << kPosBitsMax) + pos_state)) {
      uint16_t *lit =
          probs + kLiteral + kLitSize * (((processed & lp_mask) << lc) + (prev >> (8 - lc)));
      unsigned sym = 1;
      if (state < kNumLitStates) {
        sym = rc_tree<8>(rc, lit);
      } else {
        // A literal right after a match: the byte at rep0 steers the
        // probabilities for as long as the bits agree with it.
        unsigned match = dic[pos - rep0 + (pos < rep0 ? dic_size : 0)];
        unsigned offs = 0x100;
        for (int k = 0; k < 8; ++k) {
          match <<= 1;
          unsigned bit = match & offs;
          uint32_t m = rc_bit_mask(rc, lit + offs + bit + sym);
          sym = sym + sym + (m & 1);
          offs &= ~(bit ^ m);
        }
      }
      state = kLitNext[state];
      prev = sym & 0xFF;
      dic[pos++] = static_cast<uint8_t>(prev);
      processed++;
      continue;
    }

    uint16_t *len_probs;
    if (!rc_bit(rc, probs + kIsRep + state)) {
      state += kNumStates;  // a new match: its distance follows the length
      len_probs = probs + kLenCoder;
    } else {
      if (check == 0 && processed == 0) return LZMA_DEC_ERROR_DATA;
      if (!rc_bit(rc, probs + kIsRepG0 + state)) {
        if (!rc_bit(rc, probs + kIsRep0Long + (state << kPosBitsMax) + pos_state)) {
          prev = dic[pos - rep0 + (pos < rep0 ? dic_size : 0)];
          dic[pos++] = static_cast<uint8_t>(prev);
          processed++;
          state = state < kNumLitStates ? 9 : 11;
          continue;
        }
      } else {
        uint32_t distance;
        if (!rc_bit(rc, probs + kIsRepG1 + state)) {
          distance = rep1;
        } else {
          if (!rc_bit(rc, probs + kIsRepG2 + state)) {
            distance = rep2;
          } else {
            distance = rep3;
            rep3 = rep2;
          }
          rep2 = rep1;
        }
        rep1 = rep0;
        rep0 = distance;
      }
      state = state < kNumLitStates ? 8 : 11;
      len_probs = probs + kRepLenCoder;
    }

    {
      if (!rc_bit(rc, len_probs + kLenChoice)) {
        len = rc_tree<kLenLowBits>(rc, len_probs + kLenLow + (pos_state << kLenLowBits)) -
              kLenLowSymbols;
      } else if (!rc_bit(rc, len_probs + kLenChoice2)) {
        len = rc_tree<kLenMidBits>(rc, len_probs + kLenMid + (pos_state << kLenMidBits)) -
              kLenMidSymbols + kLenLowSymbols;
      } else {
        len = rc_tree<kLenHighBits>(rc, len_probs + kLenHigh) - kLenHighSymbols + kLenLowSymbols +
              kLenMidSymbols;
      }
    }

    if (state >= kNumStates) {
      uint16_t *t = probs + kPosSlot +
                    ((len < kNumLenToPosStates ? len : kNumLenToPosStates - 1) << kPosSlotBits);
      const unsigned slot = rc_tree<kPosSlotBits>(rc, t) - (1u << kPosSlotBits);
      uint32_t distance = slot;
      if (slot >= kStartPosModelIndex) {
        unsigned direct = (slot >> 1) - 1;
        distance = 2 | (slot & 1);
        if (slot < kEndPosModelIndex) {
          distance <<= direct;
          uint16_t *s = probs + kSpecPos + distance - slot - 1;
          unsigned i = 1;
          uint32_t bit = 1;
          do {
            uint32_t m = rc_bit_mask(rc, s + i);
            i = i + i + (m & 1);
            distance |= bit & m;
            bit <<= 1;
          } while (--direct != 0);
        } else {
          direct -= kAlignBits;
          do {
            rc_normalize(rc);
            rc.range >>= 1;
            rc.code -= rc.range;
            uint32_t t2 = 0u - (rc.code >> 31);  // all ones when the bit is 0
            distance = (distance << 1) + (t2 + 1);
            rc.code += rc.range & t2;
          } while (--direct != 0);
          uint16_t *a = probs + kAlign;
          distance <<= kAlignBits;
          unsigned i = 1;
          uint32_t m;
          m = rc_bit_mask(rc, a + i);
          i = i + i + (m & 1);
          distance |= m & 1;
          m = rc_bit_mask(rc, a + i);
          i = i + i + (m & 1);
          distance |= m & 2;
          m = rc_bit_mask(rc, a + i);
          i = i + i + (m & 1);
          distance |= m & 4;
          m = rc_bit_mask(rc, a + i);
          distance |= m & 8;
          if (distance == 0xFFFFFFFFu) {  // the end marker
            len += kMatchSpecLenStart;
            state -= kNumStates;
            break;
          }
        }
      }
      rep3 = rep2;
      rep2 = rep1;
      rep1 = rep0;
      rep0 = distance + 1;
      if (check == 0) {
        if (distance >= processed) return LZMA_DEC_ERROR_DATA;
      } else if (distance >= check) {
        return LZMA_DEC_ERROR_DATA;
      }
      state = state < kNumStates + kNumLitStates ? kNumLitStates : kNumLitStates + 3;
    }

    len += kMatchMinLen;
    if (limit == pos) return LZMA_DEC_ERROR_DATA;
    {
      size_t rem = limit - pos;
      unsigned cur = rem < len ? static_cast<unsigned>(rem) : len;
      size_t src = pos - rep0 + (pos < rep0 ? dic_size : 0);
      processed += cur;
      len -= cur;
      if (src + cur <= dic_size) {
        if (src < pos) {
          copy_match(dic + pos, rep0, cur);
        } else {
          std::memmove(dic + pos, dic + src, cur);  // the source is ahead, across the wrap
        }
        pos += cur;
      } else {
        do {
          dic[pos++] = dic[src];
          if (++src == dic_size) src = 0;
        } while (--cur != 0);
      }
      prev = dic[pos - 1];
    }
  } while (pos < limit && rc.buf < buf_limit);

  rc_normalize(rc);
  p->buf = rc.buf;
  p->range = rc.range;
  p->code = rc.code;
  p->remain_len = len;
  p->dic_pos = pos;
  p->processed_pos = processed;
  p->reps[0] = rep0;
  p->reps[1] = rep1;
  p->reps[2] = rep2;
  p->reps[3] = rep3;
  p->state = state;
  return LZMA_DEC_OK;
}

/// Copies what is left of a match cut by an earlier limit, up to `limit`.
void write_rem(lzma_dec *p, size_t limit) {
  if (p->remain_len == 0 || p->remain_len >= kMatchSpecLenStart) return;
  uint8_t *dic = p->dic.get();
  size_t pos = p->dic_pos;
  const size_t dic_size = p->dic_size;
  unsigned len = p->remain_len;
  const uint32_t rep0 = p->reps[0];
  if (limit - pos < len) len = static_cast<unsigned>(limit - pos);
  if (p->check_dic_size == 0 && p->dict_size - p->processed_pos <= len) {
    p->check_dic_size = p->dict_size;
  }
  p->processed_pos += len;
  p->remain_len -= len;
  while (len != 0) {
    len--;
    dic[pos] = dic[pos - rep0 + (pos < rep0 ? dic_size : 0)];
    pos++;
  }
  p->dic_pos = pos;
}

/// decode_real in steps that stop where the decoded size reaches the
/// dictionary size, from which on distances are checked against it.
int decode_real2(lzma_dec *p, size_t limit, const uint8_t *buf_limit) {
  do {
    size_t limit2 = limit;
    if (p->check_dic_size == 0) {
      uint32_t rem = p->dict_size - p->processed_pos;
      if (limit - p->dic_pos > rem) limit2 = p->dic_pos + rem;
    }
    if (decode_real(p, limit2, buf_limit) != LZMA_DEC_OK) return LZMA_DEC_ERROR_DATA;
    if (p->processed_pos >= p->dict_size) p->check_dic_size = p->dict_size;
    write_rem(p, limit);
  } while (p->dic_pos < limit && p->buf < buf_limit && p->remain_len < kMatchSpecLenStart);
  if (p->remain_len > kMatchSpecLenStart) p->remain_len = kMatchSpecLenStart;
  return LZMA_DEC_OK;
}

// --- the trial decode: is the next symbol whole in the input at hand? ---

enum dummy_result { DUMMY_ERROR, DUMMY_LIT, DUMMY_MATCH, DUMMY_REP };

/// The range decoder of the trial: reads nothing past `end`, changes no
/// probability.
struct dummy_rc {
  uint32_t range, code;
  const uint8_t *buf, *end;

  bool normalize() {
    if (range < kTop) {
      if (buf >= end) return false;
      range <<= 8;
      code = (code << 8) | *buf++;
    }
    return true;
  }
  /// @return 0 or 1, or -1 when the input ends.
  int bit(const uint16_t *prob) {
    if (!normalize()) return -1;
    uint32_t bound = (range >> kModelBits) * *prob;
    if (code < bound) {
      range = bound;
      return 0;
    }
    range -= bound;
    code -= bound;
    return 1;
  }
  /// Walks a tree of `levels` bits. @return the leaf index, or -1.
  int tree(const uint16_t *probs, unsigned levels) {
    unsigned i = 1;
    for (unsigned k = 0; k < levels; ++k) {
      int b = bit(probs + i);
      if (b < 0) return -1;
      i = i + i + static_cast<unsigned>(b);
    }
    return static_cast<int>(i);
  }
};

dummy_result try_dummy(const lzma_dec *p, const uint8_t *buf, size_t in_size) {
  dummy_rc rc{p->range, p->code, buf, buf + in_size};
  const uint16_t *probs = p->probs.get();
  unsigned state = p->state;
  dummy_result res;
  const unsigned pos_state = p->processed_pos & ((1u << p->pb) - 1);
  int b = rc.bit(probs + kIsMatch + (state << kPosBitsMax) + pos_state);
  if (b < 0) return DUMMY_ERROR;
  if (b == 0) {
    const uint16_t *lit = probs + kLiteral;
    if (p->check_dic_size != 0 || p->processed_pos != 0) {
      unsigned prev = p->dic[(p->dic_pos == 0 ? p->dic_size : p->dic_pos) - 1];
      lit +=
          kLitSize * (((p->processed_pos & ((1u << p->lp) - 1)) << p->lc) + (prev >> (8 - p->lc)));
    }
    if (state < kNumLitStates) {
      if (rc.tree(lit, 8) < 0) return DUMMY_ERROR;
    } else {
      size_t pos = p->dic_pos;
      uint32_t rep0 = p->reps[0];
      unsigned match = p->dic[pos - rep0 + (pos < rep0 ? p->dic_size : 0)];
      unsigned offs = 0x100, sym = 1;
      do {
        match <<= 1;
        unsigned bit = match & offs;
        int v = rc.bit(lit + offs + bit + sym);
        if (v < 0) return DUMMY_ERROR;
        sym = sym + sym + static_cast<unsigned>(v);
        offs &= v ? bit : ~bit;
      } while (sym < 0x100);
    }
    res = DUMMY_LIT;
  } else {
    const uint16_t *len_probs;
    b = rc.bit(probs + kIsRep + state);
    if (b < 0) return DUMMY_ERROR;
    if (b == 0) {
      state = 0;
      len_probs = probs + kLenCoder;
      res = DUMMY_MATCH;
    } else {
      res = DUMMY_REP;
      b = rc.bit(probs + kIsRepG0 + state);
      if (b < 0) return DUMMY_ERROR;
      if (b == 0) {
        b = rc.bit(probs + kIsRep0Long + (state << kPosBitsMax) + pos_state);
        if (b < 0) return DUMMY_ERROR;
        if (b == 0) return rc.normalize() ? DUMMY_REP : DUMMY_ERROR;
      } else {
        b = rc.bit(probs + kIsRepG1 + state);
        if (b < 0) return DUMMY_ERROR;
        if (b == 1 && rc.bit(probs + kIsRepG2 + state) < 0) return DUMMY_ERROR;
      }
      state = kNumStates;
      len_probs = probs + kRepLenCoder;
    }
    unsigned len;
    b = rc.bit(len_probs + kLenChoice);
    if (b < 0) return DUMMY_ERROR;
    int leaf;
    if (b == 0) {
      leaf = rc.tree(len_probs + kLenLow + (pos_state << kLenLowBits), kLenLowBits);
      len = static_cast<unsigned>(leaf) - kLenLowSymbols;
    } else {
      b = rc.bit(len_probs + kLenChoice2);
      if (b < 0) return DUMMY_ERROR;
      if (b == 0) {
        leaf = rc.tree(len_probs + kLenMid + (pos_state << kLenMidBits), kLenMidBits);
        len = static_cast<unsigned>(leaf) - kLenMidSymbols + kLenLowSymbols;
      } else {
        leaf = rc.tree(len_probs + kLenHigh, kLenHighBits);
        len = static_cast<unsigned>(leaf) - kLenHighSymbols + kLenLowSymbols + kLenMidSymbols;
      }
    }
    if (leaf < 0) return DUMMY_ERROR;
    if (state < 4) {
      leaf =
          rc.tree(probs + kPosSlot +
                      ((len < kNumLenToPosStates ? len : kNumLenToPosStates - 1) << kPosSlotBits),
                  kPosSlotBits);
      if (leaf < 0) return DUMMY_ERROR;
      unsigned slot = static_cast<unsigned>(leaf) - (1u << kPosSlotBits);
      if (slot >= kStartPosModelIndex) {
        unsigned direct = (slot >> 1) - 1;
        const uint16_t *t;
        if (slot < kEndPosModelIndex) {
          t = probs + kSpecPos + ((2 | (slot & 1)) << direct) - slot - 1;
        } else {
          for (direct -= kAlignBits; direct != 0; --direct) {
            if (!rc.normalize()) return DUMMY_ERROR;
            rc.range >>= 1;
            // As the decoder takes the bit, also when a corrupt stream
            // left the code above the range.
            rc.code -= rc.range & (((rc.code - rc.range) >> 31) - 1);
          }
          t = probs + kAlign;
          direct = kAlignBits;
        }
        if (rc.tree(t, direct) < 0) return DUMMY_ERROR;
      }
    }
  }
  return rc.normalize() ? res : DUMMY_ERROR;
}

void init_rc(lzma_dec *p, const uint8_t *data) {
  p->code = static_cast<uint32_t>(data[1]) << 24 | static_cast<uint32_t>(data[2]) << 16 |
            static_cast<uint32_t>(data[3]) << 8 | data[4];
  p->range = 0xFFFFFFFFu;
  p->need_flush = false;
}

void init_state(lzma_dec *p) {
  const uint32_t n = kLiteral + (kLitSize << (p->lc + p->lp));
  uint16_t *probs = p->probs.get();
  for (uint32_t i = 0; i < n; ++i) probs[i] = kModelTotal >> 1;
  p->reps[0] = p->reps[1] = p->reps[2] = p->reps[3] = 1;
  p->state = 0;
  p->need_init_state = false;
}

/// Decodes into the dictionary up to dic_limit.
int decode_to_dic(lzma_dec *p, size_t dic_limit, const uint8_t *src, size_t *src_len,
                  bool finish_end, lzma_dec_status *status) {
  size_t in_size = *src_len;
  *src_len = 0;
  write_rem(p, dic_limit);
  *status = LZMA_DEC_STATUS_NOT_SPECIFIED;

  while (p->remain_len != kMatchSpecLenStart) {
    if (p->need_flush) {
      for (; in_size > 0 && p->temp_size < kRcInitSize; (*src_len)++, in_size--) {
        p->temp[p->temp_size++] = *src++;
      }
      if (p->temp_size < kRcInitSize) {
        *status = LZMA_DEC_STATUS_NEEDS_MORE_INPUT;
        return LZMA_DEC_OK;
      }
      if (p->temp[0] != 0) return LZMA_DEC_ERROR_DATA;
      init_rc(p, p->temp);
      p->temp_size = 0;
    }

    bool check_end_mark_now = false;
    if (p->dic_pos >= dic_limit) {
      if (p->remain_len == 0 && p->code == 0) {
        *status = LZMA_DEC_STATUS_MAYBE_FINISHED_WITHOUT_MARK;
        return LZMA_DEC_OK;
      }
      if (!finish_end) {
        *status = LZMA_DEC_STATUS_NOT_FINISHED;
        return LZMA_DEC_OK;
      }
      if (p->remain_len != 0) {
        *status = LZMA_DEC_STATUS_NOT_FINISHED;
        return LZMA_DEC_ERROR_DATA;
      }
      check_end_mark_now = true;
    }

    if (p->need_init_state) init_state(p);

    if (p->temp_size == 0) {
      const uint8_t *buf_limit;
      if (in_size < LZMA_DEC_INPUT_MAX || check_end_mark_now) {
        dummy_result dummy = try_dummy(p, src, in_size);
        if (dummy == DUMMY_ERROR) {
          std::memcpy(p->temp, src, in_size);
          p->temp_size = static_cast<unsigned>(in_size);
          *src_len += in_size;
          *status = LZMA_DEC_STATUS_NEEDS_MORE_INPUT;
          return LZMA_DEC_OK;
        }
        if (check_end_mark_now && dummy != DUMMY_MATCH) {
          *status = LZMA_DEC_STATUS_NOT_FINISHED;
          return LZMA_DEC_ERROR_DATA;
        }
        buf_limit = src;  // exactly one symbol
      } else {
        buf_limit = src + in_size - LZMA_DEC_INPUT_MAX;
      }
      p->buf = src;
      if (decode_real2(p, dic_limit, buf_limit) != LZMA_DEC_OK) return LZMA_DEC_ERROR_DATA;
      size_t processed = static_cast<size_t>(p->buf - src);
      *src_len += processed;
      src += processed;
      in_size -= processed;
    } else {
      unsigned rem = p->temp_size, look_ahead = 0;
      while (rem < LZMA_DEC_INPUT_MAX && look_ahead < in_size) p->temp[rem++] = src[look_ahead++];
      p->temp_size = rem;
      if (rem < LZMA_DEC_INPUT_MAX || check_end_mark_now) {
        dummy_result dummy = try_dummy(p, p->temp, rem);
        if (dummy == DUMMY_ERROR) {
          *src_len += look_ahead;
          *status = LZMA_DEC_STATUS_NEEDS_MORE_INPUT;
          return LZMA_DEC_OK;
        }
        if (check_end_mark_now && dummy != DUMMY_MATCH) {
          *status = LZMA_DEC_STATUS_NOT_FINISHED;
          return LZMA_DEC_ERROR_DATA;
        }
      }
      p->buf = p->temp;
      if (decode_real2(p, dic_limit, p->buf) != LZMA_DEC_OK) return LZMA_DEC_ERROR_DATA;
      look_ahead -= rem - static_cast<unsigned>(p->buf - p->temp);
      *src_len += look_ahead;
      src += look_ahead;
      in_size -= look_ahead;
      p->temp_size = 0;
    }
  }
  if (p->code == 0) *status = LZMA_DEC_STATUS_FINISHED_WITH_MARK;
  return p->code == 0 ? LZMA_DEC_OK : LZMA_DEC_ERROR_DATA;
}

template <typename T>
std::unique_ptr<T[]> allocate(size_t n) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

}  // namespace

int lzma_dec_allocate(lzma_dec *d, const uint8_t props[LZMA_DEC_PROPS_SIZE]) {
  uint32_t dict = props[1] | static_cast<uint32_t>(props[2]) << 8 |
                  static_cast<uint32_t>(props[3]) << 16 | static_cast<uint32_t>(props[4]) << 24;
  if (dict < kDictMin) dict = kDictMin;
  unsigned v = props[0];
  if (v >= 9 * 5 * 5) return LZMA_DEC_ERROR_UNSUPPORTED;
  const unsigned lc = v % 9;
  v /= 9;
  const unsigned pb = v / 5, lp = v % 5;

  const uint32_t num_probs = kLiteral + (kLitSize << (lc + lp));
  if (!d->probs || num_probs != d->num_probs) {
    d->probs = allocate<uint16_t>(num_probs);
    d->num_probs = num_probs;
    if (!d->probs) return LZMA_DEC_ERROR_MEM;
  }
  if (!d->dic || dict != d->dic_size) {
    d->dic = allocate<uint8_t>(dict);
    if (!d->dic) {
      d->probs.reset();
      return LZMA_DEC_ERROR_MEM;
    }
  }
  d->dic_size = dict;
  d->dict_size = dict;
  d->lc = lc;
  d->lp = lp;
  d->pb = pb;
  return LZMA_DEC_OK;
}

void lzma_dec_free(lzma_dec *d) {
  d->probs.reset();
  d->dic.reset();
}

void lzma_dec_init(lzma_dec *d) {
  d->dic_pos = 0;
  d->need_flush = true;
  d->remain_len = 0;
  d->temp_size = 0;
  d->processed_pos = 0;
  d->check_dic_size = 0;
  d->need_init_state = true;
}

int lzma_dec_decode_to_buf(lzma_dec *d, uint8_t *dest, size_t *dest_len, const uint8_t *src,
                           size_t *src_len, bool finish_end, lzma_dec_status *status) {
  size_t out_size = *dest_len;
  size_t in_size = *src_len;
  *src_len = *dest_len = 0;
  for (;;) {
    if (d->dic_pos == d->dic_size) d->dic_pos = 0;
    const size_t start = d->dic_pos;
    size_t limit;
    bool cur_finish_end;
    if (out_size > d->dic_size - start) {
      limit = d->dic_size;
      cur_finish_end = false;
    } else {
      limit = start + out_size;
      cur_finish_end = finish_end;
    }
    size_t in_cur = in_size;
    int res = decode_to_dic(d, limit, src, &in_cur, cur_finish_end, status);
    src += in_cur;
    in_size -= in_cur;
    *src_len += in_cur;
    const size_t out_cur = d->dic_pos - start;
    std::memcpy(dest, d->dic.get() + start, out_cur);
    dest += out_cur;
    out_size -= out_cur;
    *dest_len += out_cur;
    if (res != LZMA_DEC_OK) return res;
    if (out_cur == 0 || out_size == 0) return LZMA_DEC_OK;
  }
}

}  // namespace korvane
