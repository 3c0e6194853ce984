// SPDX-License-Identifier: MIT
// The cypher1 decoder over a descriptor, as extraction and installation
// call it: any bytes as a stream (13-byte header, then LZMA data). A decode
// that succeeds must report exactly the bytes its sink received; with the
// size known in the header, that is the size. The sink takes at most
// SINK_LIMIT bytes, so that a small input cannot make a run take minutes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "codec/zentarc.h"
#include "fuzz/fuzz_support.h"

using namespace korvane;

namespace {

constexpr uint64_t SINK_LIMIT = 64u << 20;

struct counting_sink {
  uint64_t received = 0;
};

int take(void *ctx, const uint8_t *, int count) {
  auto *sink = static_cast<counting_sink *>(ctx);
  FUZZ_CHECK(count >= 0 && count <= 65536);
  if (sink->received + static_cast<uint64_t>(count) > SINK_LIMIT) return 0;
  sink->received += static_cast<uint64_t>(count);
  return count;
}

int stream_fd() {
  static int fd = memfd_create("stream", MFD_CLOEXEC);
  FUZZ_CHECK(fd > 0);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int fd = stream_fd();
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  counting_sink sink;
  int r = zentarc_decode_fd(fd, 0, static_cast<int>(size), take, &sink);
  if (r >= 0) {
    FUZZ_CHECK(static_cast<uint64_t>(r) == sink.received);
    uint64_t declared = 0;
    for (int i = 0; i < 8; i++) declared |= static_cast<uint64_t>(data[5 + i]) << (8 * i);
    FUZZ_CHECK(declared == ~0ull || declared == sink.received);
  } else {
    FUZZ_CHECK(r == -14);
  }
  return 0;
}
