// SPDX-License-Identifier: MIT
// The install's decode path on its own: zentarc_decode_fd of a cypher1
// stream into a sink that takes the bytes and drops them, as the flash sink
// takes them before the writer (measured against `7zz e -so STREAM`). With
// "sdk" the same loop runs the LZMA SDK's decoder instead, for comparison.
// Usage: korvane_bench_decode_sink STREAM [own|sdk]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "codec/zentarc.h"
#include "codec/zentarc_stream.h"

namespace {

int drop(void *ctx, const uint8_t *bytes, int count) {
  // Touch the piece as a sink does when it copies it on.
  *static_cast<uint8_t *>(ctx) ^= count ? bytes[count - 1] : 0;
  return count;
}

/// zentarc_decode_fd's steps with the SDK's decoder under the same loop.
int decode_sdk(int fd, uint8_t *ctx) {
  using namespace korvane;
  FileSeqInStream in;
  FileSeqInStream_Init(&in, fd);
  FileOutStream out;
  FileOutStream_Init(&out, 0, drop, ctx);
  Byte header[ZENTARC_HDR_SIZE];
  if (SeqInStream_Read(&in.s, header, ZENTARC_HDR_SIZE) != SZ_OK) return -1;
  CLzmaDec dec;
  LzmaDec_Construct(&dec);
  UInt64 produced = 0;
  SRes res = zentarc_dec_allocate(&dec, header);
  if (res == SZ_OK) {
    res = zentarc_decode_stream(&dec, &out.s, &in.s, zentarc_header_size(header), &produced);
  }
  LzmaDec_Free(&dec, &zentarc_alloc);
  return res == SZ_OK ? static_cast<int>(produced) : -1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 ||
      (argc == 3 && std::strcmp(argv[2], "own") != 0 && std::strcmp(argv[2], "sdk") != 0)) {
    std::fprintf(stderr, "usage: %s STREAM [own|sdk]\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  uint8_t seen = 0;
  const bool sdk = argc == 3 && std::strcmp(argv[2], "sdk") == 0;
  int r = sdk ? decode_sdk(fd, &seen) : korvane::zentarc_decode_fd(fd, 0, 0, drop, &seen);
  close(fd);
  if (r < 0) {
    std::fprintf(stderr, "decode failed\n");
    return 1;
  }
  std::printf("%d %u\n", r, seen);
  return 0;
}
