// SPDX-License-Identifier: MIT
// The LZMA decoder of cypher1 streams: the range decoder and the
// literal/match loop, behind a resumable interface. Input may come in pieces
// of any size; output is decoded into a circular dictionary and copied into
// the caller's buffer. Call for call it gives the results of the LZMA SDK's
// LzmaDec_DecodeToBuf (the decoder the stream codec used before): the same
// counts of bytes taken and produced, the same status and the same result,
// also on truncated and corrupt input, so that what reaches a sink, and when
// a decode fails, stays as it was. Its memory is the SDK decoder's: the
// probability tables, a dictionary of the size in the properties, and a
// 20-byte carry of input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace korvane {

// Results, numbered as the SDK numbers them: the stream codec passes them on.
inline constexpr int LZMA_DEC_OK = 0;
inline constexpr int LZMA_DEC_ERROR_DATA = 1;
inline constexpr int LZMA_DEC_ERROR_MEM = 2;
inline constexpr int LZMA_DEC_ERROR_UNSUPPORTED = 4;

/// Where a decode call stopped (the SDK's ELzmaStatus, in its order).
enum lzma_dec_status : int {
  LZMA_DEC_STATUS_NOT_SPECIFIED,
  LZMA_DEC_STATUS_FINISHED_WITH_MARK,
  LZMA_DEC_STATUS_NOT_FINISHED,
  LZMA_DEC_STATUS_NEEDS_MORE_INPUT,
  LZMA_DEC_STATUS_MAYBE_FINISHED_WITHOUT_MARK,
};

inline constexpr unsigned LZMA_DEC_PROPS_SIZE = 5;  // (pb * 5 + lp) * 9 + lc, dictionary size
inline constexpr unsigned LZMA_DEC_INPUT_MAX = 20;  // the most input one symbol takes

/// The decoder's state. Construct, lzma_dec_allocate, lzma_dec_init, then
/// lzma_dec_decode_to_buf as often as needed; the memory goes with the object.
struct lzma_dec {
  unsigned lc = 0, lp = 0, pb = 0;  // literal context, literal position and position bits
  uint32_t dict_size = 0;           // from the properties, at least 4096 bytes
  std::unique_ptr<uint16_t[]> probs;
  uint32_t num_probs = 0;
  std::unique_ptr<uint8_t[]> dic;  // circular, dict_size bytes
  size_t dic_size = 0;
  size_t dic_pos = 0;
  const uint8_t *buf = nullptr;  // the input being decoded
  uint32_t range = 0, code = 0;
  uint32_t processed_pos = 0;   // bytes decoded, modulo 2^32
  uint32_t check_dic_size = 0;  // dict_size once that much is decoded, else 0
  unsigned state = 0;
  uint32_t reps[4] = {};
  unsigned remain_len = 0;  // bytes of a match still to copy; 274 once the end marker is read
  bool need_flush = false;  // the five bytes that start the range decoder are still to come
  bool need_init_state = false;
  unsigned temp_size = 0;  // input carried over between calls
  uint8_t temp[LZMA_DEC_INPUT_MAX] = {};
};

/// Sets up `d` for the properties given (dictionary and tables, kept when a
/// second call needs the same sizes).
/// @return LZMA_DEC_OK, LZMA_DEC_ERROR_UNSUPPORTED or LZMA_DEC_ERROR_MEM.
int lzma_dec_allocate(lzma_dec *d, const uint8_t props[LZMA_DEC_PROPS_SIZE]);

/// Releases the tables and the dictionary.
void lzma_dec_free(lzma_dec *d);

/// Starts a new stream.
void lzma_dec_init(lzma_dec *d);

/// Decodes from src (*src_len bytes) into dest (room for *dest_len bytes).
/// Both lengths become the bytes taken and produced. With finish_end the
/// stream must end exactly at the end of dest (with or without end marker).
/// @return LZMA_DEC_OK or LZMA_DEC_ERROR_DATA.
int lzma_dec_decode_to_buf(lzma_dec *d, uint8_t *dest, size_t *dest_len, const uint8_t *src,
                           size_t *src_len, bool finish_end, lzma_dec_status *status);

}  // namespace korvane
