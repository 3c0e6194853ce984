// SPDX-License-Identifier: MIT
#include "install/blk_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "codec/cypher_table.h"
#include "install/read_back.h"
#include "rom/io.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

// Results are ints; a payload of 2 GiB or more still reports success.
int as_result(uint32_t count) { return static_cast<int>(std::min<uint32_t>(count, INT_MAX)); }

// "fake-mtd%d-%s" in the current folder; a '/' in the block name becomes '_'
// so the file never lands outside it.
std::string fake_name(int id, const blk_hdr *blk) {
  std::string name = text_field(blk->name);
  std::replace(name.begin(), name.end(), '/', '_');
  return "fake-mtd" + std::to_string(id) + "-" + name;
}

// Hands len bytes of the buffer from at to the writer unless discarding.
// @return false when the writer failed (reported).
bool write_chunk(flash_sink *s, uint32_t at, uint32_t len) {
  if (s->discard) return true;
  const uint8_t *chunk = s->buffer + at;
  int r = s->hook.deliver ? s->hook.deliver(s->hook.ctx, s, chunk, len)
                          : s->writer(&s->target, chunk, static_cast<int>(len));
  if (r < 0) {
    report("failed to mtd write,%m\n");
    s->failed = 1;
    return false;
  }
  return true;
}

void report_delivery(const flash_sink *s, int length) {
  if (s->verbose) {
    report("%-12s:%-8d,mtd_offset:0x%08x,buf_offset:%-8d\n", "decode", length, s->target.offset,
           static_cast<int>(s->fill));
  }
}

// Takes n bytes just placed in the buffer behind fill: every whole chunk goes
// to the writer, the rest moves to the front. A chunk that did not land
// fails the block: writing the rest of the stream would put it where the
// failed chunk belonged. @return false then.
bool take(flash_sink *s, uint32_t n) {
  s->fill += n;
  uint32_t at = 0;
  while (s->fill - at >= s->chunk) {
    s->total += s->chunk;
    if (s->verbose) {
      report("%-12s:%-8d,mtd_offset:0x%08x,buf_offset:%-8d\n", s->discard ? "discard" : "write",
             static_cast<int>(s->chunk), s->target.offset, 0);
    }
    if (!write_chunk(s, at, s->chunk)) return false;
    at += s->chunk;
  }
  if (at) {
    std::memmove(s->buffer, s->buffer + at, s->fill - at);
    s->fill -= at;
  }
  return true;
}

}  // namespace

flash_layout blk_flash_layout(int cls, uint32_t blk_type, uint32_t erasesize, uint32_t writesize,
                              uint32_t oobsize, int block_align) {
  if (cls == MTD_CLASS_NAND && blk_type == ROM_BLK_TYPE_NAND_OOB && writesize) {
    uint32_t chunk = erasesize / writesize * oobsize + erasesize;
    return {chunk, block_align ? chunk : writesize + oobsize};
  }
  return {erasesize, block_align ? erasesize : writesize};
}

uint32_t blk_pad_length(uint32_t fill, uint32_t align) {
  uint32_t rest = fill % align;
  return rest ? fill + (align - rest) : fill;
}

blk_action blk_type_action(uint32_t type) {
  switch (type) {
    case ROM_BLK_TYPE_NAND_RAW:
    case ROM_BLK_TYPE_NAND_OOB:
    case ROM_BLK_TYPE_NOR:
      return blk_action::program;
    case ROM_BLK_TYPE_NONE:
    case ROM_BLK_TYPE_TOOL:
    case ROM_BLK_TYPE_FILE:
    case ROM_BLK_TYPE_SCRIPT:
    case ROM_BLK_TYPE_EXE:
      return blk_action::leave;
    default:
      return blk_action::refuse;
  }
}

int blk_partition(const install_settings &s, int id) {
  auto it = s.partitions.find(id);
  return it == s.partitions.end() ? id : it->second;
}

int blk_selected(const install_settings &s, int id) {
  if (s.ids.empty()) return 1;
  return std::find(s.ids.begin(), s.ids.end(), id) != s.ids.end() ? 1 : 0;
}

int flash_sink_put(void *ctx, const uint8_t *data, int length) {
  auto *s = static_cast<flash_sink *>(ctx);
  if (s->failed || length < 0) return RES_FAULT;
  report_delivery(s, length);
  if (data == s->buffer + s->fill) {  // read in place (flash_sink_room): nothing to copy
    return take(s, static_cast<uint32_t>(length)) ? length : RES_FAULT;
  }
  uint32_t left = static_cast<uint32_t>(length);
  while (left) {
    uint32_t n = std::min(left, s->room - s->fill);
    std::memcpy(s->buffer + s->fill, data, n);
    data += n;
    left -= n;
    if (!take(s, n)) return RES_FAULT;
  }
  return length;
}

uint8_t *flash_sink_room(void *ctx, uint32_t n) {
  auto *s = static_cast<flash_sink *>(ctx);
  // Behind fill (below one chunk between deliveries) the buffer must hold n.
  if (s->failed || s->room < s->chunk || s->room - s->chunk < n) return nullptr;
  return s->buffer + s->fill;
}

region_sink flash_region_sink(flash_sink *s) {
  region_sink sink;
  sink.ctx = s;
  sink.put = flash_sink_put;
  sink.room = flash_sink_room;
  return sink;
}

int feed_region(int fd, uint64_t offset, uint32_t length, copy_transform transform,
                const region_sink &sink) {
  region_result r = read_region(fd, offset, length, FEED_PIECE, transform, sink);
  if (r.error) errno = r.error;  // for "%m"
  switch (r.end) {
    case region_end::done:
      return as_result(length);
    case region_end::no_memory:
      report("failed to malloc,%m,%d\n", static_cast<int>(FEED_PIECE));
      return RES_NOMEM;
    case region_end::seek_failed:
      report("failed to seek at %d,%m\n", static_cast<int>(offset));
      return RES_FAULT;
    case region_end::read_failed:
      report("failed to read,%m!\n");
      return RES_FAULT;
    case region_end::short_source:
      report("failed to read,payload is short,%u<%u\n", r.read, length);
      return RES_FAULT;
    default:
      return RES_FAULT;  // a bad transform, or the sink said why
  }
}

int flash_decode(flash_sink *s, uint32_t cypher, int fd, uint64_t offset, uint32_t length,
                 uint32_t align, uint8_t pad) {
  if (s->verbose) report("decode: cypher(%d)\n", static_cast<int>(cypher));
  const cypher_type *t = cypher_find(cypher);
  int r;
  if (!t) {
    report("invalid extract type,%d\n", static_cast<int>(cypher));
    r = RES_INVAL;
  } else if (t->decoding == cypher_decoding::stream) {
    // An empty payload holds no stream at all: nothing to decode.
    r = length ? t->stream(fd, offset, static_cast<int>(length), flash_sink_put, s) : 0;
  } else {
    // Stored bytes go as they are, a transform is undone piece by piece.
    r = feed_region(fd, offset, length, t->undo, flash_region_sink(s));
  }
  if (r < 0 || s->failed) {
    report("failed to decode by cypher(%d)!\n", static_cast<int>(cypher));
    return r < 0 ? r : RES_FAULT;
  }
  if (s->fill) {
    uint32_t fill = s->fill;
    uint32_t padded = blk_pad_length(fill, align);
    std::memset(s->buffer + fill, pad, padded - fill);
    if (s->verbose) {
      report(s->discard ? "discard pad = %-6d,align = %-6d\n\n" : "write pad = %-6d,align = %-6d\n",
             static_cast<int>(fill), static_cast<int>(padded));
    }
    if (!write_chunk(s, 0, padded)) {
      report("failed to decode by cypher(%d)!\n", static_cast<int>(cypher));
      return RES_FAULT;
    }
    s->fill = 0;
    s->total += fill;
  }
  if (s->verbose) report("decode: %-8d ?=%-8d done\n", r, as_result(s->total));
  return as_result(s->total);
}

int decode_to_flash(const blk_hdr *blk, int fd, uint64_t offset, uint32_t length,
                    const mtd_device &dev, const flash_layout &lay, int out_fd,
                    const install_settings &s, flash_hook hook) {
  const uint32_t chunk = lay.chunk, align = lay.align;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size_t{chunk} + FLASH_SINK_SLACK]);
  if (!buffer) {
    report("failed to malloc,%m,%d\n", static_cast<int>(chunk));
    return RES_NOMEM;
  }
  mtd_writer writer;
  int mode = WRITE_RAW;
  if (dev.geo.cls == MTD_CLASS_NAND) {
    writer = nand_write_buffer;
    if (blk->type.get() == ROM_BLK_TYPE_NAND_OOB) mode = WRITE_WITH_OOB;
  } else if (dev.geo.cls == MTD_CLASS_NOR) {
    writer = s.skip_erased && !s.simulate ? nor_write_buffer_skipping_erased : nor_write_buffer;
  } else {
    report("invalid mtd type,%d\n", dev.geo.cls);
    return RES_FAULT;
  }
  // A device that reports no erase or write unit cannot be chunked (the
  // chunk loop would never advance), and the padded last chunk must fit.
  if (chunk == 0 || align == 0 || chunk % align != 0 || chunk > UINT32_MAX - FLASH_SINK_SLACK) {
    report("invalid mtd geometry,chunk=%u,align=%u\n", chunk, align);
    return RES_FAULT;
  }
  flash_sink sink{};
  sink.src_fd = fd;
  sink.src_length = static_cast<int>(length);
  sink.target = {&dev, out_fd, mode, s.verbose, 0};
  sink.chunk = chunk;
  sink.buffer = buffer.get();
  sink.room = chunk + FLASH_SINK_SLACK;
  sink.writer = writer;
  sink.verbose = s.verbose;
  sink.discard = s.discard;
  sink.hook = hook;
  return flash_decode(&sink, blk->cypher.get(), fd, offset, length, align, s.pad);
}

int blk_program_mtd(const blk_hdr *blk, int fd, uint64_t offset, uint32_t length,
                    const install_settings &s) {
  uint32_t type = blk->type.get();
  blk_action action = blk_type_action(type);
  if (action == blk_action::leave) return 0;
  if (action == blk_action::refuse) return RES_FAULT;

  int id = static_cast<int>(blk->id.get());
  const int verbose = s.verbose;
  if (!blk_selected(s, id)) {
    if (verbose) report("skiping block,mtd%d...\n", id);
    return 0;
  }

  const int number = blk_partition(s, id);
  if (verbose) report("open mtd:/dev/mtd%d\n", number);
  mtd_device dev;
  if (mtd_open(&dev, number, mtd_access::read_write) < 0 && s.skip_bad && s.simulate) {
    // A simulated block for a partition the board lacks runs against mtd0.
    mtd_open(&dev, 0, mtd_access::read_write);
  }
  const char *path = dev.path.c_str();
  if (dev.fd.fd < 0) {
    report("failed to open mtd,%m,%s\n", path);
    return RES_FAULT;
  }

  const mtd_geometry &g = dev.geo;
  int cls = mtd_query(&dev);
  if (verbose) {
    report("info mtd:type=%s,size=%-4d,block=%-4d,page=%-4d,oob=%-4d\n",
           cls == MTD_CLASS_NAND ? "nand" : "nor", static_cast<int>(g.size),
           static_cast<int>(g.erasesize), static_cast<int>(g.writesize),
           static_cast<int>(g.oobsize));
  }

  // Closed only when greater than 0, as the device.
  unique_fd fake{-1, close_positive};
  if (s.simulate) {
    std::string name = fake_name(id, blk);
    if (verbose) report("open fake:%s\n", name.c_str());
    fake.reset(::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0777));
    if (fake.fd < 0) {
      report("failed to open fake mtd,%m,%s\n", path);
      return RES_FAULT;
    }
  }

  flash_layout lay =
      blk_flash_layout(cls, type, g.erasesize, g.writesize, g.oobsize, s.block_align);
  // The added options act where a partition is really programmed.
  const bool programs = !s.simulate && !s.discard;
  if (programs && s.skip_unchanged) {
    bool unchanged = false;
    int r = unchanged_check(blk, fd, offset, length, dev, lay, s, &unchanged);
    if (r < 0) {
      report("failed to decode,%m,%s", path);
      return r;
    }
    if (unchanged) return r;
  }
  flash_written written;
  const bool guarded = programs && (s.read_back || s.mark_bad);
  if (guarded && flash_written_begin(&written, dev, type, s) < 0) return RES_FAULT;
  const mtd_erase_failure on_erase_failure = flash_written_erase_failure(&written);

  if (verbose) report("erase mtd:from 0x%08x to 0x%08x...\n", 0u, g.size);
  // Discard decodes without writing, so it must not wipe the partition either.
  if (programs) {
    mtd_note_programming(dev, text_field(blk->name));
    const mtd_erase_failure *failure = guarded ? &on_erase_failure : nullptr;
    const int erased = s.skip_erased ? mtd_erase_skipping_erased(dev.fd.fd, 0, g.size, cls, verbose,
                                                                 failure, nullptr)
                                     : mtd_erase(dev.fd.fd, 0, g.size, cls, verbose, failure);
    if (erased < 0) {
      report("failed to erase mtd,%m,%s", path);
      return RES_FAULT;
    }
  }
  if (verbose) {
    report("%s: write align=%d:%d\n", s.simulate ? "decode2fake" : "decode2flash",
           static_cast<int>(lay.chunk), static_cast<int>(lay.align));
  }
  int r = decode_to_flash(blk, fd, offset, length, dev, lay, s.simulate ? fake.fd : -1, s,
                          guarded ? flash_written_hook(&written) : flash_hook{});
  if (r < 0) {
    report("failed to decode,%m,%s", path);
    return r;
  }
  if (programs && s.read_back && read_back_check(written) < 0) return BLK_READ_BACK_FAILED;
  if (verbose) report("blk execute:done\n");
  return r;
}

}  // namespace korvane
