// SPDX-License-Identifier: MIT
// korvane-mkrom under interruption: a file-size limit, SIGKILL at many
// points, images left damaged by an interrupted write. Whatever happens, the
// image is the one before the command or the one after it, and the next
// add works.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::bin;
using e2e::file_exists;
using e2e::pattern;
using e2e::read_file;
using e2e::run_result;
using e2e::scratch_dir;
using e2e::write_file;
using testing::HasSubstr;
using testing::UnorderedElementsAreArray;

constexpr const char *PRLIMIT = "/usr/bin/prlimit";

run_result mkrom(std::vector<std::string> args) {
  args.insert(args.begin(), bin("korvane-mkrom"));
  return e2e::run(args);
}

run_result info(const std::string &img) { return e2e::run({bin("korvane"), "-i", img}); }

uint32_t get_be(const std::string &s, size_t off) {
  auto *p = reinterpret_cast<const uint8_t *>(s.data()) + off;
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
void set_be(std::string &s, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[off + i] = static_cast<char>(v >> (24 - 8 * i));
}
void reseal(std::string &s) {
  std::string h = s.substr(0, 128);
  std::memset(h.data() + 8, 0, 4);
  set_be(s, 8, e2e::reference_crc32(h.data(), 128));
}

std::vector<std::string> listing(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  return names;
}

// The header counts exactly the blocks korvane finds: its length reaches the
// end of the file, and the walk from it meets `blocks` blocks that end there.
void expect_header_agrees(const std::string &img, uint32_t blocks) {
  std::string s = read_file(img);
  ASSERT_GE(s.size(), 128u);
  EXPECT_EQ(get_be(s, 20), s.size() - 128) << "rom length";
  EXPECT_EQ(get_be(s, 28), blocks);
  uint64_t at = 128;
  uint32_t n = 0;
  while (at + 128 <= s.size() && n <= blocks) {
    at += get_be(s, at + 24);
    ++n;
  }
  EXPECT_EQ(at, s.size());
  EXPECT_EQ(n, blocks);
  run_result r = info(img);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("rom blocks      :" + std::to_string(blocks) + "\n"));
  EXPECT_THAT(r.out, HasSubstr("============block " + std::to_string(blocks - 1) + "="));
  EXPECT_EQ(r.out.find("============block " + std::to_string(blocks) + "="), std::string::npos);
}

struct crash_fixture : testing::Test {
  scratch_dir dir;
  std::string img = dir / "a.rom";

  // A 300,256-byte image: the header and one block of 300,000 bytes.
  void make_image() {
    write_file(dir / "first", pattern(300000, 1));
    ASSERT_EQ(mkrom({"create", img}).status, 0);
    run_result r = mkrom({"add", img, dir / "first", "-t", "bin", "-p", "none", "--name", "first"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(read_file(img).size(), 300256u);
  }
};

// Under a file-size limit the write fails instead of the process being
// killed by SIGXFSZ (status 153): the image is the one before, nothing is
// left beside it, and the next add works.
TEST_F(crash_fixture, FileSizeLimit) {
  if (!file_exists(PRLIMIT)) GTEST_SKIP() << "no prlimit";
  make_image();
  write_file(dir / "in.bin", pattern(300000, 2));
  std::string before = read_file(img);
  std::string shown = info(img).out;
  std::vector<std::string> files = listing(dir.path());

  run_result r = e2e::run({PRLIMIT, "--fsize=400000", bin("korvane-mkrom"), "add", img,
                           dir / "in.bin", "-t", "bin", "-p", "none", "--name", "second"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("File too large"));
  EXPECT_EQ(r.out.find("File too large"), std::string::npos);
  EXPECT_TRUE(read_file(img) == before);
  EXPECT_EQ(info(img).out, shown);
  EXPECT_THAT(listing(dir.path()), UnorderedElementsAreArray(files));

  r = mkrom({"add", img, dir / "in.bin", "-t", "bin", "-p", "none", "--name", "second"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_header_agrees(img, 2);

  // A block file under the limit: no OUT, and no temporary file left.
  r = e2e::run({PRLIMIT, "--fsize=100000", bin("korvane-mkrom"), "block", dir / "out.blk",
                dir / "in.bin", "-t", "bin", "-p", "none"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("File too large"));
  EXPECT_FALSE(file_exists(dir / "out.blk"));
  EXPECT_THAT(listing(dir.path()), UnorderedElementsAreArray(files));
}

// What an interrupted write of an older korvane-mkrom left: the image, then
// the first part of a block that the header does not count. The next add
// takes the cut-off block back and appends a block that korvane reaches.
TEST_F(crash_fixture, AddAfterACutOffBlock) {
  make_image();
  write_file(dir / "in.bin", pattern(300000, 2));
  write_file(dir / "next", pattern(5000, 3));
  ASSERT_EQ(mkrom({"block", dir / "blk", dir / "in.bin", "-t", "bin", "-p", "none"}).status, 0);
  std::string good = read_file(img);
  for (size_t cut : {size_t{1}, size_t{127}, size_t{128}, size_t{99744}}) {
    SCOPED_TRACE(cut);
    write_file(img, good + read_file(dir / "blk").substr(0, cut));
    run_result r = mkrom({"add", img, dir / "next", "-t", "bin", "-p", "none", "--name", "next"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr(std::to_string(cut) + " bytes"));
    expect_header_agrees(img, 2);
    std::string s = read_file(img);
    EXPECT_TRUE(s.substr(128, good.size() - 128) == good.substr(128));
    EXPECT_EQ(s.substr(good.size() + 40, 4), "next");
    EXPECT_THAT(info(img).out, HasSubstr("blk name        :next\n"));
  }
}

// Header and file that disagree in any other way: refused, never appended to.
TEST_F(crash_fixture, DisagreementsAreRefused) {
  make_image();
  write_file(dir / "next", pattern(5000, 3));
  ASSERT_EQ(mkrom({"block", dir / "blk", dir / "next", "-t", "bin", "-p", "none"}).status, 0);
  std::string good = read_file(img), blk = read_file(dir / "blk");
  std::string more_blocks = good, less_length = good;
  set_be(more_blocks, 28, 2);
  reseal(more_blocks);
  set_be(less_length, 20, get_be(good, 20) - 16);
  reseal(less_length);
  struct row {
    const char *what;
    std::string image;
    const char *says;
  } rows[] = {
      {"cut short", good.substr(0, good.size() - 1000), "shorter than its header says"},
      {"a whole block the header does not count", good + blk, "a whole block"},
      {"a block count that lies", more_blocks, "header counts 2 blocks"},
      {"a length that ends inside a block", less_length + std::string(16, '\0'),
       "do not end where its header says"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.what);
    write_file(img, c.image);
    run_result r = mkrom({"add", img, dir / "next", "-t", "bin", "-p", "none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(c.says));
    EXPECT_THAT(r.err, HasSubstr("not appending"));
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(read_file(img) == c.image);
  }
}

// Runs a program with its output thrown away and SIGKILLs it after `delay`
// (if it is still running then). @return true when the kill found it running.
bool run_killed_after(const std::vector<std::string> &argv, std::chrono::microseconds delay) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  timespec ts{static_cast<time_t>(delay.count() / 1000000),
              static_cast<long>(delay.count() % 1000000) * 1000};
  nanosleep(&ts, nullptr);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// SIGKILL at points spread over a large add (and a large block): every
// outcome is the image before or the image after, byte for byte, with
// nothing left beside it, and the next add works.
TEST_F(crash_fixture, KilledAtManyPoints) {
  write_file(dir / "base-in", pattern(1 << 20, 4));
  write_file(dir / "big", pattern(8 << 20, 5));
  write_file(dir / "small", pattern(3000, 6));
  std::string base = dir / "base.rom", want = dir / "want.rom";
  ASSERT_EQ(mkrom({"create", base}).status, 0);
  ASSERT_EQ(mkrom({"add", base, dir / "base-in", "-t", "bin", "-p", "none"}).status, 0);
  std::string before = read_file(base);
  std::vector<std::string> add = {
      bin("korvane-mkrom"), "add", img, dir / "big", "-t", "bin", "-p", "none", "--name", "big"};
  // The uninterrupted result, and how long it takes.
  write_file(img, before);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(e2e::run(add).status, 0);
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  std::string after = read_file(img);
  std::rename(img.c_str(), want.c_str());
  std::vector<std::string> files = listing(dir.path());
  files.push_back("a.rom");

  constexpr int POINTS = 16;
  int old_seen = 0, new_seen = 0, killed = 0;
  for (int k = 0; k < POINTS; ++k) {
    SCOPED_TRACE(k);
    write_file(img, before);
    killed += run_killed_after(add, took * k / POINTS);
    std::string s = read_file(img);
    bool is_old = s == before, is_new = s == after;
    EXPECT_TRUE(is_old || is_new) << "an image of " << s.size() << " bytes";
    old_seen += is_old;
    new_seen += is_new;
    EXPECT_THAT(listing(dir.path()), UnorderedElementsAreArray(files));
    run_result r = mkrom({"add", img, dir / "small", "-t", "bin", "-p", "none"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_header_agrees(img, is_new ? 3 : 2);
  }
  RecordProperty("killed", killed);
  RecordProperty("old", old_seen);
  RecordProperty("new", new_seen);
  EXPECT_GT(killed, 0);

  // A block file: OUT is whole or absent, and nothing else is left.
  std::vector<std::string> block = {
      bin("korvane-mkrom"), "block", dir / "out.blk", dir / "big", "-t", "bin", "-p", "none"};
  std::remove(img.c_str());
  files.pop_back();
  std::string whole;
  for (int k = 0; k < POINTS / 2; ++k) {
    SCOPED_TRACE(k);
    run_killed_after(block, took * k / (POINTS / 2));
    if (file_exists(dir / "out.blk")) {
      std::string s = read_file(dir / "out.blk");
      if (whole.empty()) {
        ASSERT_EQ(
            mkrom({"block", dir / "whole.blk", dir / "big", "-t", "bin", "-p", "none"}).status, 0);
        whole = read_file(dir / "whole.blk");
        std::remove((dir / "whole.blk").c_str());
      }
      EXPECT_TRUE(s == whole) << "a block file of " << s.size() << " bytes";
      std::remove((dir / "out.blk").c_str());
    }
    EXPECT_THAT(listing(dir.path()), UnorderedElementsAreArray(files));
  }
}

}  // namespace
}  // namespace korvane
