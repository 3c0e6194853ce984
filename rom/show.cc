// SPDX-License-Identifier: MIT
#include "rom/show.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "codec/cypher.h"
#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/names.h"
#include "rom/output.h"
#include "rom/result.h"

namespace korvane {
namespace {

constexpr size_t NAME_MAX_BYTES = 4096;  // extracted file names, directory included

// A block header as read for the walk. Headers are written with 128 bytes,
// but the walk lets an hsize up to 144 through: the bytes from 128 to hsize
// are the next bytes of the file (the header covers them, the payload starts
// after them), read into `extra`. Bytes a short file lacks stay zero, so the
// CRC is always taken over exactly hsize bytes and never past the buffer.
struct alignas(4) blk_hdr_buf {
  blk_hdr hdr;
  uint8_t extra[ROM_BLK_HSIZE_MAX - ROM_HDR_SIZE];
};
static_assert(sizeof(blk_hdr_buf) == ROM_BLK_HSIZE_MAX);
static_assert(offsetof(blk_hdr_buf, extra) == ROM_HDR_SIZE);

void line_hex(const char *label, uint32_t v) { report("%-16s:0x%08x\n", label, v); }
void line_dec(const char *label, uint32_t v) {
  report("%-16s:%d\n", label, static_cast<int32_t>(v));
}
void line_text(const char *label, const std::string &s) { report("%-16s:%s\n", label, s.c_str()); }

void show_rom_hdr(const char *path, const rom_hdr &h) {
  report("============ROM<%s>=============\n", path);
  line_hex("rom magic", h.magic.get());
  line_dec("rom hsize", h.hsize.get());
  line_hex("rom hcrc", h.hcrc.get());
  line_hex("rom format", h.format.get());
  line_hex("rom flags", h.flags.get());
  line_dec("rom lenght", h.length.get());
  line_hex("rom verify", h.verify.get());
  line_dec("rom blocks", h.blocks.get());
  line_dec("rom dev id", h.dev_id.get());
  line_text("rom dev name", text_field(h.dev_name));
  line_text("rom oem name", text_field(h.oem_name));
  line_text("rom version", text_field(h.version));
}

enum class verify_state { none, good, bad };

void show_blk_hdr(const blk_hdr &h, uint32_t hcrc, bool good_hcrc, verify_state state) {
  line_hex("blk magic", h.magic.get());
  line_dec("blk hsize", h.hsize.get());
  line_hex(good_hcrc ? "blk good hcrc" : "blk bad  hcrc", hcrc);
  line_hex("blk flags", h.flags.get());
  line_dec("blk lenght", h.length.get());
  line_dec("blk total", h.total.get());
  const char *verify_label = state == verify_state::none   ? "blk none verify"
                             : state == verify_state::good ? "blk good verify"
                                                           : "blk bad  verify";
  line_hex(verify_label, h.verify.get());
  line_dec("blk type", h.type.get());
  line_dec("blk id", h.id.get());
  line_text("blk name", text_field(h.name));
  line_text("blk version", text_field(h.version));
  line_text("blk cypher", blk_cypher_name(h.cypher.get()));
  line_text("blk data", blk_data_name(h.data.get()));
}

// The name part of an extracted file: the block's name with every '/'
// turned into '_', so that no name reaches outside the output directory.
std::string safe_name(const blk_hdr &h) {
  std::string name = text_field(h.name);
  for (char &c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

// Writes one block into the file `name`. @return 0, or RES_FAULT after the
// message when the copy or the decode failed.
int extract_blk(int rom_fd, const blk_hdr &h, uint64_t offset, int with_header, int out,
                const char *name) {
  uint32_t hsize = h.hsize.get();
  uint32_t length = h.length.get();
  uint32_t total = h.total.get();
  bool ok;
  if (with_header) {
    int r = cypher_copy_file(rom_fd, offset, total, out, 0);
    ok = r >= 0 && static_cast<uint32_t>(r) == total;
  } else {
    uint32_t cypher = h.cypher.get();
    int r = cypher_decode_file(cypher, rom_fd, offset + hsize, length, out);
    // An empty payload, or a stream that declares no bytes, decodes to an
    // empty file. Every type but cypher1 yields exactly the stored length,
    // so a shorter result there is a payload cut off by the end of the file.
    ok = r >= 0 && (cypher == ROM_BLK_CT_CYPHER1 || static_cast<uint32_t>(r) == length);
  }
  if (!ok) {
    report("failed to copy file,%m,%s\n", name);
    return RES_FAULT;
  }
  return 0;
}

// Opens the file a block is extracted to, emptied. O_NOFOLLOW: a link planted
// under the name is not followed. The image itself is never emptied (a block
// file extracted in its own folder bears the name of its block): *is_image
// is set instead. @return the descriptor, or -1 (errno set unless is_image).
int create_output(const char *name, const struct stat &image, bool *is_image) {
  unique_fd fd{open(name, O_RDWR | O_CREAT | O_NOFOLLOW, 0777)};
  if (fd.fd < 0) return -1;
  struct stat st;
  if (fstat(fd.fd, &st) != 0) return -1;
  if (st.st_dev == image.st_dev && st.st_ino == image.st_ino) {
    *is_image = true;
    return -1;
  }
  // What O_TRUNC does: only a regular file is emptied.
  if (S_ISREG(st.st_mode) && ftruncate(fd.fd, 0) != 0) return -1;
  return fd.release();
}

}  // namespace

int rom_show(const char *path, const char *dir, uint32_t flags, int with_header, int all) {
  int raw_fd = -1;
  uint64_t size = 0;
  int kind = rom_open(path, &raw_fd, &size, O_RDONLY);
  unique_fd rom{raw_fd};  // closed on every way out
  if (kind != ROM_CHECK_ROM && kind != ROM_CHECK_BLK) return RES_FAULT;

  if (lseek(rom.fd, 0, SEEK_SET) < 0) {
    report("failed to seek file,%m,%s\n", path);
    return RES_FAULT;
  }
  uint64_t offset = 0;
  if (kind == ROM_CHECK_ROM) {
    rom_hdr rh;
    if (read_full(rom.fd, &rh, sizeof rh) != static_cast<ssize_t>(sizeof rh)) {
      report("failed to read rom or block file,%m,%s\n", path);
      return RES_FAULT;
    }
    show_rom_hdr(path, rh);
    offset = rh.hsize.get();
  }
  if (!dir && !all) return 0;
  struct stat image {};  // left zero (matching no file) if the status cannot be had
  if (dir) fstat(rom.fd, &image);

  bool skipped = false;  // a block whose file could not be created
  for (int index = 0; offset + ROM_HDR_SIZE <= size; ++index) {
    report("============block %d================\n", index);
    line_dec("blk offset", static_cast<uint32_t>(offset));
    if (lseek(rom.fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
      report("failed to seek block,%m,%s\n", path);
      return RES_FAULT;
    }
    blk_hdr_buf buf{};
    blk_hdr &h = buf.hdr;
    if (read_full(rom.fd, &h, sizeof h) != static_cast<ssize_t>(sizeof h)) {
      report("failed to read block,%m,%s\n", path);
      return RES_FAULT;
    }
    uint32_t hsize = h.hsize.get();
    line_dec("blk header", hsize);
    if (hsize > ROM_BLK_HSIZE_MAX) {
      // Images padded with 0xFF end here.
      report("suck ,invalid blk header size,%d\n", static_cast<int32_t>(hsize));
      break;
    }
    if (hsize > ROM_HDR_SIZE) {
      uint64_t in_file = size - offset - ROM_HDR_SIZE;
      size_t want = hsize - ROM_HDR_SIZE;
      if (want > in_file) want = static_cast<size_t>(in_file);
      if (read_full(rom.fd, buf.extra, want) != static_cast<ssize_t>(want)) {
        report("failed to read block,%m,%s\n", path);
        return RES_FAULT;
      }
    }

    uint32_t hcrc = h.hcrc.get();
    h.hcrc.set(0);
    bool good_hcrc = crc32(0, &buf, hsize) == hcrc;

    uint32_t length = h.length.get();
    verify_state state = verify_state::none;
    if ((flags & ROM_VERIFY_MASK) && (h.flags.get() & ROM_VERIFY_MASK)) {
      state = rom_verify_blk(&h, rom.fd, offset + hsize, length) == 0 ? verify_state::good
                                                                      : verify_state::bad;
    }

    char name[NAME_MAX_BYTES] = "";
    bool name_fits = true;
    if (dir) {
      int n = std::snprintf(name, sizeof name, good_hcrc ? "%s/%d-%d-%s-%s" : "%s/%d-%d-%s-bad-%s",
                            dir, index, static_cast<int32_t>(h.id.get()),
                            blk_type_name(h.type.get()), safe_name(h).c_str());
      name_fits = n >= 0 && static_cast<size_t>(n) < sizeof name;
      report("extract to %s ,%s\n", name, with_header ? "with header" : "no header");
    }
    h.hcrc.set(hcrc);
    show_blk_hdr(h, hcrc, good_hcrc, state);

    if (dir) {
      unique_fd out;
      bool is_image = false;
      if (name_fits) {
        out.fd = create_output(name, image, &is_image);
      } else {
        errno = ENAMETOOLONG;
      }
      if (is_image) {
        report("failed to create file,is the image itself,%s\n", name);
        skipped = true;
      } else if (out.fd <= 0) {
        report("failed to create file,%m,%s\n", name);
        skipped = true;  // the other blocks are still extracted
      } else if (extract_blk(rom.fd, h, offset, with_header, out.fd, name) < 0) {
        return RES_FAULT;
      }
    }

    if (!rom_walk_next(&offset, h.total.get())) return RES_FAULT;
  }
  return skipped ? RES_FAULT : 0;
}

}  // namespace korvane
