// SPDX-License-Identifier: MIT
// The peer of `korvane -x` on a cypher1 block: the bare LZMA SDK decode
// loop, 64 KiB in and 64 KiB out per call, writing a file.
// Usage: korvane_bench_sdk_decode IMAGE PAYLOAD_OFFSET OUT
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

extern "C" {
#include <LzmaDec.h>
}

namespace {

void *sdk_alloc(void *, size_t size) { return size ? std::malloc(size) : nullptr; }
void sdk_free(void *, void *address) { std::free(address); }
ISzAlloc alloc = {sdk_alloc, sdk_free};

constexpr size_t BUF = 65536;

int fail(const char *what) {
  std::perror(what);
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s IMAGE PAYLOAD_OFFSET OUT\n", argv[0]);
    return 2;
  }
  int in = open(argv[1], O_RDONLY);
  if (in < 0) return fail("open image");
  if (lseek(in, std::strtoll(argv[2], nullptr, 0), SEEK_SET) < 0) return fail("seek");
  int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) return fail("open output");

  Byte header[LZMA_PROPS_SIZE + 8];
  if (read(in, header, sizeof header) != static_cast<ssize_t>(sizeof header))
    return fail("read header");
  uint64_t remaining = 0;
  for (int i = 7; i >= 0; --i) remaining = remaining << 8 | header[LZMA_PROPS_SIZE + i];

  CLzmaDec dec;
  LzmaDec_Construct(&dec);
  if (LzmaDec_Allocate(&dec, header, LZMA_PROPS_SIZE, &alloc) != SZ_OK) return fail("allocate");
  LzmaDec_Init(&dec);
  std::unique_ptr<Byte[]> inbuf(new Byte[BUF]), outbuf(new Byte[BUF]);
  size_t in_pos = 0, in_fill = 0;
  while (remaining > 0) {
    if (in_pos == in_fill) {
      ssize_t n = read(in, inbuf.get(), BUF);
      if (n < 0) return fail("read");
      in_fill = static_cast<size_t>(n);
      in_pos = 0;
    }
    SizeT out_len = remaining < BUF ? static_cast<SizeT>(remaining) : BUF;
    ELzmaFinishMode finish = out_len == remaining ? LZMA_FINISH_END : LZMA_FINISH_ANY;
    SizeT in_len = in_fill - in_pos;
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToBuf(&dec, outbuf.get(), &out_len, inbuf.get() + in_pos, &in_len,
                                   finish, &status);
    in_pos += in_len;
    remaining -= out_len;
    if (out_len && write(out, outbuf.get(), out_len) != static_cast<ssize_t>(out_len))
      return fail("write");
    if (res != SZ_OK) {
      std::fprintf(stderr, "decode error %d\n", res);
      return 1;
    }
    if (in_len == 0 && out_len == 0) {
      std::fprintf(stderr, "stream ends early\n");
      return 1;
    }
  }
  LzmaDec_Free(&dec, &alloc);
  close(out);
  close(in);
  return 0;
}
