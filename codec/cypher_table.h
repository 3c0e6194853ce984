// SPDX-License-Identifier: MIT
// The cypher table: per cypher type of a block payload, its names, how a
// stored payload is decoded and how the builder encodes one. Extraction
// (cypher_decode_file), programming (install/blk_program.cc), building
// (rom/build.cc), the header dumps and the option words of korvane and
// korvane-mkrom all read this one table; a new cypher is a new row.
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

struct cypher_type {
  uint32_t value;        // ROM_BLK_CT_*
  const char *name;      // display name, as "blk cypher" shows it
  const char *words[4];  // option words (-p), taken in any case; the unused ones null
  cypher_decoding decoding = cypher_decoding::stored;
  copy_transform undo = nullptr;    // transform: the in-place decoder
  cypher_stream stream = nullptr;   // stream: the stream decoder
  cypher_encoder encode = nullptr;  // the builder's encoder
  copy_transform apply = nullptr;   // for an encoder that transforms in place: the encoder
  const char *note = nullptr;       // the builder stores this type as none and says this
};

/// The rows, by value.
extern const std::span<const cypher_type> CYPHER_TYPES;

/// @return the row of a cypher type, or nullptr for a value no row has.
const cypher_type *cypher_find(uint32_t value);

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
