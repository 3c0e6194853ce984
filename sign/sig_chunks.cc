// SPDX-License-Identifier: MIT
#include "sign/sig_chunks.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sign/signature.h"

namespace korvane {
namespace {

ssize_t fd_read_at(void *ctx, void *buf, size_t n, uint64_t offset) {
  const int fd = *static_cast<const int *>(ctx);
  ssize_t r;
  do {
    r = ::pread(fd, buf, n, static_cast<off_t>(offset));
  } while (r < 0 && errno == EINTR);
  return r;
}

ssize_t source_read_at(void *ctx, void *buf, size_t n, uint64_t offset) {
  return sig_chunks_read(static_cast<sig_chunks *>(ctx), buf, n, offset);
}

int fail(sig_chunks *c, uint64_t index, bool mismatch, int error) {
  c->fault.failed = true;
  c->fault.mismatch = mismatch;
  c->fault.chunk = index;
  c->fault.offset = index * c->chunk_size;
  c->fault.error = error;
  for (auto &h : c->held) h.index = UINT64_MAX;  // nothing more is served
  if (c->on_fault) c->on_fault(c->fault_ctx, c->fault);
  errno = EBADMSG;
  return -1;
}

// The chunk `index`, read whole and checked: its bytes, or nullptr
// (c->fault says why).
const std::vector<uint8_t> *chunk_at(sig_chunks *c, uint64_t index) {
  for (const auto &h : c->held) {
    if (h.index == index) return &h.bytes;
  }
  auto &slot = c->held[c->next_slot];
  c->next_slot = (c->next_slot + 1) % 2;
  slot.index = UINT64_MAX;
  const uint64_t at = index * c->chunk_size;
  const size_t len = static_cast<size_t>(std::min<uint64_t>(c->chunk_size, c->end - at));
  slot.bytes.resize(len);
  size_t got = 0;
  while (got < len) {
    ssize_t r = c->raw.read_at(c->raw.ctx, slot.bytes.data() + got, len - got, at + got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      fail(c, index, false, r == 0 ? EIO : errno);
      return nullptr;
    }
    got += static_cast<size_t>(r);
  }
  uint8_t digest[SIG_DIGEST_BYTES];
  sig_chunk_digest(index, slot.bytes.data(), len, digest);
  ++c->chunks_read;
  if (!sig_digest_equal(digest, c->tail.data() + c->table_at + index * SIG_DIGEST_BYTES)) {
    fail(c, index, true, 0);
    return nullptr;
  }
  slot.index = index;
  return &slot.bytes;
}

}  // namespace

rom_source sig_raw_fd(const int *fd) { return {const_cast<int *>(fd), fd_read_at}; }

rom_source sig_chunks_source(sig_chunks *c) { return {c, source_read_at}; }

ssize_t sig_chunks_read(sig_chunks *c, void *buf, size_t n, uint64_t offset) {
  if (c->fault.failed) {
    errno = EBADMSG;
    return -1;
  }
  auto *out = static_cast<uint8_t *>(buf);
  size_t done = 0;
  while (done < n) {
    const uint64_t at = offset + done;
    if (at >= c->size()) break;
    size_t take;
    if (at >= c->end) {
      take = static_cast<size_t>(std::min<uint64_t>(n - done, c->size() - at));
      std::memcpy(out + done, c->tail.data() + (at - c->end), take);
    } else {
      const uint64_t index = at / c->chunk_size;
      const std::vector<uint8_t> *chunk = chunk_at(c, index);
      if (!chunk) return -1;
      const size_t in = static_cast<size_t>(at - index * c->chunk_size);
      take = std::min(n - done, chunk->size() - in);
      std::memcpy(out + done, chunk->data() + in, take);
    }
    done += take;
  }
  return static_cast<ssize_t>(done);
}

int sig_chunks_check_all(sig_chunks *c) {
  if (c->fault.failed) return -1;
  for (uint64_t at = 0, index = 0; at < c->end; at += c->chunk_size, ++index) {
    if (!chunk_at(c, index)) return -1;
  }
  return 0;
}

}  // namespace korvane
