// SPDX-License-Identifier: MIT
// Damaged images that still look sound: valid images built here, then
// changed by a short program of edits (bit flips, cuts, changed bytes at the
// end of a payload or in a cypher1 stream's header, changed header fields),
// after which every checksum a reader looks at is computed again, so that
// the damage reaches the checks behind them (the decode, the fit, the walk).
// The program is bytes: a fuzz input, or bytes from a seeded generator.
//
// Header-only and free of the test framework, so that the mutation test and
// the fuzz target run the very same edits. The images suit the board below.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/zentarc.h"
#include "rom/checksum.h"
#include "rom/layout.h"

namespace korvane::mutation {

/// The board the images are made for: a NAND with a bad block, a NOR, a
/// small-page NAND and a NOR the kernel marks read-only (a header edit may
/// send a block there).
inline constexpr const char *BOARD =
    "mtd0 nand size=512K erase=128K page=2048 oob=64 bad=1\n"
    "mtd1 nor size=64K erase=16K\n"
    "mtd2 nand size=64K erase=16K page=512 oob=16\n"
    "mtd3 nor size=64K erase=16K read-only\n";

// Header field offsets (both headers are 128 bytes of big-endian words).
enum : uint32_t {
  F_MAGIC = 0,
  F_HSIZE = 4,
  F_HCRC = 8,
  F_FLAGS = 16,
  F_LENGTH = 20,
  F_TOTAL = 24,   // block; the rom header's verify field
  F_VERIFY = 28,  // block; the rom header's block count
  F_TYPE = 32,
  F_ID = 36,
  F_NAME = 40,
  F_CYPHER = 80,
};

inline uint32_t get_be(const std::string &b, size_t off) {
  if (off + 4 > b.size()) return 0;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(b[off + i]);
  return v;
}

inline void put_be(std::string &b, size_t off, uint32_t v) {
  if (off + 4 > b.size()) return;
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<char>(v >> (24 - 8 * i));
}

// The project's CRC-32 and sum over bytes anywhere (it takes aligned buffers).
inline uint32_t checksum(bool crc, const char *p, size_t n) {
  std::vector<uint32_t> aligned((n + 3) / 4 + 1);
  if (n) std::memcpy(aligned.data(), p, n);
  const auto len = static_cast<uint32_t>(n);
  return crc ? crc32(0, aligned.data(), len) : sum32(0, aligned.data(), len);
}

// Seals the header at off over hsize bytes (as many as there are).
inline void seal(std::string &img, size_t off, uint32_t hsize) {
  if (off + ROM_HDR_SIZE > img.size()) return;
  put_be(img, off + F_HCRC, 0);
  const size_t n = std::min<size_t>(std::min<uint32_t>(hsize, 144), img.size() - off);
  put_be(img, off + F_HCRC, checksum(true, img.data() + off, n));
}

struct block_spec {
  uint32_t type, id, cypher, verify;  // verify: ROM_VERIFY_CRC, ROM_VERIFY_CHECKSUM or 0
  std::string content;                // before encoding
};

// A cypher1 stream of the content, from the project's encoder.
inline std::string cypher1(const std::string &content) {
  int fd = memfd_create("content", 0);
  std::string out;
  if (fd < 0) return out;
  if (write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size())) {
    auto sink = [](void *ctx, const uint8_t *bytes, int n) {
      static_cast<std::string *>(ctx)->append(reinterpret_cast<const char *>(bytes),
                                              static_cast<size_t>(n));
      return n;
    };
    if (zentarc_encode_fd(fd, 0, static_cast<int>(content.size()), sink, &out) != 0) out.clear();
  }
  close(fd);
  return out;
}

// cypher3 and cypher4 stay as stored here: the bytes are what is checked,
// and a block of them decodes to something of the same length either way.
inline std::string block(const block_spec &b) {
  const std::string payload = b.cypher == ROM_BLK_CT_CYPHER1 ? cypher1(b.content) : b.content;
  const auto length = static_cast<uint32_t>(payload.size());
  std::string h(ROM_HDR_SIZE, '\0');
  put_be(h, F_MAGIC, BLK_MAGIC);
  put_be(h, F_HSIZE, ROM_HDR_SIZE);
  put_be(h, 12, 1);  // format
  put_be(h, F_FLAGS, b.verify);
  put_be(h, F_LENGTH, length);
  put_be(h, F_TOTAL, ROM_HDR_SIZE + blk_padded(length));
  put_be(h, F_VERIFY,
         b.verify ? checksum(b.verify == ROM_VERIFY_CRC, payload.data(), length) : 0xFFFFFFFF);
  put_be(h, F_TYPE, b.type);
  put_be(h, F_ID, b.id);
  std::memcpy(&h[F_NAME], "part", 4);
  put_be(h, F_CYPHER, b.cypher);
  seal(h, 0, ROM_HDR_SIZE);
  std::string out = h + payload;
  out.resize(ROM_HDR_SIZE + blk_padded(length), '\0');
  return out;
}

// A rom image of the blocks (rom) or the blocks alone (a block file).
inline std::string image(const std::vector<block_spec> &blocks, bool rom = true) {
  std::string body;
  for (const block_spec &b : blocks) body += block(b);
  if (!rom) return body;
  std::string h(ROM_HDR_SIZE, '\0');
  put_be(h, F_MAGIC, ROM_MAGIC);
  put_be(h, F_HSIZE, ROM_HDR_SIZE);
  put_be(h, 12, 2);  // format
  put_be(h, F_LENGTH, static_cast<uint32_t>(body.size()));
  put_be(h, F_TOTAL, ~0u);
  put_be(h, F_VERIFY, static_cast<uint32_t>(blocks.size()));
  std::memcpy(&h[36], "board", 5);
  seal(h, 0, ROM_HDR_SIZE);
  return h + body;
}

// Content that compresses like firmware: text with runs of zeros.
inline std::string firmware(size_t n, unsigned seed) {
  std::string s;
  for (unsigned i = seed; s.size() < n; ++i) {
    s += "op " + std::to_string(i * 4) + " r" + std::to_string(i % 13) + ";\n";
    if (i % 7 == 6) s.append(40, '\0');
  }
  s.resize(n);
  return s;
}

inline std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char &c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

/// The valid images the edits start from, each of which installs on BOARD.
inline const std::vector<std::string> &bases() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> v;
    // A plain NAND block, then a cypher1 stream on the NOR without a check.
    v.push_back(image({{ROM_BLK_TYPE_NAND_RAW, 0, ROM_BLK_CT_NONE, ROM_VERIFY_CRC, noise(3000, 1)},
                       {ROM_BLK_TYPE_NOR, 1, ROM_BLK_CT_CYPHER1, 0, firmware(30000, 2)}}));
    // Page records on the small-page NAND, a checksummed cypher1 block on
    // the big one, and a file block the install leaves alone.
    v.push_back(image(
        {{ROM_BLK_TYPE_NAND_OOB, 2, ROM_BLK_CT_NONE, ROM_VERIFY_CRC, noise(528 * 40, 3)},
         {ROM_BLK_TYPE_NAND_RAW, 0, ROM_BLK_CT_CYPHER1, ROM_VERIFY_CHECKSUM, firmware(150000, 4)},
         {ROM_BLK_TYPE_FILE, 9, ROM_BLK_CT_NONE, ROM_VERIFY_CRC, noise(200, 5)}}));
    // A block file: cypher1 and cypher3 blocks, no rom header.
    v.push_back(
        image({{ROM_BLK_TYPE_NOR, 1, ROM_BLK_CT_CYPHER1, ROM_VERIFY_CRC, firmware(20000, 6)},
               {ROM_BLK_TYPE_NAND_RAW, 2, ROM_BLK_CT_CYPHER3, 0, noise(5000, 7)}},
              false));
    return v;
  }();
  return all;
}

/// Reads the edit program.
struct program {
  const uint8_t *p;
  size_t n;
  uint32_t byte() { return n ? (--n, *p++) : 0; }
  uint32_t word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
  }
  bool done() const { return n == 0; }
};

/// The offsets of the block headers a walk by the totals reaches (at most 16).
inline std::vector<size_t> headers(const std::string &img) {
  std::vector<size_t> at;
  size_t off = get_be(img, 0) == ROM_MAGIC ? get_be(img, F_HSIZE) : 0;
  while (at.size() < 16 && off + ROM_HDR_SIZE <= img.size()) {
    at.push_back(off);
    const uint32_t total = get_be(img, off + F_TOTAL);
    if (total < ROM_HDR_SIZE) break;
    off += total;
  }
  return at;
}

/// Computes again every header CRC and payload check the walk reaches.
inline void reseal(std::string &img) {
  for (size_t off : headers(img)) {
    const uint32_t kind = get_be(img, off + F_FLAGS) & ROM_VERIFY_MASK;
    const uint32_t hsize = get_be(img, off + F_HSIZE);
    const uint64_t payload = off + std::min<uint32_t>(hsize, 144);
    if (payload < img.size() && (kind == ROM_VERIFY_CRC || kind == ROM_VERIFY_CHECKSUM)) {
      const size_t n = std::min<uint64_t>(get_be(img, off + F_LENGTH), img.size() - payload);
      put_be(img, off + F_VERIFY, checksum(kind == ROM_VERIFY_CRC, img.data() + payload, n));
    }
    seal(img, off, hsize);
  }
  if (get_be(img, 0) == ROM_MAGIC) seal(img, 0, get_be(img, F_HSIZE));
}

/// The image the program makes: its first byte picks the base, each edit
/// after it is a byte for its kind and the bytes it reads.
inline std::string mutate(const uint8_t *data, size_t size) {
  program pr{data, size};
  const auto &b = bases();
  std::string img = b[pr.byte() % b.size()];
  static const uint32_t fields[] = {F_HSIZE, F_FLAGS, F_LENGTH, F_TOTAL,
                                    F_TYPE,  F_ID,    F_CYPHER, F_VERIFY};
  for (int edits = 0; !pr.done() && edits < 8 && !img.empty(); ++edits) {
    const std::vector<size_t> at = headers(img);
    const size_t hdr = at.empty() ? 0 : at[pr.byte() % at.size()];
    const uint64_t payload_end = uint64_t{hdr} + ROM_HDR_SIZE + get_be(img, hdr + F_LENGTH);
    switch (pr.byte() % 6) {
      case 0: {  // a bit flip anywhere
        const size_t off = pr.word() % img.size();
        img[off] = static_cast<char>(img[off] ^ (1u << (pr.byte() % 8)));
        break;
      }
      case 1:  // the file cut short
        img.resize(pr.word() % img.size());
        break;
      case 2: {  // a byte of the last 16 of a payload
        const uint64_t back = pr.byte() % 16 + 1;
        if (payload_end >= back && payload_end - back < img.size()) {
          char &c = img[payload_end - back];
          c = static_cast<char>(c ^ (pr.byte() | 1));
        }
        break;
      }
      case 3: {  // a header field moved a little
        const uint32_t f = fields[pr.byte() % std::size(fields)];
        const auto delta = static_cast<int8_t>(pr.byte());
        put_be(img, hdr + f, get_be(img, hdr + f) + static_cast<uint32_t>(delta));
        break;
      }
      case 4: {  // a header field set to any value
        const uint32_t f = fields[pr.byte() % std::size(fields)];
        put_be(img, hdr + f, pr.word());
        break;
      }
      case 5: {  // a byte of a cypher1 stream's header (properties, dictionary, size)
        const size_t off = hdr + ROM_HDR_SIZE + pr.byte() % 13;
        if (off < img.size()) img[off] = static_cast<char>(pr.byte());
        break;
      }
    }
  }
  reseal(img);
  return img;
}

}  // namespace korvane::mutation
