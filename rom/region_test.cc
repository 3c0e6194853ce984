// SPDX-License-Identifier: MIT
#include "rom/region.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "rom/result.h"

namespace korvane {
namespace {

// A memory-backed file holding the given bytes.
int mem_file(const std::string &bytes) {
  int fd = memfd_create("region", 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  return fd;
}

std::string contents(int fd) {
  std::string s(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(pread(fd, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
  return s;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

int xor_5a(uint8_t *buf, int n) {
  for (int i = 0; i < n; ++i) buf[i] ^= 0x5A;
  return n;
}

TEST(CopyRegion, CopiesInChunksAtTheDestinationPosition) {
  std::string src_bytes = pattern(150000);
  int src = mem_file(src_bytes);
  int dst = mem_file("head");  // the copy goes on from the current position
  EXPECT_EQ(copy_region(src, 1000, 140000, dst, 65536, nullptr), 140000);
  EXPECT_EQ(contents(dst), "head" + src_bytes.substr(1000, 140000));
  close(src);
  close(dst);
}

TEST(CopyRegion, TransformsEveryChunk) {
  std::string src_bytes = pattern(70001);
  int src = mem_file(src_bytes);
  int dst = mem_file("");
  EXPECT_EQ(copy_region(src, 0, 70001, dst, 65536, xor_5a), 70001);
  std::string want = src_bytes;
  for (char &c : want) c ^= 0x5A;
  EXPECT_EQ(contents(dst), want);
  close(src);
  close(dst);
}

TEST(CopyRegion, SourceEndingEarlyGivesWhatWasWritten) {
  std::string src_bytes = pattern(1000);
  int src = mem_file(src_bytes);
  int dst = mem_file("");
  testing::internal::CaptureStdout();
  EXPECT_EQ(copy_region(src, 900, 5000, dst, 64, nullptr), 100);
  EXPECT_EQ(copy_region(src, 5000, 10, dst, 64, nullptr), 0);  // starts past the end
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(contents(dst), src_bytes.substr(900));
  close(src);
  close(dst);
}

TEST(CopyRegion, Failures) {
  int src = mem_file(pattern(100));
  int dst = mem_file("");
  int ro = open("/dev/null", O_RDONLY);
  int wo = open("/dev/null", O_WRONLY);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(copy_region(src, 0, 100, ro, 64, nullptr), RES_FAULT);
  EXPECT_EQ(copy_region(wo, 0, 100, dst, 64, nullptr), RES_FAULT);
  EXPECT_EQ(copy_region(fds[0], 0, 100, dst, 64, nullptr), RES_FAULT);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "failed to write copy file,Bad file descriptor\n"
            "failed to read copy file,Bad file descriptor\n"
            "failed to seek copy file,Illegal seek\n");
  // A transform claiming more bytes than the chunk holds writes nothing.
  auto overlong = [](uint8_t *, int n) { return n + 1; };
  EXPECT_EQ(copy_region(src, 0, 64, dst, 64, overlong), RES_FAULT);
  EXPECT_EQ(contents(dst), "");
  for (int fd : {src, dst, ro, wo, fds[0], fds[1]}) close(fd);
}

// A sink that gathers the pieces in a buffer of its own names the place to
// read them to: they arrive there, in order, and nothing else is allocated
// for them.
TEST(ReadRegion, ASinkWithRoomGetsThePiecesReadInPlace) {
  struct gather {
    std::string buf = std::string(200000, '\0');
    size_t fill = 0;
    int in_place = 0, pieces = 0;
  } g;
  region_sink sink;
  sink.ctx = &g;
  sink.room = [](void *ctx, uint32_t) {
    auto &g = *static_cast<gather *>(ctx);
    return reinterpret_cast<uint8_t *>(g.buf.data() + g.fill);
  };
  sink.put = [](void *ctx, const uint8_t *p, int n) {
    auto &g = *static_cast<gather *>(ctx);
    ++g.pieces;
    if (p == reinterpret_cast<uint8_t *>(g.buf.data() + g.fill)) ++g.in_place;
    g.fill += static_cast<size_t>(n);
    return n;
  };
  std::string src_bytes = pattern(150000);
  int src = mem_file(src_bytes);
  region_result r = read_region(src, 100, 140000, 65536, xor_5a, sink);
  EXPECT_EQ(r.end, region_end::done);
  EXPECT_EQ(r.read, 140000u);
  EXPECT_EQ(r.put, 140000u);
  EXPECT_EQ(g.pieces, 3);
  EXPECT_EQ(g.in_place, 3);
  std::string want = src_bytes.substr(100, 140000);
  for (char &c : want) c ^= 0x5A;
  EXPECT_EQ(g.buf.substr(0, g.fill), want);
  // The source ending early: what was taken, and why it stopped.
  r = read_region(src, 149000, 5000, 65536, nullptr, sink);
  EXPECT_EQ(r.end, region_end::short_source);
  EXPECT_EQ(r.read, 1000u);
  close(src);
}

}  // namespace
}  // namespace korvane
