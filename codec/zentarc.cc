// SPDX-License-Identifier: MIT
#include "codec/zentarc.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "LzmaEnc.h"
#include "codec/zentarc_stream.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

// Descriptors are shown as pointer values in the messages.
void *fd_ptr(int fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd)); }

/// Closes the path variants' files on every path.
struct FileGuard {
  FdFile file{0};
  ~FileGuard() { File_Close(&file); }
};

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};

uint32_t get_le32(const Byte *p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

/// Positions the input of an fd operation; descriptor 0 and a failed seek
/// print their message. @return true to go on.
bool open_input(int fd, uint64_t offset) {
  if (fd == 0) {
    report("invalid input fd,%m,%p\n", fd_ptr(fd));
    return false;
  }
  FdFile f{fd};
  Int64 pos = static_cast<Int64>(offset);
  if (File_Seek(&f, &pos, 0) != 0) {
    report("failed to seek at %d,%m\n", static_cast<int>(offset));
    return false;
  }
  return true;
}

}  // namespace

const char *zentarc_version() { return "1.0.2.3 for zentarc"; }
const char *zentarc_build_date() { return "Jun 27 2013,15:11:48"; }

SRes zentarc_encode_stream(ISeqOutStream *out, ISeqInStream *in, UInt64 size) {
  CLzmaEncHandle enc = LzmaEnc_Create(&zentarc_alloc);
  if (!enc) {
    report("encode failed on no memory!\n");
    return SZ_ERROR_MEM;
  }
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.dictSize = ZENTARC_DICT_SIZE;
  // A stream of unknown size can only end with a marker; every other stream
  // is written without one.
  props.writeEndMark = size == ZENTARC_SIZE_UNKNOWN ? 1 : 0;
  SRes res = LzmaEnc_SetProps(enc, &props);
  if (res == SZ_OK) {
    Byte header[ZENTARC_HDR_SIZE];
    SizeT n = LZMA_PROPS_SIZE;
    res = LzmaEnc_WriteProperties(enc, header, &n);
    if (res == SZ_OK) {
      for (int i = 0; i < 8; i++) header[n++] = static_cast<Byte>(size >> (8 * i));
      if (out->Write(out, header, n) != n) {
        report("encode failed on write!\n");
        res = SZ_ERROR_WRITE;
      } else {
        res = LzmaEnc_Encode(enc, out, in, nullptr, &zentarc_alloc, &zentarc_alloc);
      }
    }
  }
  LzmaEnc_Destroy(enc, &zentarc_alloc, &zentarc_alloc);
  return res;
}

UInt64 zentarc_header_size(const Byte header[ZENTARC_HDR_SIZE]) {
  UInt64 size = 0;
  for (int i = 0; i < 8; i++) size |= static_cast<UInt64>(header[LZMA_PROPS_SIZE + i]) << (8 * i);
  return size;
}

namespace {

/// The properties a decoder is allocated with: the stream's, with the
/// dictionary cut to max(size, 4096) when the size is known. A dictionary
/// still above ZENTARC_DICT_LIMIT is refused with a message.
SRes dec_props(const Byte header[ZENTARC_HDR_SIZE], Byte props[LZMA_PROPS_SIZE]) {
  for (unsigned i = 0; i < LZMA_PROPS_SIZE; i++) props[i] = header[i];
  uint64_t dict = get_le32(props + 1);
  UInt64 size = zentarc_header_size(header);
  if (size != ZENTARC_SIZE_UNKNOWN) {
    uint64_t need = size < 4096 ? 4096 : size;
    if (need < dict) dict = need;
  }
  if (dict > ZENTARC_DICT_LIMIT) {
    report("dictionary too large,%llu>%u\n", static_cast<unsigned long long>(dict),
           ZENTARC_DICT_LIMIT);
    return SZ_ERROR_UNSUPPORTED;
  }
  for (int i = 0; i < 4; i++) props[1 + i] = static_cast<Byte>(dict >> (8 * i));
  return SZ_OK;
}

}  // namespace

SRes zentarc_dec_allocate(CLzmaDec *state, const Byte header[ZENTARC_HDR_SIZE]) {
  Byte props[LZMA_PROPS_SIZE];
  SRes res = dec_props(header, props);
  return res != SZ_OK ? res : LzmaDec_Allocate(state, props, LZMA_PROPS_SIZE, &zentarc_alloc);
}

SRes zentarc_dec_allocate(lzma_dec *state, const Byte header[ZENTARC_HDR_SIZE]) {
  Byte props[LZMA_PROPS_SIZE];
  SRes res = dec_props(header, props);
  return res != SZ_OK ? res : lzma_dec_allocate(state, props);
}

namespace {

// The two decoders the stream loop runs on: the SDK's, and ours, which
// gives the SDK's results call for call.
struct sdk_decoder {
  CLzmaDec *state;
  void init() { LzmaDec_Init(state); }
  SRes decode(Byte *out, SizeT *out_len, const Byte *in, SizeT *in_len, bool finish_end,
              bool *marked) {
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToBuf(state, out, out_len, in, in_len,
                                   finish_end ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
    *marked = status == LZMA_STATUS_FINISHED_WITH_MARK;
    return res;
  }
};

struct own_decoder {
  lzma_dec *state;
  void init() { lzma_dec_init(state); }
  SRes decode(Byte *out, SizeT *out_len, const Byte *in, SizeT *in_len, bool finish_end,
              bool *marked) {
    lzma_dec_status status;
    SRes res = lzma_dec_decode_to_buf(state, out, out_len, in, in_len, finish_end, &status);
    *marked = status == LZMA_DEC_STATUS_FINISHED_WITH_MARK;
    return res;
  }
};

template <typename Decoder>
SRes decode_loop(Decoder dec, ISeqOutStream *out, ISeqInStream *in, UInt64 unpack_size,
                 UInt64 *produced) {
  std::unique_ptr<Byte, FreeDeleter> bufs(static_cast<Byte *>(std::malloc(2 * ZENTARC_BUF_SIZE)));
  *produced = 0;
  if (!bufs) return SZ_ERROR_MEM;
  Byte *in_buf = bufs.get();
  Byte *out_buf = in_buf + ZENTARC_BUF_SIZE;
  const bool sized = unpack_size != ZENTARC_SIZE_UNKNOWN;
  dec.init();
  size_t in_pos = 0, in_size = 0;
  for (;;) {
    if (in_pos == in_size) {
      in_size = ZENTARC_BUF_SIZE;
      SRes res = in->Read(in, in_buf, &in_size);
      if (res != SZ_OK) return res;
      in_pos = 0;
    }
    SizeT in_done = in_size - in_pos;
    SizeT out_done = ZENTARC_BUF_SIZE;
    bool finish_end = false;
    if (sized && out_done > unpack_size) {
      out_done = static_cast<SizeT>(unpack_size);
      finish_end = true;
    }
    bool marked;
    SRes res = dec.decode(out_buf, &out_done, in_buf + in_pos, &in_done, finish_end, &marked);
    in_pos += in_done;
    if (sized) unpack_size -= out_done;
    *produced += out_done;
    // A piece the sink does not take whole ends the decode: going on would
    // put the rest of the stream in the wrong place.
    if (out->Write(out, out_buf, out_done) != out_done) return SZ_ERROR_WRITE;
    if (res != SZ_OK) return res;
    if (sized && unpack_size == 0) return SZ_OK;
    if (in_done == 0 && out_done == 0) {
      if (sized || !marked) {
        report("decode EOF,but finished without mark!\n");
        return SZ_ERROR_DATA;
      }
      return SZ_OK;
    }
  }
}

}  // namespace

SRes zentarc_decode_stream(CLzmaDec *state, ISeqOutStream *out, ISeqInStream *in,
                           UInt64 unpack_size, UInt64 *produced) {
  return decode_loop(sdk_decoder{state}, out, in, unpack_size, produced);
}

SRes zentarc_decode_stream(lzma_dec *state, ISeqOutStream *out, ISeqInStream *in,
                           UInt64 unpack_size, UInt64 *produced) {
  return decode_loop(own_decoder{state}, out, in, unpack_size, produced);
}

int zentarc_encode_fd(int fd, uint64_t offset, int size, zentarc_sink sink, void *ctx) {
  FileSeqInStream in;
  FileSeqInStream_Init(&in, fd);
  FileOutStream out;
  FileOutStream_Init(&out, 0, sink, ctx);
  if (!open_input(fd, offset)) return RES_FAULT;
  UInt64 recorded = static_cast<UInt64>(static_cast<int64_t>(size));
  if (zentarc_encode_stream(&out.s, &in.s, recorded) != SZ_OK) {
    report("failed to Encode file,%m,%p\n", fd_ptr(fd));
    return RES_FAULT;
  }
  return RES_OK;
}

namespace {

// The descriptor as an input stream that ends after `left` more bytes.
struct BoundedInStream {
  ISeqInStream s;
  FdFile file;
  uint64_t left;
  zentarc_input *seen;
};

SRes bounded_read(void *pp, void *buf, size_t *size) {
  auto *p = static_cast<BoundedInStream *>(pp);
  if (*size > p->left) {
    if (p->left == 0) p->seen->wanted_more = true;
    *size = static_cast<size_t>(p->left);
  }
  if (*size == 0) return SZ_OK;
  if (File_Read(&p->file, buf, size) != 0) return SZ_ERROR_READ;
  p->left -= *size;
  p->seen->read += *size;
  return SZ_OK;
}

// Decodes the stream whose header is the next thing `in` delivers.
int decode_input(int fd, ISeqInStream *in, zentarc_sink sink, void *ctx) {
  FileOutStream out;
  FileOutStream_Init(&out, 0, sink, ctx);
  Byte header[ZENTARC_HDR_SIZE];
  if (SeqInStream_Read(in, header, ZENTARC_HDR_SIZE) != SZ_OK) return RES_FAULT;
  UInt64 size = zentarc_header_size(header);
  lzma_dec dec;
  if (zentarc_dec_allocate(&dec, header) != SZ_OK) return RES_FAULT;
  UInt64 produced = 0;
  SRes res = zentarc_decode_stream(&dec, &out.s, in, size, &produced);
  if (res != SZ_OK) {
    report("failed to Decode file,%m,%p,%d\n", fd_ptr(fd), res);
    return RES_FAULT;
  }
  // A stream ended by its marker tells its size only by decoding it.
  UInt64 result = size == ZENTARC_SIZE_UNKNOWN ? produced : size;
  return static_cast<int>(static_cast<uint32_t>(result));
}

}  // namespace

int zentarc_decode_fd(int fd, uint64_t offset, int /*length*/, zentarc_sink sink, void *ctx) {
  FileSeqInStream in;
  FileSeqInStream_Init(&in, fd);
  if (!open_input(fd, offset)) return RES_FAULT;
  return decode_input(fd, &in.s, sink, ctx);
}

int zentarc_decode_fd_within(int fd, uint64_t offset, uint32_t length, zentarc_sink sink, void *ctx,
                             zentarc_input *input) {
  *input = {};
  BoundedInStream in{{bounded_read}, {fd}, length, input};
  if (!open_input(fd, offset)) return RES_FAULT;
  return decode_input(fd, &in.s, sink, ctx);
}

// Opens the source for reading and the destination for writing, as both
// path variants do. @return true when both are open.
static bool open_src_dst(const char *src, FileGuard *in, const char *dst, FileGuard *out) {
  if (File_Open(&in->file, src, 0) != 0) {
    report("failed to open src file,%m,%s\n", src);
    return false;
  }
  if (File_Open(&out->file, dst, 1) != 0) {
    report("failed to open dst file,%m,%s\n", dst);
    return false;
  }
  return true;
}

int zentarc_encode_file(const char *src, const char *dst) {
  FileGuard in_file, out_file;
  if (!open_src_dst(src, &in_file, dst, &out_file)) return RES_FAULT;
  FileSeqInStream in;
  FileSeqInStream_Init(&in, in_file.file.fd);
  FileOutStream out;
  FileOutStream_Init(&out, out_file.file.fd, nullptr, nullptr);
  UInt64 length;
  File_GetLength(&in_file.file, &length);
  SRes res = zentarc_encode_stream(&out.s, &in.s, length);
  if (res != SZ_OK) {
    report("failed to Encode file,%m,%s\n", src);
    return res;
  }
  File_GetLength(&out_file.file, &length);
  return static_cast<int>(length);
}

int zentarc_decode_file(const char *src, const char *dst) {
  FileGuard in_file, out_file;
  if (!open_src_dst(src, &in_file, dst, &out_file)) return RES_FAULT;
  FileSeqInStream in;
  FileSeqInStream_Init(&in, in_file.file.fd);
  FileOutStream out;
  FileOutStream_Init(&out, out_file.file.fd, nullptr, nullptr);
  Byte header[ZENTARC_HDR_SIZE];
  SRes res = SeqInStream_Read(&in.s, header, ZENTARC_HDR_SIZE);
  if (res != SZ_OK) return res;
  UInt64 size = zentarc_header_size(header);
  lzma_dec dec;
  res = zentarc_dec_allocate(&dec, header);
  if (res != SZ_OK) return res;
  UInt64 produced = 0;
  res = zentarc_decode_stream(&dec, &out.s, &in.s, size, &produced);
  if (res != SZ_OK) {
    report("failed to Decode file,%m,%s,%d\n", src, res);
    return res;
  }
  UInt64 length;
  File_GetLength(&out_file.file, &length);
  if (size == ZENTARC_SIZE_UNKNOWN) size = produced;
  if (length != size) {
    report("failed to Decode file,%m,real-size(%d)!=(unpack-size)%d\n", static_cast<int>(length),
           static_cast<int>(size));
    return RES_FAULT;
  }
  return static_cast<int>(size);
}

int zentarc_unpack_size_fd(int fd, uint64_t offset) {
  FdFile f{fd};
  Int64 pos = static_cast<Int64>(offset);
  if (File_Seek(&f, &pos, 0) != 0) {
    report("failed to seek at %d,%m\n", static_cast<int>(offset));
    return RES_FAULT;
  }
  Byte header[ZENTARC_HDR_SIZE];
  size_t n = ZENTARC_HDR_SIZE;
  if (File_Read(&f, header, &n) != 0 || n != ZENTARC_HDR_SIZE) {
    report("failed to read at %p,%m\n", fd_ptr(fd));
    return RES_FAULT;
  }
  UInt64 size = zentarc_header_size(header);
  if (size == 0 || size > 0x0FFFFFFF) return RES_FAULT;
  return static_cast<int>(size);
}

int zentarc_unpack_size_file(const char *path) {
  FileGuard file;
  if (File_Open(&file.file, path, 0) != 0) {
    report("failed to open file,%m,%s\n", path);
    return RES_FAULT;
  }
  return zentarc_unpack_size_fd(file.file.fd, 0);
}

}  // namespace korvane
