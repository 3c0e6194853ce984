// SPDX-License-Identifier: MIT
#include "rom/load.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <functional>
#include <string>

#include "rom/checksum.h"
#include "rom/layout.h"
#include "rom/result.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::scratch_dir;

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

int open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

// The header CRC as a writer computes it: over min(hsize, 128) bytes, hcrc zero.
uint32_t header_crc(const void *hdr) {
  alignas(4) uint8_t copy[ROM_HDR_SIZE];
  std::memcpy(copy, hdr, sizeof copy);
  std::memset(copy + HDR_HCRC_OFFSET, 0, 4);
  uint32_t hsize = reinterpret_cast<const rom_hdr *>(copy)->hsize.get();
  return crc32(0, copy, std::min(hsize, ROM_HDR_SIZE));
}

template <typename H>
std::string bytes_of(const H &h) {
  return std::string(reinterpret_cast<const char *>(&h), sizeof h);
}

rom_hdr good_rom() {
  rom_hdr h{};
  h.magic.set(ROM_MAGIC);
  h.hsize.set(ROM_HDR_SIZE);
  h.format.set(2);
  h.verify.set(0xFFFFFFFF);
  set_text_field(h.dev_name, "board");
  h.hcrc.set(header_crc(&h));
  return h;
}

blk_hdr good_blk() {
  blk_hdr h{};
  h.magic.set(BLK_MAGIC);
  h.hsize.set(ROM_HDR_SIZE);
  h.format.set(1);
  h.length.set(4);
  h.total.set(ROM_HDR_SIZE + 16);
  h.verify.set(0xFFFFFFFF);
  h.type.set(ROM_BLK_TYPE_NOR);
  set_text_field(h.name, "kernel");
  h.hcrc.set(header_crc(&h));
  return h;
}

struct open_case {
  const char *what;
  std::function<std::string()> file;  // nullptr: no file at all
  int result;
  std::function<std::string()> message;  // "PATH" stands for the file's path
  bool handed_out;
};

std::string with_path(std::string msg, const std::string &path) {
  for (size_t at; (at = msg.find("PATH")) != std::string::npos;) msg.replace(at, 4, path);
  return msg;
}

const open_case open_cases[] = {
    {"rom header, with a block after it",
     [] { return bytes_of(good_rom()) + bytes_of(good_blk()) + std::string(16, 'p'); },
     ROM_CHECK_ROM, [] { return std::string(); }, true},
    {"block file", [] { return bytes_of(good_blk()) + std::string(16, 'p'); }, ROM_CHECK_BLK,
     [] { return std::string(); }, true},
    {"bad magic: refused, but the descriptor is handed out",
     [] {
       rom_hdr h = good_rom();
       h.magic.set(0x12345678);
       return bytes_of(h);
     },
     ROM_CHECK_BAD_MAGIC, [] { return std::string("invalid magic=0x12345678\n"); }, true},
    {"rom header with an altered hcrc",
     [] {
       rom_hdr h = good_rom();
       h.hcrc.set(h.hcrc.get() ^ 0x10);
       return bytes_of(h);
     },
     RES_BAD,
     [] {
       uint32_t right = good_rom().hcrc.get();
       return fmt("invalid rom hdr crc,0x%08x!=0x%08x\nfailed to check file,PATH\n", right ^ 0x10,
                  right);
     },
     false},
    {"block header with an altered name",
     [] {
       blk_hdr h = good_blk();
       h.name[0] = 'K';
       return bytes_of(h);
     },
     RES_BAD,
     [] {
       blk_hdr h = good_blk();
       uint32_t stored = h.hcrc.get();
       h.name[0] = 'K';
       return fmt("invalid blk hdr crc,0x%08x!=0x%08x\nfailed to check file,PATH\n", stored,
                  header_crc(&h));
     },
     false},
    {"hsize 129 with 128 bytes read",
     [] {
       rom_hdr h = good_rom();
       h.hsize.set(129);
       return bytes_of(h) + std::string(64, '\0');
     },
     RES_FAULT, [] { return std::string("rom or block file too small,128<129\n"); }, true},
    {"hsize 0xFFFFFFFF",
     [] {
       blk_hdr h = good_blk();
       h.hsize.set(0xFFFFFFFF);
       return bytes_of(h);
     },
     RES_FAULT, [] { return std::string("rom or block file too small,128<-1\n"); }, true},
    {"hsize 0: the stored hcrc no longer matches a CRC over nothing",
     [] {
       rom_hdr h = good_rom();
       h.hsize.set(0);
       return bytes_of(h);
     },
     RES_BAD,
     [] {
       return fmt("invalid rom hdr crc,0x%08x!=0x00000000\nfailed to check file,PATH\n",
                  good_rom().hcrc.get());
     },
     false},
    {"file shorter than a header", [] { return bytes_of(good_rom()).substr(0, 127); }, RES_BAD,
     [] { return std::string("failed to read rom or block,size=128,Success,PATH\n"); }, false},
    {"empty file", [] { return std::string(); }, RES_BAD,
     [] { return std::string("failed to read rom or block,size=128,Success,PATH\n"); }, false},
    {"missing file", nullptr, RES_INVAL,
     [] { return std::string("failed to open rom or block,No such file or directory,PATH\n"); },
     false},
};

TEST(RomOpen, Fixtures) {
  scratch_dir dir;
  for (const open_case &c : open_cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir / "image.rom";
    unlink(path.c_str());
    std::string content;
    if (c.file) {
      content = c.file();
      e2e::write_file(path, content);
    }
    int before = open_fds();
    int fd = -1;
    uint64_t size = 0;
    testing::internal::CaptureStdout();
    int r = rom_open(path.c_str(), &fd, &size, O_RDONLY);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), with_path(c.message(), path));
    EXPECT_EQ(r, c.result);
    if (c.handed_out) {
      ASSERT_GT(fd, 0);
      EXPECT_EQ(size, content.size());
      EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 128);  // positioned after the first header
      EXPECT_EQ(rom_close(fd), 0);
    } else {
      EXPECT_EQ(fd, -1);
    }
    EXPECT_EQ(open_fds(), before);  // nothing left open

    // Without out arguments the descriptor is always closed.
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_open(path.c_str(), nullptr, nullptr, O_RDONLY), c.result);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(open_fds(), before);
  }
}

TEST(RomCheckHdr, LeavesHcrcZeroAndChecksOnlyHsizeBytes) {
  blk_hdr h = good_blk();
  EXPECT_EQ(rom_check_hdr(&h, sizeof h), ROM_CHECK_BLK);
  EXPECT_EQ(h.hcrc.get(), 0u);

  // A header of 64 bytes: what follows it is not covered by its CRC.
  blk_hdr small = good_blk();
  small.hsize.set(64);
  small.hcrc.set(header_crc(&small));
  small.reserved[10] = 0x55;
  EXPECT_EQ(rom_check_hdr(&small, 64), ROM_CHECK_BLK);

  testing::internal::CaptureStdout();
  small.hsize.set(65);
  EXPECT_EQ(rom_check_hdr(&small, 64), RES_FAULT);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rom or block file too small,64<65\n");
}

TEST(RomMap, MapsSharedAndWritesThrough) {
  scratch_dir dir;
  std::string path = dir / "image.rom";
  e2e::write_file(path, bytes_of(good_rom()) + std::string(32, 'a'));
  int before = open_fds();
  void *addr = nullptr;
  size_t len = 0;
  ASSERT_EQ(rom_map(path.c_str(), &addr, &len, PROT_READ | PROT_WRITE), ROM_CHECK_ROM);
  ASSERT_EQ(len, 160u);
  static_cast<char *>(addr)[150] = 'Z';
  EXPECT_EQ(rom_unmap(addr, len), 0);
  EXPECT_EQ(open_fds(), before);
  EXPECT_EQ(e2e::read_file(path)[150], 'Z');

  rom_hdr bad = good_rom();
  bad.hcrc.set(1);
  e2e::write_file(path, bytes_of(bad));
  addr = nullptr;
  testing::internal::CaptureStdout();
  EXPECT_EQ(rom_map(path.c_str(), &addr, &len, PROT_READ), RES_BAD);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("failed to check file,"),
            std::string::npos);
  EXPECT_EQ(addr, nullptr);
  EXPECT_EQ(open_fds(), before);

  testing::internal::CaptureStdout();
  EXPECT_EQ(rom_map((dir / "none").c_str(), &addr, &len, PROT_READ), RES_BAD);
  testing::internal::GetCapturedStdout();
}

// rom_verify_blk: a block file with a payload of `stored` bytes, verified
// for `length` bytes.
struct verify_case {
  const char *what;
  uint32_t kind;
  uint32_t stored;  // payload bytes present in the file
  uint32_t length;  // payload length claimed
  bool wrong_value;
  bool write_only;  // a descriptor that cannot be read
  int result;
  std::string message;  // "VALUE" stands for the right value of `length` bytes
};

uint32_t payload_value(uint32_t kind, const std::string &payload, uint32_t n) {
  std::string copy = payload.substr(0, n);
  std::vector<uint32_t> aligned(n / 4 + 1);
  std::memcpy(aligned.data(), copy.data(), n);
  return kind == ROM_VERIFY_CRC ? crc32(0, aligned.data(), n) : sum32(0, aligned.data(), n);
}

TEST(RomVerifyBlk, Cases) {
  const verify_case cases[] = {
      {"crc over several chunks", ROM_VERIFY_CRC, 200000, 200000, false, false, 0, ""},
      {"checksum", ROM_VERIFY_CHECKSUM, 1000, 1000, false, false, 0, ""},
      {"crc of part of what follows", ROM_VERIFY_CRC, 1000, 999, false, false, 0, ""},
      {"crc mismatch", ROM_VERIFY_CRC, 70000, 70000, true, false, RES_FAULT,
       "invalid verify,0xVALUE!=0xWRONG\n"},
      {"checksum mismatch", ROM_VERIFY_CHECKSUM, 10, 10, true, false, RES_FAULT,
       "invalid verify,0xVALUE!=0xWRONG\n"},
      {"verify kind 0x300 reads nothing", 0x300, 10, 10, true, true, 0, ""},
      {"verify kind 0 reads nothing", 0, 10, 10, true, true, 0, ""},
      {"length 0 with crc verifies against 0", ROM_VERIFY_CRC, 0, 0, false, false, 0, ""},
      {"length 0 against another value", ROM_VERIFY_CRC, 0, 0, true, false, RES_FAULT,
       "invalid verify,0x00000000!=0xWRONG\n"},
      {"payload ends early", ROM_VERIFY_CRC, 70000, 140000, false, false, RES_FAULT,
       "verify payload is short,70000<140000\n"},
      {"payload missing", ROM_VERIFY_CHECKSUM, 0, 16, false, false, RES_FAULT,
       "verify payload is short,0<16\n"},
      {"read fails", ROM_VERIFY_CRC, 16, 16, false, true, RES_FAULT,
       "failed to read verify file,payload is short,0<16,Bad file descriptor\n"},
  };
  scratch_dir dir;
  std::string payload;
  for (uint32_t i = 0; i < 200000; ++i) payload += static_cast<char>((i * 131 + i / 7) & 0xFF);
  for (const verify_case &c : cases) {
    SCOPED_TRACE(c.what);
    blk_hdr h = good_blk();
    h.flags.set(c.kind | ROM_FLAG_FORCE);
    h.length.set(c.length);
    uint32_t right = (c.kind == ROM_VERIFY_CRC || c.kind == ROM_VERIFY_CHECKSUM)
                         ? payload_value(c.kind, payload, std::min(c.stored, c.length))
                         : 0;
    uint32_t wrong = right ^ 0x01000001;
    h.verify.set(c.wrong_value ? wrong : right);
    std::string path = dir / "blk";
    e2e::write_file(path, bytes_of(h) + payload.substr(0, c.stored));
    int fd = open(path.c_str(), c.write_only ? O_WRONLY : O_RDONLY);
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rom_verify_blk(&h, fd, ROM_HDR_SIZE, c.length), c.result);
    std::string want = c.message;
    if (size_t at = want.find("VALUE"); at != std::string::npos)
      want.replace(at, 5, fmt("%08x", right));
    if (size_t at = want.find("WRONG"); at != std::string::npos)
      want.replace(at, 5, fmt("%08x", wrong));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), want);
    close(fd);
  }
}

TEST(RomVerifyBlk, SeekFailure) {
  blk_hdr h = good_blk();
  h.flags.set(ROM_VERIFY_CRC);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(rom_verify_blk(&h, fds[0], 128, 4), RES_FAULT);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to seek verify file,Illegal seek\n");
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace korvane
