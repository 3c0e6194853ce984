// SPDX-License-Identifier: MIT
// The machinery under the zentarc stream codec: the allocator record, the
// descriptor file operations and the descriptor streams in the LZMA SDK's
// interfaces, and the two stream loops. Only codec/, its tests and its
// benchmarks include this header; it needs the SDK's headers (link lzma_sdk).
#pragma once

#include <cstddef>
#include <cstdint>

#include "LzmaDec.h"
#include "Types.h"
#include "codec/lzma_decode.h"
#include "codec/zentarc.h"

namespace korvane {

inline constexpr uint32_t ZENTARC_DICT_SIZE = 1u << 18;    // 262144, as every stream is written
inline constexpr uint32_t ZENTARC_HDR_SIZE = 13;           // 5 property bytes + 8 size bytes
inline constexpr size_t ZENTARC_BUF_SIZE = 65536;          // each of the decoder's two buffers
inline constexpr uint32_t ZENTARC_DICT_LIMIT = 64u << 20;  // largest dictionary a decode allocates
inline constexpr uint64_t ZENTARC_SIZE_UNKNOWN = ~0ull;    // size field of a stream with end marker

/// Heap allocator handed to every SDK call: nothing for size 0.
extern ISzAlloc zentarc_alloc;

/// A file descriptor; 0 means that no file is open.
struct FdFile {
  int fd;
};

/// Read-only, or read-write with create and truncate. @return 0, or 16.
WRes File_Open(FdFile *f, const char *path, int write);
/// Closes a non-zero descriptor and sets it to 0. @return 0, or errno.
WRes File_Close(FdFile *f);
/// One read call of at most *size bytes; *size becomes the count read.
/// @return 0, or SZ_ERROR_READ.
WRes File_Read(FdFile *f, void *buf, size_t *size);
/// One write call; *size becomes the count written. @return 0, or RES_FAULT if short.
WRes File_Write(FdFile *f, const void *buf, size_t *size);
/// origin 0 from the start, 1 from the current position, 2 from the end;
/// *pos becomes the new position. @return 0, or SZ_ERROR_FAIL.
WRes File_Seek(FdFile *f, Int64 *pos, int origin);
/// The size from the file status; 0 when that call fails. @return 0.
WRes File_GetLength(FdFile *f, UInt64 *length);

/// ISeqInStream over a descriptor: one read call per Read; a failed read is
/// SZ_ERROR_READ, never a byte count.
struct FileSeqInStream {
  ISeqInStream s;
  FdFile file;
};
void FileSeqInStream_Init(FileSeqInStream *p, int fd);

/// ISeqOutStream handing bytes to a sink, or (sink null) writing them to the
/// descriptor with one write call. A short result prints
/// "FileOutStream_Write() failed\n".
struct FileOutStream {
  ISeqOutStream s;
  FdFile file;
  void *ctx;
  zentarc_sink sink;
};
void FileOutStream_Init(FileOutStream *p, int fd, zentarc_sink sink, void *ctx);

/// Writes the 13-byte header (recording `size`) and the LZMA data of
/// everything `in` delivers. @return an SDK status (0 success).
SRes zentarc_encode_stream(ISeqOutStream *out, ISeqInStream *in, UInt64 size);

/// Allocates `state` for the stream whose 13-byte header is given. When the
/// size is known the dictionary is cut to max(size, 4096) (no match reaches
/// further back than what was written); a dictionary still above
/// ZENTARC_DICT_LIMIT is refused with a message. @return an SDK status.
/// The codec decodes with lzma_dec; the SDK's decoder stays for comparison.
SRes zentarc_dec_allocate(lzma_dec *state, const Byte header[ZENTARC_HDR_SIZE]);
SRes zentarc_dec_allocate(CLzmaDec *state, const Byte header[ZENTARC_HDR_SIZE]);

/// The unpacked size recorded in a 13-byte header.
UInt64 zentarc_header_size(const Byte header[ZENTARC_HDR_SIZE]);

/// Decodes the LZMA data after the header through 64 KiB buffers, handing
/// each piece to `out`; stops at the first piece `out` does not take whole
/// (SZ_ERROR_WRITE). *produced gets the bytes decoded. @return an SDK status.
SRes zentarc_decode_stream(lzma_dec *state, ISeqOutStream *out, ISeqInStream *in,
                           UInt64 unpack_size, UInt64 *produced);
SRes zentarc_decode_stream(CLzmaDec *state, ISeqOutStream *out, ISeqInStream *in,
                           UInt64 unpack_size, UInt64 *produced);

}  // namespace korvane
