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

/// File to file. @return destination size / unpacked size, RES_FAULT or an SDK status.
int zentarc_encode_file(const char *src, const char *dst);
int zentarc_decode_file(const char *src, const char *dst);

/// The unpacked size in a stream header. @return it, or RES_FAULT.
int zentarc_unpack_size_fd(int fd, uint64_t offset);
int zentarc_unpack_size_file(const char *path);

const char *zentarc_version();     // "1.0.2.3 for zentarc"
const char *zentarc_build_date();  // "Jun 27 2013,15:11:48"

}  // namespace korvane
