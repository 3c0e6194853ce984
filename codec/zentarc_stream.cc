// SPDX-License-Identifier: MIT
#include "codec/zentarc_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "rom/io.h"
#include "rom/output.h"
#include "rom/result.h"

// The SDK declares this in Types.h and leaves its definition to the user:
// read until `size` bytes are in or the stream ends; an early end is
// SZ_ERROR_INPUT_EOF.
SRes SeqInStream_Read(ISeqInStream *stream, void *buf, size_t size) {
  Byte *p = static_cast<Byte *>(buf);
  while (size != 0) {
    size_t got = size;
    SRes res = stream->Read(stream, p, &got);
    if (res != SZ_OK) return res;
    if (got == 0) return SZ_ERROR_INPUT_EOF;
    p += got;
    size -= got;
  }
  return SZ_OK;
}

namespace korvane {
namespace {

void *alloc_block(void *, size_t size) { return size == 0 ? nullptr : std::malloc(size); }
void free_block(void *, void *address) { std::free(address); }

SRes file_in_read(void *pp, void *buf, size_t *size) {
  auto *p = static_cast<FileSeqInStream *>(pp);
  return File_Read(&p->file, buf, size) == 0 ? SZ_OK : SZ_ERROR_READ;
}

size_t file_out_write(void *pp, const void *buf, size_t size) {
  auto *p = static_cast<FileOutStream *>(pp);
  long done;
  if (p->sink) {
    done = p->sink(p->ctx, static_cast<const uint8_t *>(buf), static_cast<int>(size));
  } else {
    size_t n = size;
    File_Write(&p->file, buf, &n);
    done = static_cast<long>(n);
  }
  if (done < 0 || static_cast<size_t>(done) != size) report("FileOutStream_Write() failed\n");
  return done < 0 ? 0 : static_cast<size_t>(done);
}

}  // namespace

ISzAlloc zentarc_alloc = {alloc_block, free_block};

WRes File_Open(FdFile *f, const char *path, int write) {
  int fd = write ? open(path, O_RDWR | O_CREAT | O_TRUNC, 0644) : open(path, O_RDONLY);
  if (fd == 0) close(fd);  // 0 stands for "no file": never hand it out
  f->fd = fd > 0 ? fd : 0;
  return fd > 0 ? 0 : SZ_ERROR_ARCHIVE;
}

WRes File_Close(FdFile *f) {
  if (f->fd != 0) {
    int r = close(f->fd);
    f->fd = 0;
    if (r != 0) return errno;
  }
  return 0;
}

WRes File_Read(FdFile *f, void *buf, size_t *size) {
  if (*size == 0) return 0;
  ssize_t n;
  do {
    n = read_some(f->fd, buf, *size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *size = 0;
    return SZ_ERROR_READ;
  }
  *size = static_cast<size_t>(n);
  return 0;
}

WRes File_Write(FdFile *f, const void *buf, size_t *size) {
  if (*size == 0) return 0;
  ssize_t n = write(f->fd, buf, *size);
  size_t want = *size;
  *size = n < 0 ? 0 : static_cast<size_t>(n);
  return *size == want ? 0 : RES_FAULT;
}

WRes File_Seek(FdFile *f, Int64 *pos, int origin) {
  int whence;
  switch (origin) {
    case 0:
      whence = SEEK_SET;
      break;
    case 1:
      whence = SEEK_CUR;
      break;
    case 2:
      whence = SEEK_END;
      break;
    default:
      return SZ_ERROR_FAIL;
  }
  off_t r = lseek(f->fd, static_cast<off_t>(*pos), whence);
  if (r < 0) return SZ_ERROR_FAIL;
  *pos = r;
  return 0;
}

WRes File_GetLength(FdFile *f, UInt64 *length) {
  struct stat st;
  *length = fstat(f->fd, &st) == 0 ? static_cast<UInt64>(st.st_size) : 0;
  return 0;
}

void FileSeqInStream_Init(FileSeqInStream *p, int fd) {
  p->s.Read = file_in_read;
  p->file.fd = fd;
}

void FileOutStream_Init(FileOutStream *p, int fd, zentarc_sink sink, void *ctx) {
  p->s.Write = file_out_write;
  p->file.fd = fd;
  p->ctx = ctx;
  p->sink = sink;
}

}  // namespace korvane
