// SPDX-License-Identifier: MIT
// zentarc: the LZMA stream codec of cypher1 payloads, over file descriptors.
// Stream: 5 property bytes, the unpacked size as 8 bytes little-endian, then
// the LZMA data. Output always leaves through a sink callback.
#pragma once

#include <cstdint>

namespace korvane {

/// Output callback: takes count bytes. @return the number of bytes accepted;
/// anything other than count means they were not all taken.
using zentarc_sink = int (*)(void *ctx, const uint8_t *bytes, int count);

/// Encodes everything from offset to the end of fd, recording `size` as the
/// unpacked size. @return 0 or RES_FAULT.
int zentarc_encode_fd(int fd, uint64_t offset, int size, zentarc_sink sink, void *ctx);

/// Decodes the stream whose header starts at offset. `length` bounds nothing.
/// @return the number of bytes produced (low 32 bits), or RES_FAULT.
int zentarc_decode_fd(int fd, uint64_t offset, int length, zentarc_sink sink, void *ctx);

/// What a bounded decode was given of its input.
struct zentarc_input {
  uint64_t read = 0;         // bytes of the stream handed to the decoder, at most the bound
  bool wanted_more = false;  // it asked for more past the bound: on a failure, the stream
                             // does not end within it
};

/// As zentarc_decode_fd, but the decoder is given the bytes from offset to
/// offset + length and no more: a stream that does not end within them
/// fails as a stream cut short does (zentarc_decode_fd reads on past a
/// block's payload). *input tells what it was given.
/// @return the number of bytes produced (low 32 bits), or RES_FAULT.
int zentarc_decode_fd_within(int fd, uint64_t offset, uint32_t length, zentarc_sink sink, void *ctx,
                             zentarc_input *input);

/// File to file. @return destination size / unpacked size, RES_FAULT or an SDK status.
int zentarc_encode_file(const char *src, const char *dst);
int zentarc_decode_file(const char *src, const char *dst);

/// The unpacked size in a stream header. @return it, or RES_FAULT.
int zentarc_unpack_size_fd(int fd, uint64_t offset);
int zentarc_unpack_size_file(const char *path);

const char *zentarc_version();     // "1.0.2.3 for zentarc"
const char *zentarc_build_date();  // "Jun 27 2013,15:11:48"

}  // namespace korvane
