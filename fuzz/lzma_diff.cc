// SPDX-License-Identifier: MIT
// Differential fuzz target of the cypher1 decoder (libFuzzer).
//
// Input: one byte that seeds how input and output are split, then a stream
// as cypher1 stores it (5 property bytes, the size as 8 bytes little-endian,
// the LZMA data). The dictionary size in the header is brought into 4 KiB
// to 1 MiB, so that the window fills and wraps within the output cap.
//
// Three comparisons, each a crash when it fails:
//  1. lzma_dec against the LZMA SDK's decoder, call for call, with input and
//     output handed over in random pieces: the same result, status, bytes
//     taken and bytes produced, and the same bytes, on every call.
//  2. The stream codec's decode loop (64 KiB buffers, as an install and an
//     extraction run it) over lzma_dec against the same loop over the SDK's
//     decoder, with reads of random length: the same result, the same pieces
//     handed to the sink, the same bytes.
//  3. lzma_dec against liblzma's decoder of this stream format: the bytes
//     both produce agree as far as both go; a stream that liblzma decodes
//     to its end decodes to the same bytes with success here. Where this
//     decoder succeeds and liblzma does not, liblzma is stricter than the
//     SDK (lc + lp above 4, end-of-stream checks); those are counted, by
//     kind, in the summary printed at exit.
#include <lzma.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "LzmaDec.h"
#include "codec/lzma_decode.h"
#include "codec/zentarc_stream.h"
#include "fuzz/fuzz_support.h"

namespace korvane {
namespace {

constexpr size_t kCap = 128 << 10;     // output of whole streams compared per input
constexpr size_t kCallCap = 64 << 10;  // output compared call for call
constexpr size_t kHdr = ZENTARC_HDR_SIZE;
constexpr uint32_t kDictMax = 1u << 20;

[[noreturn]] void differ(const char *what) {
  std::fprintf(stderr, "lzma_diff: difference: %s\n", what);
  std::abort();
}

struct rng {
  uint32_t s;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  /// A piece size: mostly small or odd, sometimes whole.
  size_t piece(size_t most) {
    switch (next() % 4) {
      case 0:
        return 1 + next() % 8;
      case 1:
        return 1 + next() % 100;
      case 2:
        return 1 + next() % 70000;
      default:
        return most;
    }
  }
};

void *sdk_alloc(void *, size_t n) { return n ? std::malloc(n) : nullptr; }
void sdk_free(void *, void *p) { std::free(p); }
ISzAlloc g_alloc = {sdk_alloc, sdk_free};

uint64_t size_field(const uint8_t *h) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v |= static_cast<uint64_t>(h[5 + i]) << (8 * i);
  return v;
}

// --- 1. call for call ---

void compare_calls(const std::vector<uint8_t> &s, uint32_t seed) {
  CLzmaDec sdk;
  LzmaDec_Construct(&sdk);
  lzma_dec own;
  const int r_sdk = LzmaDec_Allocate(&sdk, s.data(), LZMA_PROPS_SIZE, &g_alloc);
  const int r_own = lzma_dec_allocate(&own, s.data());
  if (r_sdk != r_own) differ("allocate");
  if (r_sdk != SZ_OK) return;
  LzmaDec_Init(&sdk);
  lzma_dec_init(&own);
  rng r{seed | 1};
  const uint64_t size = size_field(s.data());
  const bool sized = size != ~0ull;
  uint64_t left = size;
  size_t in_pos = kHdr, total = 0;
  static uint8_t a[65536], b[65536];
  while (total < kCallCap) {
    size_t in_len = std::min(r.piece(s.size() - in_pos), s.size() - in_pos);
    size_t out_len = std::min<size_t>(r.piece(65536), 65536);
    bool finish_end = false;
    if (sized && out_len > left) {
      out_len = static_cast<size_t>(left);
      finish_end = true;
    }
    SizeT in_a = in_len, out_a = out_len;
    size_t in_b = in_len, out_b = out_len;
    ELzmaStatus st_a;
    lzma_dec_status st_b;
    int res_a = LzmaDec_DecodeToBuf(&sdk, a, &out_a, s.data() + in_pos, &in_a,
                                    finish_end ? LZMA_FINISH_END : LZMA_FINISH_ANY, &st_a);
    int res_b =
        lzma_dec_decode_to_buf(&own, b, &out_b, s.data() + in_pos, &in_b, finish_end, &st_b);
    if (res_a != res_b) differ("call result");
    if (in_a != in_b) differ("call input taken");
    if (out_a != out_b) differ("call output produced");
    if (static_cast<int>(st_a) != static_cast<int>(st_b)) differ("call status");
    if (std::memcmp(a, b, out_a) != 0) differ("call bytes");
    in_pos += in_a;
    total += out_a;
    if (sized) left -= out_a;
    if (res_a != SZ_OK || (sized && left == 0) || (in_a == 0 && out_a == 0)) break;
  }
  LzmaDec_Free(&sdk, &g_alloc);
}

// --- 2. the stream codec's loop ---

struct mem_in {
  ISeqInStream s;
  const std::vector<uint8_t> *data;
  size_t pos;
  rng r;
};
SRes mem_read(void *p, void *buf, size_t *size) {
  auto *m = static_cast<mem_in *>(p);
  size_t n = std::min({*size, m->data->size() - m->pos, m->r.piece(*size)});
  std::memcpy(buf, m->data->data() + m->pos, n);
  m->pos += n;
  *size = n;
  return SZ_OK;
}

struct mem_out {
  ISeqOutStream s;
  std::vector<uint8_t> bytes;
  std::vector<size_t> pieces;
};
size_t mem_write(void *p, const void *buf, size_t size) {
  auto *m = static_cast<mem_out *>(p);
  m->pieces.push_back(size);
  if (m->bytes.size() + size > kCap) return 0;  // refused: the loop stops
  const auto *b = static_cast<const uint8_t *>(buf);
  m->bytes.insert(m->bytes.end(), b, b + size);
  return size;
}

struct loop_result {
  SRes alloc, res = SZ_OK;
  UInt64 produced = 0;
  mem_out out{{mem_write}, {}, {}};
};

template <typename State>
void run_loop(State *state, const std::vector<uint8_t> &s, uint32_t seed, loop_result *r) {
  r->alloc = zentarc_dec_allocate(state, s.data());
  if (r->alloc != SZ_OK) return;
  mem_in in{{mem_read}, &s, kHdr, rng{seed | 1}};
  r->res =
      zentarc_decode_stream(state, &r->out.s, &in.s, zentarc_header_size(s.data()), &r->produced);
}

// --- 3. liblzma ---

struct xz_result {
  lzma_ret ret;
  const uint8_t *out;
  size_t size;
};

xz_result run_liblzma(const std::vector<uint8_t> &s) {
  static uint8_t out[kCap];
  xz_result r{LZMA_OK, out, 0};
  lzma_stream strm = LZMA_STREAM_INIT;
  r.ret = lzma_alone_decoder(&strm, UINT64_MAX);
  if (r.ret != LZMA_OK) return r;
  strm.next_in = s.data();
  strm.avail_in = s.size();
  strm.next_out = out;
  strm.avail_out = kCap;
  do {
    r.ret = lzma_code(&strm, LZMA_FINISH);
  } while (r.ret == LZMA_OK && strm.avail_out != 0 && strm.avail_in != 0);
  r.size = kCap - strm.avail_out;
  lzma_end(&strm);
  return r;
}

// Ours succeeded where liblzma did not: by liblzma's reason.
enum { STRICT_OPTIONS, STRICT_DATA, STRICT_BUF, STRICT_OTHER, STRICT_KINDS };
unsigned long g_runs, g_agree_end, g_strict[STRICT_KINDS], g_both_fail, g_capped;

/// With LZMA_DIFF_KEEP set to a folder, the first inputs of each kind where
/// liblzma is stricter are kept there for a look (strict-KIND-N).
void keep(int kind, const uint8_t *data, size_t size) {
  const char *dir = std::getenv("LZMA_DIFF_KEEP");
  if (!dir || g_strict[kind] > 5) return;
  char path[4096];
  std::snprintf(path, sizeof path, "%s/strict-%d-%lu", dir, kind, g_strict[kind]);
  if (FILE *f = std::fopen(path, "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
}

void summary() {
  std::fprintf(stderr,
               "lzma_diff: %lu inputs; liblzma and lzma_dec both decoded to the end: %lu; "
               "both failed or stopped: %lu; past the %zu-byte cap: %lu; lzma_dec decoded, "
               "liblzma refused: lc + lp > 4 %lu, its end-of-stream checks %lu, input end %lu, "
               "other %lu\n",
               g_runs, g_agree_end, g_both_fail, kCap, g_capped, g_strict[STRICT_OPTIONS],
               g_strict[STRICT_DATA], g_strict[STRICT_BUF], g_strict[STRICT_OTHER]);
}

}  // namespace
}  // namespace korvane

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  korvane::fuzz::quiet_stdout();
  std::atexit(korvane::summary);
  // Dictionaries and buffers come and go with every input: keep them in the
  // heap rather than map and fault in fresh pages each time.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace korvane;
  if (size < 1 + kHdr) return 0;
  const uint32_t seed = data[0] * 0x01000193u + 0x811C9DC5u;
  std::vector<uint8_t> s(data + 1, data + size);
  uint32_t dict = s[1] | s[2] << 8 | s[3] << 16 | static_cast<uint32_t>(s[4]) << 24;
  if (dict > kDictMax) dict = 4096 + dict % (kDictMax - 4096);
  for (int i = 0; i < 4; i++) s[1 + i] = static_cast<uint8_t>(dict >> (8 * i));
  g_runs++;

  compare_calls(s, seed);

  lzma_dec own;
  CLzmaDec sdk;
  LzmaDec_Construct(&sdk);
  loop_result lo, ls;
  run_loop(&own, s, seed, &lo);
  run_loop(&sdk, s, seed, &ls);
  LzmaDec_Free(&sdk, &g_alloc);
  if (lo.alloc != ls.alloc) differ("loop allocate");
  if (lo.res != ls.res) differ("loop result");
  if (lo.produced != ls.produced) differ("loop produced");
  if (lo.out.pieces != ls.out.pieces) differ("loop pieces");
  if (lo.out.bytes != ls.out.bytes) differ("loop bytes");
  if (lo.alloc != SZ_OK) return 0;

  const xz_result x = run_liblzma(s);
  const size_t common = std::min(x.size, lo.out.bytes.size());
  if (common != 0 && std::memcmp(x.out, lo.out.bytes.data(), common) != 0) {
    differ("liblzma bytes");
  }
  const bool capped = lo.res == SZ_ERROR_WRITE || x.size == kCap;
  const bool ours_ok = lo.res == SZ_OK;
  if (capped) {
    g_capped++;
  } else if (x.ret == LZMA_STREAM_END) {
    if (!ours_ok) differ("liblzma decoded a stream that lzma_dec refused");
    if (x.size != lo.out.bytes.size()) differ("liblzma decoded another length");
    g_agree_end++;
  } else if (ours_ok) {
    const unsigned lc = s[0] % 9, lp = s[0] / 9 % 5;
    const bool options = lc + lp > LZMA_LCLP_MAX;
    // Short of the options, liblzma may only be stricter at the end: it
    // must have produced every byte first.
    if (!options && x.size != lo.out.bytes.size()) differ("liblzma stopped early");
    const int kind = options                                       ? STRICT_OPTIONS
                     : x.ret == LZMA_DATA_ERROR                    ? STRICT_DATA
                     : x.ret == LZMA_BUF_ERROR || x.ret == LZMA_OK ? STRICT_BUF
                                                                   : STRICT_OTHER;
    g_strict[kind]++;
    keep(kind, data, size);
  } else {
    g_both_fail++;
  }
  return 0;
}
