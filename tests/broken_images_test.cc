// SPDX-License-Identifier: MIT
// Broken images and what the programs answer to each: every row of the
// table is a small image made here from its bytes, run through every
// command of COMMANDS in a fresh folder. What a command printed (standard
// output, standard error when there is any), its exit status and the files
// it left (name, size, CRC-32) must equal the row's expected text in
// tests/broken_images/ROW.txt, byte for byte (only descriptor numbers in
// messages are masked).
//
// The expected texts are reviewed answers, not made up by the test: to add a
// row or a command, run the test with KORVANE_UPDATE_EXPECTED=1, which
// writes the texts into the source tree, and read the difference before
// committing it.
//
// Rows with `unseen` set are images where today's answer is exit 0 although
// blocks were left unseen (the walk ended early, or went past blocks, with
// success); the note says why. The preflight refuses every one of them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/zentarc.h"
#include "rom/layout.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using e2e::scratch_dir;

// ---------------------------------------------------------- the commands

struct command {
  const char *shown;               // as the expected text shows it
  std::vector<std::string> words;  // the program, then its arguments before the image
};

// One column per command. korvane-sim runs on its built-in board with its
// state folder in the run's folder (not listed with the files).
const std::vector<command> COMMANDS = {
    {"korvane -i", {"korvane", "-i"}},
    {"korvane -f crc -i", {"korvane", "-f", "crc", "-i"}},
    {"korvane -x", {"korvane", "-x"}},
    {"korvane -g -x", {"korvane", "-g", "-x"}},
    {"korvane-sim -m -e", {"korvane-sim", "--", "-m", "-e"}},
    {"korvane-sim --preflight -e", {"korvane-sim", "--", "--preflight", "-e"}},
};

constexpr const char *SIM_STATE = "korvane-sim-state";

// ------------------------------------------------------------- the bytes

void put_be(std::string &b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<char>(v >> (24 - 8 * i));
}

uint32_t get_be(const std::string &b, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(b.at(off + i));
  return v;
}

// A CRC-32 of our own (table-driven, for the 64 MiB files), not the project's.
uint32_t crc32_of(uint32_t crc, const char *p, size_t n) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ static_cast<uint8_t>(p[i])) & 0xFF] ^ crc >> 8;
  return ~crc;
}

// Repeatable content: text with runs of zeros, or noise.
std::string firmware(size_t n) {
  std::string s;
  for (unsigned i = 0; s.size() < n; ++i) {
    s += "insn " + std::to_string(i * 4) + " r" + std::to_string(i % 13) + ";\n";
    if (i % 7 == 6) s.append(40, '\0');
  }
  s.resize(n);
  return s;
}

std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char &c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

// Field offsets of the two headers.
enum : size_t {
  MAGIC = 0,
  HSIZE = 4,
  HCRC = 8,
  FLAGS = 16,
  LENGTH = 20,
  TOTAL = 24,  // block header
  ROM_BLOCKS = 28,
  VERIFY = 28,  // block header
  TYPE = 32,
  ID = 36,
  NAME = 40,
  VERSION = 56,
  CYPHER = 80,
};

// Seals the header at off: its hcrc over hsize bytes (as many as there are)
// with the field zero.
void seal(std::string &img, size_t off, uint32_t hsize) {
  put_be(img, off + HCRC, 0);
  size_t n = std::min<size_t>(hsize, img.size() - off);
  put_be(img, off + HCRC, crc32_of(0, img.data() + off, n));
}

// Sets a header field and seals the header again over its (new) hsize.
void set(std::string &img, size_t off, size_t field, uint32_t value) {
  put_be(img, off + field, value);
  seal(img, off, get_be(img, off + HSIZE));
}

struct blk {
  std::string name;
  uint32_t type = ROM_BLK_TYPE_NAND_RAW;
  uint32_t id = 0;
  uint32_t cypher = ROM_BLK_CT_NONE;
  std::string payload;  // as stored (encoded); checked by a CRC
};

// One block: its header, the payload, zero padding to 16 bytes.
std::string block(const blk &b) {
  std::string h(128, '\0');
  put_be(h, MAGIC, BLK_MAGIC);
  put_be(h, HSIZE, 128);
  put_be(h, 12, 1);  // format
  put_be(h, FLAGS, ROM_VERIFY_CRC);
  put_be(h, LENGTH, static_cast<uint32_t>(b.payload.size()));
  put_be(h, TOTAL, 128 + blk_padded(static_cast<uint32_t>(b.payload.size())));
  put_be(h, VERIFY, crc32_of(0, b.payload.data(), b.payload.size()));
  put_be(h, TYPE, b.type);
  put_be(h, ID, b.id);
  std::memcpy(&h[NAME], b.name.data(), std::min<size_t>(b.name.size(), 16));
  std::memcpy(&h[VERSION], "1.0", 3);
  put_be(h, CYPHER, b.cypher);
  put_be(h, 84, ROM_BLK_DATA_FILE);
  seal(h, 0, 128);
  std::string out = h + b.payload;
  out.resize(128 + blk_padded(static_cast<uint32_t>(b.payload.size())), '\0');
  return out;
}

// A rom image of the blocks, its header up to date.
std::string image(const std::vector<blk> &blocks) {
  std::string img(128, '\0');
  std::string body;
  for (const blk &b : blocks) body += block(b);
  put_be(img, MAGIC, ROM_MAGIC);
  put_be(img, HSIZE, 128);
  put_be(img, 12, 2);  // format
  put_be(img, FLAGS, ROM_FLAG_TOOL);
  put_be(img, LENGTH, static_cast<uint32_t>(body.size()));
  put_be(img, 24, ~0u);  // verify
  put_be(img, ROM_BLOCKS, static_cast<uint32_t>(blocks.size()));
  put_be(img, 32, 7);  // dev id
  std::memcpy(&img[36], "board", 5);
  std::memcpy(&img[52], "acme", 4);
  std::memcpy(&img[68], "2.0", 3);
  seal(img, 0, 128);
  return img + body;
}

// Offset of block k of a well-formed image.
size_t at(const std::string &img, int k) {
  size_t off = get_be(img, HSIZE);
  while (k-- > 0) off += get_be(img, off + TOTAL);
  return off;
}

// A cypher1 stream of the content, from the project's encoder (the stream
// is the input here, not what is checked).
std::string lzma(const std::string &content) {
  scratch_dir dir;
  e2e::write_file(dir / "in", content);
  int fd = open((dir / "in").c_str(), O_RDONLY);
  std::string out;
  auto sink = [](void *ctx, const uint8_t *bytes, int n) {
    static_cast<std::string *>(ctx)->append(reinterpret_cast<const char *>(bytes),
                                            static_cast<size_t>(n));
    return n;
  };
  int r = zentarc_encode_fd(fd, 0, static_cast<int>(content.size()), sink, &out);
  close(fd);
  EXPECT_EQ(r, 0);
  return out;
}

// Stream header fields: properties byte, dictionary size, unpacked size.
void set_dict(std::string &s, uint32_t dict) {
  for (int i = 0; i < 4; ++i) s[1 + i] = static_cast<char>(dict >> (8 * i));
}
void set_unpacked(std::string &s, uint64_t size) {
  for (int i = 0; i < 8; ++i) s[5 + i] = static_cast<char>(size >> (8 * i));
}

// The blocks most rows start from: a plain block for mtd0, then a cypher1
// block for the NOR partition mtd1.
const std::string &boot_content() {
  static const std::string s = noise(300, 1);
  return s;
}
const std::string &kernel_content() {
  static const std::string s = firmware(3000);
  return s;
}
blk boot() { return {"boot", ROM_BLK_TYPE_NAND_RAW, 0, ROM_BLK_CT_NONE, boot_content()}; }
blk kernel() {
  static const std::string stream = lzma(kernel_content());
  return {"kernel", ROM_BLK_TYPE_NOR, 1, ROM_BLK_CT_CYPHER1, stream};
}
std::string two_blocks() { return image({boot(), kernel()}); }

// An image whose only block (for mtd1) holds the stream as its payload.
std::string with_stream(const std::string &stream) {
  return image({{"stream", ROM_BLK_TYPE_NOR, 1, ROM_BLK_CT_CYPHER1, stream}});
}

// ------------------------------------------------------------- the table

struct row {
  const char *name;    // names the test and its expected text: [a-z0-9_]
  const char *what;    // what is broken
  const char *unseen;  // exit 0 although blocks were left unseen: why; or null
  std::function<std::string()> make;
};

void PrintTo(const row &r, std::ostream *os) { *os << r.what; }

const std::vector<row> &rows() {
  static const std::vector<row> r = {
      // Too short for any header.
      {"empty", "an empty file", nullptr, [] { return std::string(); }},
      {"one_byte", "1 byte", nullptr, [] { return std::string(1, '\xad'); }},
      {"bytes_127", "127 bytes of a rom header", nullptr,
       [] { return two_blocks().substr(0, 127); }},

      // The rom header's size: the first block starts there.
      {"rom_hsize_0", "rom header size 0 (its CRC covers nothing)",
       // The walk takes the rom header for a block; its `verify` field
       // (0xFFFFFFFF) as the total moves the walk past the file.
       "the rom header read as a block moves the walk to 4 GiB; both blocks unseen",
       [] {
         std::string img = two_blocks();
         set(img, 0, HSIZE, 0);
         return img;
       }},
      {"rom_hsize_1", "rom header size 1",
       // The walk reads a header one byte into the rom header.
       "the block header read at offset 1 has a size above 144; both blocks unseen",
       [] {
         std::string img = two_blocks();
         set(img, 0, HSIZE, 1);
         return img;
       }},
      {"rom_hsize_127", "rom header size 127",
       "the block header read at offset 127 has a size above 144; both blocks unseen",
       [] {
         std::string img = two_blocks();
         set(img, 0, HSIZE, 127);
         return img;
       }},
      {"rom_hsize_145", "rom header size 145, more than the 128 bytes read", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, 0, HSIZE, 145);
         return img;
       }},
      {"rom_hsize_ffffffff", "rom header size 0xFFFFFFFF", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, 0, HSIZE, 0xFFFFFFFF);
         return img;
       }},

      // The second block's header size.
      {"blk_hsize_0", "block header size 0: the payload starts at the header", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 1), HSIZE, 0);
         return img;
       }},
      {"blk_hsize_1", "block header size 1", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 1), HSIZE, 1);
         return img;
       }},
      {"blk_hsize_127", "block header size 127", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 1), HSIZE, 127);
         return img;
       }},
      {"blk_hsize_145", "the first block's header size 145",
       "a block header size above 144 ends the walk with success; both blocks unseen",
       [] {
         std::string img = two_blocks();
         set(img, at(img, 0), HSIZE, 145);
         return img;
       }},
      {"blk_header_cut", "the second block's header cut off after 100 bytes",
       "fewer than 128 bytes left end the walk without a word; the cut block unseen",
       [] {
         std::string img = two_blocks();
         return img.substr(0, at(img, 1) + 100);
       }},
      {"blk_hsize_144_cut", "a header size of 144 with the file ending 130 bytes into it", nullptr,
       [] {
         std::string img = two_blocks();
         size_t off = at(img, 1);
         set(img, off, HSIZE, 144);
         return img.substr(0, off + 130);
       }},

      // The first block's total: where the next block starts.
      {"total_0", "block total 0", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 0), TOTAL, 0);
         return img;
       }},
      {"total_1", "block total 1", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 0), TOTAL, 1);
         return img;
       }},
      {"total_127", "block total 127", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 0), TOTAL, 127);
         return img;
       }},
      {"total_huge", "block total 0x7FFFFFF0, past the end of the file",
       "a total past the end of the file ends the walk with success; the second block unseen",
       [] {
         std::string img = two_blocks();
         set(img, at(img, 0), TOTAL, 0x7FFFFFF0);
         return img;
       }},
      {"total_wraps", "block total 0xFFFFFFF0: the next offset passes 4 GiB", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 0), TOTAL, 0xFFFFFFF0);
         return img;
       }},
      {"total_inside_payload", "block total 144: the next header is read inside the payload",
       "the header found inside the cypher1 payload has a size above 144; the block after "
       "it unseen",
       [] {
         std::string img = image({kernel(), boot()});
         set(img, at(img, 0), TOTAL, 144);
         return img;
       }},

      // What the rom header counts.
      {"truncated_at_block", "four blocks counted, the file cut after the second",
       "the rom header's length and block count are not looked at; two blocks missing",
       [] {
         blk third = boot(), fourth = boot();
         third.id = 2;
         fourth.id = 3;
         std::string img = image({boot(), kernel(), third, fourth});
         return img.substr(0, at(img, 2));
       }},
      {"blocks_fewer", "one block counted, two in the file", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, 0, ROM_BLOCKS, 1);
         return img;
       }},
      {"payload_cut", "the second block's payload cut off by the end of the file", nullptr,
       [] {
         std::string img = two_blocks();
         return img.substr(0, at(img, 1) + 128 + 40);
       }},

      // cypher1 streams.
      {"c1_dict_4g_sized", "cypher1 dictionary 0xFFFFFFFF, unpacked size known", nullptr,
       [] {
         std::string s = lzma(kernel_content());
         set_dict(s, 0xFFFFFFFF);
         return with_stream(s);
       }},
      {"c1_dict_4g_unsized", "cypher1 dictionary 0xFFFFFFFF, unpacked size unknown", nullptr,
       [] {
         std::string s = lzma(kernel_content());
         set_dict(s, 0xFFFFFFFF);
         set_unpacked(s, ~0ull);
         return with_stream(s);
       }},
      {"c1_size_huge", "cypher1 unpacked size 2^40 for 3000 bytes of data", nullptr,
       [] {
         std::string s = lzma(kernel_content());
         set_unpacked(s, 1ull << 40);
         return with_stream(s);
       }},
      {"c1_size_0", "cypher1 unpacked size 0", nullptr,
       [] {
         std::string s = lzma(kernel_content());
         set_unpacked(s, 0);
         return with_stream(s);
       }},
      {"c1_bad_props", "cypher1 properties byte 225 (no lc, lp, pb has it)", nullptr,
       [] {
         std::string s = lzma(kernel_content());
         s[0] = static_cast<char>(225);
         return with_stream(s);
       }},
      {"c1_5_bytes", "a cypher1 payload of 5 bytes: the size is read from the padding", nullptr,
       [] { return with_stream(lzma(kernel_content()).substr(0, 5)); }},
      {"c1_64mib", "a cypher1 stream of about 10 KB that unpacks to 64 MiB", nullptr,
       [] { return with_stream(lzma(std::string(64u << 20, '\0'))); }},
      {"c1_reads_into_next", "a cypher1 block whose length covers 20 bytes of its stream",
       // The decoder reads the whole stream past the block's end; the walk
       // then reads stream bytes as the next header.
       "the stream decodes from the bytes after its block, the header found there has a size "
       "above 144; the block after it unseen",
       [] {
         std::string img = image({kernel(), boot()});
         size_t off = at(img, 0);
         set(img, off, LENGTH, 20);
         set(img, off, TOTAL, 128 + 32);
         return img;
       }},

      // Cypher types without a decoder.
      {"cypher_5", "cypher type 5", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 0), CYPHER, 5);
         return img;
       }},
      {"cypher_ffffffff", "cypher type 0xFFFFFFFF", nullptr,
       [] {
         std::string img = two_blocks();
         set(img, at(img, 0), CYPHER, 0xFFFFFFFF);
         return img;
       }},

      // Names, as stored: extracted and fake MTD files are named after them.
      {"name_slash", "block name 'a/b'", nullptr,
       [] {
         blk b = boot();
         b.name = "a/b";
         return image({b});
       }},
      {"name_dotdot", "block names '..' and '../../up'", nullptr,
       [] {
         blk a = boot(), b = boot();
         a.name = "..";
         b.name = "../../up";
         b.id = 2;
         return image({a, b});
       }},
      {"name_no_nul", "block and rom texts that fill their fields, without a NUL", nullptr,
       [] {
         blk b = boot();
         b.name = "ABCDEFGHIJKLMNOP";
         std::string img = image({b});
         std::memcpy(&img[36], "0123456789abcdef0123456789ABCDEF", 32);  // dev and oem name
         seal(img, 0, 128);
         std::memcpy(&img[128 + VERSION], "vvvvvvvvvvvvvvvvvvvvvvvv", 24);
         seal(img, 128, 128);
         return img;
       }},
      {"name_printf", "printf directives in the names and texts", nullptr,
       [] {
         blk b = boot();
         b.name = "%s%n%x%p%d%%";
         std::string img = image({b});
         std::memcpy(&img[36], "%s%s%s%s%s%s%n", 14);
         seal(img, 0, 128);
         std::memcpy(&img[128 + VERSION], "%99999999d%n", 12);
         seal(img, 128, 128);
         return img;
       }},
  };
  return r;
}

// ---------------------------------------------------------- the answers

// Bytes as text: printable ASCII and line ends as they are, anything else
// (and the backslash) escaped.
std::string escaped(const std::string &bytes) {
  std::string s;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      s += "\\\\";
    } else if (c == '\n' || (c >= 0x20 && c < 0x7F)) {
      s += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      s += buf;
    }
  }
  return s;
}

// The descriptor in "failed to Decode file,%m,%p,%d" depends on what else
// the process holds open (the test runner's descriptors, qemu-arm's): it is
// shown as "(fd)".
std::string without_fd(const std::string &text) {
  static const std::string prefix = "failed to Decode file,";
  std::string out;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(from, end - from);
    if (line.rfind(prefix, 0) == 0) {
      size_t status = line.rfind(',');
      size_t fd = status == std::string::npos ? status : line.rfind(',', status - 1);
      if (fd != std::string::npos && line.compare(fd + 1, 2, "0x") == 0)
        line.replace(fd + 1, status - fd - 1, "(fd)");
    }
    out += line;
    from = end;
  }
  return out;
}

// What a program printed, ending with a line end (noted when it lacked one).
std::string shown(const std::string &bytes) {
  std::string s = escaped(without_fd(bytes));
  if (!s.empty() && s.back() != '\n') s += "\n(no line end)\n";
  return s;
}

// Every file a run left in its folder: name, size and CRC-32, or what else
// it is (a folder, a link), sorted by name.
std::string files_in(const std::string &dir) {
  std::vector<std::string> lines;
  for (const auto &e : fs::recursive_directory_iterator(dir)) {
    std::string rel = fs::relative(e.path(), dir).string();
    if (rel == "img" || rel.rfind(SIM_STATE, 0) == 0) continue;
    std::string line = escaped(rel);
    if (e.is_symlink()) {
      line += " (link)";
    } else if (e.is_directory()) {
      line += " (folder)";
    } else {
      int fd = open(e.path().c_str(), O_RDONLY);
      uint32_t crc = 0;
      uint64_t size = 0;
      char buf[65536];
      for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0; size += static_cast<uint64_t>(n))
        crc = crc32_of(crc, buf, static_cast<size_t>(n));
      close(fd);
      char tail[64];
      std::snprintf(tail, sizeof tail, " %llu bytes crc32 0x%08x",
                    static_cast<unsigned long long>(size), crc);
      line += tail;
    }
    lines.push_back(line + "\n");
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string &l : lines) out += "  " + l;
  return out;
}

struct answer {
  std::string text;
  std::vector<int> statuses;  // one per command
};

// Runs every command on the image, each in a fresh folder inside an outer
// one, which must hold nothing else afterwards.
answer answers_for(const row &r, const std::string &img) {
  answer a;
  a.text = std::string("# ") + r.what + "\n";
  if (r.unseen)
    a.text += std::string("# exit 0 although blocks were left unseen: ") + r.unseen + "\n";
  for (const command &c : COMMANDS) {
    scratch_dir outer;
    std::string dir = outer / "run";
    fs::create_directory(dir);
    e2e::write_file(dir + "/img", img);
    std::vector<std::string> argv = c.words;
    argv[0] = e2e::bin(argv[0]);
    argv.push_back("img");
    e2e::run_result res = e2e::run(argv, dir);
    a.text += std::string("$ ") + c.shown + " img\n" + shown(res.out);
    if (!res.err.empty()) a.text += "stderr:\n" + shown(res.err);
    a.text += "exit " + std::to_string(res.status) + "\n";
    std::string files = files_in(dir);
    if (!files.empty()) a.text += "files:\n" + files;
    a.statuses.push_back(res.status);
    // The preflight's promise: a refusal changes nothing on the board, and
    // what it lets through installs.
    if (std::find(argv.begin(), argv.end(), "--preflight") != argv.end() && res.status != 0) {
      EXPECT_EQ(res.out.find("preflight: verdict=ok"), std::string::npos)
          << "the install failed after the preflight let the image through:\n"
          << res.out;
      std::string events = dir + "/" + SIM_STATE + "/events.log";
      EXPECT_TRUE(
          install_test::device_changes(e2e::file_exists(events) ? e2e::read_file(events) : "")
              .empty())
          << "the preflight refused the image after the board was changed";
    }
    std::vector<std::string> outside;
    for (const auto &e : fs::directory_iterator(outer.path())) {
      if (e.path() != dir) outside.push_back(e.path().filename());
    }
    EXPECT_TRUE(outside.empty()) << c.shown << " left " << outside.front() << " outside its folder";
  }
  return a;
}

std::string expected_path(const row &r) {
  return std::string(KORVANE_SOURCE_DIR) + "/tests/broken_images/" + r.name + ".txt";
}

class broken : public ::testing::TestWithParam<row> {};

TEST_P(broken, answers) {
  const row &r = GetParam();
  answer got = answers_for(r, r.make());
  if (r.unseen) {
    EXPECT_EQ(got.statuses.at(0), 0) << "an 'unseen' row must succeed under -i";
    EXPECT_EQ(got.statuses.back(), 1) << "the preflight must refuse an 'unseen' row";
  }

  const char *update = std::getenv("KORVANE_UPDATE_EXPECTED");
  if (update && *update == '1') {
    e2e::write_file(expected_path(r), got.text);
    return;
  }
  ASSERT_TRUE(e2e::file_exists(expected_path(r)))
      << expected_path(r) << " is missing; KORVANE_UPDATE_EXPECTED=1 writes it";
  EXPECT_EQ(got.text, e2e::read_file(expected_path(r)));
}

INSTANTIATE_TEST_SUITE_P(images, broken, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<row> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvane
