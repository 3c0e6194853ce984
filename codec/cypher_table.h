// SPDX-License-Identifier: MIT
// The cypher table: per cypher type of a block payload, its names, how a
// stored payload is decoded, how the builder encodes one and how the sizes
// behind a payload are told. Extraction (cypher_decode_file), programming
// (install/blk_program.cc), building (rom/build.cc), the header dumps, the
// option words of korvane and korvane-mkrom, and korvane-mkrom's list,
// extract and check all read this one table; a new cypher is a new row.
#pragma once

#include <cstdint>
#include <span>

#include "codec/zentarc.h"
#include "rom/region.h"

namespace korvane {

/// How a stored payload becomes the block's content.
enum class cypher_decoding {
  stored,     // the stored bytes are the content (cypher2 stays in its block format)
  transform,  // undone in place, piece by piece, by cypher_type::undo
  stream,     // a stream decoder hands the content to a sink (cypher_type::stream)
};

/// What the builder encodes: count bytes of an input file from offset on,
/// both mapped (bytes) and open (fd).
struct cypher_input {
  int fd;
  uint64_t offset;
  uint64_t size;         // of the whole file
  const uint8_t *bytes;  // nullptr when count is 0
  uint32_t count;
};

struct cypher_type;

/// The builder's encoder: the payload into out, which holds capacity bytes.
/// @return 0 and *length, or RES_FAULT after the message.
using cypher_encoder = int (*)(const cypher_type &t, const cypher_input &in, uint8_t *out,
                               uint32_t capacity, uint32_t *length);

/// A stream decoder: decodes the stream at offset into sink.
/// @return the bytes produced, or a negative value.
using cypher_stream = int (*)(int fd, uint64_t offset, int length, zentarc_sink sink, void *ctx);

/// Tells from the first bytes of a payload (length bytes at offset in fd)
/// how many bytes it decodes to, as its stream header records it.
/// @return false when it cannot be told: a payload shorter than the header,
///         a header without the size, or one that cannot be read.
using cypher_sizer = bool (*)(int fd, uint64_t offset, uint32_t length, uint64_t *size);

struct cypher_type {
  uint32_t value;        // ROM_BLK_CT_*
  const char *name;      // display name, as "blk cypher" shows it
  const char *words[4];  // option words (-p), taken in any case; the unused ones null
  cypher_decoding decoding = cypher_decoding::stored;
  copy_transform undo = nullptr;       // transform: the in-place decoder
  cypher_stream stream = nullptr;      // stream: the stream decoder
  cypher_encoder encode = nullptr;     // the builder's encoder
  copy_transform apply = nullptr;      // for an encoder that transforms in place: the encoder
  const char *note = nullptr;          // the builder stores this type as none and says this
  cypher_sizer stream_size = nullptr;  // stream: the content's size, from the stream's header
  /// For a type whose content is still in an encoding of its own (cypher2:
  /// extracted and programmed in its block format): the stream decoder back
  /// to the bytes the builder took, and the size its header records.
  cypher_stream unpack = nullptr;
  cypher_sizer unpack_size = nullptr;
};

/// The rows, by value.
extern const std::span<const cypher_type> CYPHER_TYPES;

/// @return the row of a cypher type, or nullptr for a value no row has.
const cypher_type *cypher_find(uint32_t value);

/// The size of a payload's content, what extraction writes and an install
/// programs: the stored length for stored and transformed types, the size
/// the stream's header records for a stream. @return false when unknown.
bool cypher_content_size(const cypher_type &t, int fd, uint64_t offset, uint32_t length,
                         uint64_t *size);

/// The size of the bytes the builder took: the unpacked size for a type
/// with `unpack`, else the content's. @return false when unknown.
bool cypher_source_size(const cypher_type &t, int fd, uint64_t offset, uint32_t length,
                        uint64_t *size);

/// "none", "cypher1" .. "cypher4", "AES", "DES"; "invalid" otherwise.
const char *blk_cypher_name(uint32_t cypher);

/// An option word of a cypher type, in any case. @return true if known.
bool parse_blk_cypher(const char *word, uint32_t *cypher);

/// Context of buffer_sink: collects encoder output in a block's payload area.
struct buffer_sink_ctx {
  int fd;             // input descriptor
  uint64_t size;      // input size in bytes
  uint8_t *area;      // payload area
  uint32_t capacity;  // its size
  uint32_t used;      // bytes taken so far
  int verbose;        // trace each piece (0 in the builder)
};

/// A zentarc_sink into ctx's payload area. Output that does not fit is cut
/// at the capacity, with a message. @return the bytes taken.
int buffer_sink(void *ctx, const uint8_t *bytes, int count);

}  // namespace korvane
