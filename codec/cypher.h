// SPDX-License-Identifier: MIT
// Cypher dispatch: decode a stored payload into a file by its cypher type,
// 65536 bytes at a time.
#pragma once

#include <cstdint>

namespace korvane {

inline constexpr uint32_t CYPHER_CHUNK = 65536;

/// Decodes the payload at offset into dst from its start.
/// @return bytes produced, or a negative value.
int cypher_decode_file(uint32_t type, int src, uint64_t offset, uint32_t length, int dst);

/// Decodes the payload at offset into dst from its start, back to the bytes
/// the builder took: as cypher_decode_file, and for a type whose content is
/// in an encoding of its own (cypher2's block format) through its `unpack`
/// decoder as well. @return bytes produced, or a negative value.
int cypher_source_file(uint32_t type, int src, uint64_t offset, uint32_t length, int dst);

/// Copies a region unchanged to dst at dst_offset. @return copy_region's result.
int cypher_copy_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset);

int cypher1_decode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset);
int cypher3_decode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset);
int cypher4_decode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset);
int cypher3_encode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset);
int cypher4_encode_file(int src, uint64_t offset, uint32_t length, int dst, uint64_t dst_offset);

struct cypher1_file_sink_ctx {
  int src;      // descriptor of the stored payload (kept for reference)
  int length;   // payload length (kept for reference)
  int dst;      // where decoded bytes are written
  int written;  // decoded bytes written so far
  int verbose;  // trace switch
};

/// zentarc_sink writing to ctx->dst. @return n, or RES_FAULT.
int cypher1_file_sink(void *ctx, const uint8_t *bytes, int n);

}  // namespace korvane
