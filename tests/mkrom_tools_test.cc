// SPDX-License-Identifier: MIT
// korvane-mkrom's reading subcommands (list, extract, check), input from
// standard input, the same-id rule and the progress line.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
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
using nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

run_result mkrom(std::vector<std::string> args) {
  args.insert(args.begin(), bin("korvane-mkrom"));
  return e2e::run(args);
}

// Runs a program with `input` on its standard input (a pipe); with a
// terminal as standard error when tty is set.
run_result run_with(const std::vector<std::string> &argv, const std::string &input,
                    bool tty = false) {
  int in[2], out[2], err[2] = {-1, -1};
  if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
  int master = -1;
  if (tty) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
      throw std::runtime_error("pty");
    err[1] = open(ptsname(master), O_RDWR | O_NOCTTY);
    err[0] = master;
  } else if (pipe(err) != 0) {
    throw std::runtime_error("pipe");
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(in[1]);
    close(out[0]);
    close(err[0]);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  std::thread feeder([&] {
    size_t done = 0;
    while (done < input.size()) {
      ssize_t n = write(in[1], input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(in[1]);
  });
  run_result r{};
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;  // a terminal reads EIO once the program is gone
        --open_count;
      }
    }
  }
  feeder.join();
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// Runs with a little noise between them: compressible, and fits every encoder.
std::string firmware_like(size_t n, unsigned seed) {
  std::string s, noise = pattern(50 * 64, seed);
  uint32_t x = seed;
  for (size_t k = 0; s.size() < n; ++k) {
    x = x * 1103515245u + 12345u;
    if ((x >> 16) % 3) s.append(1 + (x >> 8) % 200, static_cast<char>(x >> 24));
    else s.append(noise.substr((k % 64) * 50, 50));
  }
  s.resize(n);
  return s;
}

uint32_t get_be(const std::string &s, size_t off) {
  auto *p = reinterpret_cast<const uint8_t *>(s.data()) + off;
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

struct tools_fixture : testing::Test {
  scratch_dir dir;
  std::string img = dir / "img.rom";

  void SetUp() override { ASSERT_EQ(mkrom({"create", img, "--dev-name", "board"}).status, 0); }
  void add(std::vector<std::string> args) {
    args.insert(args.begin(), {"add", img});
    run_result r = mkrom(args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

// "-" and a named pipe are read from end to end; the block is the one the
// same bytes in a file give.
TEST_F(tools_fixture, InputFromStandardInputAndPipes) {
  std::string data = firmware_like(200000, 1);
  write_file(dir / "in", data);
  run_result r = run_with({bin("korvane-mkrom"), "block", dir / "from-file", dir / "in", "-t",
                           "bin", "-p", "c1", "--offset", "7"},
                          "");
  ASSERT_EQ(r.status, 0) << r.err;
  r = run_with({bin("korvane-mkrom"), "block", dir / "from-stdin", "-", "-t", "bin", "-p", "c1",
                "--offset", "7"},
               data);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(r.out, StartsWith("blk magic"));
  EXPECT_TRUE(read_file(dir / "from-stdin") == read_file(dir / "from-file"));

  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::thread writer([&] { write_file(dir / "fifo", data); });
  r = run_with(
      {bin("korvane-mkrom"), "add", img, dir / "fifo", "-t", "bin", "-p", "c1", "--offset", "7"},
      "");
  writer.join();
  ASSERT_EQ(r.status, 0) << r.err;
  std::string s = read_file(img);
  EXPECT_TRUE(s.substr(128) == read_file(dir / "from-file"));

  // An empty standard input is an empty block; an offset past it is refused.
  r = run_with({bin("korvane-mkrom"), "add", img, "-", "-t", "bin", "-p", "none"}, "");
  EXPECT_EQ(r.status, 0) << r.err;
  r = run_with({bin("korvane-mkrom"), "add", img, "-", "-t", "bin", "-p", "none", "--offset", "9"},
               "12345678");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "korvane-mkrom add: --offset 9 is past the end of standard input (8 bytes)\n");
  // Nothing was left in the temporary folder by the buffering: the image
  // counts its three blocks.
  EXPECT_EQ(get_be(read_file(img), 28), 2u);
}

// Two flash blocks for one partition: the second would replace the first
// on the board, so add refuses it unless told.
TEST_F(tools_fixture, SameFlashIdIsRefused) {
  write_file(dir / "in", pattern(3000, 2));
  add({dir / "in", "-t", "nand-raw", "-p", "none", "--id", "3", "--name", "kernel"});
  add({dir / "in", "-t", "bin", "-p", "none", "--id", "3"});  // not a flash block
  std::string before = read_file(img);
  for (const char *type : {"nand-raw", "nand-oob", "nor"}) {
    run_result r = mkrom({"add", img, dir / "in", "-t", type, "-p", "c1", "--id", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvane-mkrom add: " + img +
                         ": block 0 ('kernel', nand-raw at offset 128) already goes to mtd3: a "
                         "second flash block for it would replace the first on the board "
                         "(--allow-same-id adds it anyway); not appending\n");
    EXPECT_EQ(r.out, "");  // refused before anything was built
    EXPECT_TRUE(read_file(img) == before);
  }
  add({dir / "in", "-t", "nor", "-p", "none", "--id", "4"});
  add({dir / "in", "-t", "nor", "-p", "none", "--id", "3", "--allow-same-id"});
  EXPECT_EQ(get_be(read_file(img), 28), 4u);
  // block has no image to compare with, and no such option.
  EXPECT_EQ(
      mkrom({"block", dir / "b", dir / "in", "-t", "nor", "-p", "none", "--allow-same-id"}).status,
      2);
}

// The library's notices go to standard error with the rest of what
// korvane-mkrom says; the summary stays on standard output.
TEST_F(tools_fixture, NoticesOnStandardError) {
  write_file(dir / "in", pattern(3000, 2));
  run_result r = mkrom({"add", img, dir / "in", "-t", "bin", "-p", "AES"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "korvane-mkrom add: " + dir / "in" +
                       ": ROM_BLK_CT_AES NOT support just now,reset to none!\n");
  EXPECT_THAT(r.out, StartsWith("blk magic       :0xeb9f56c9\n"));
  EXPECT_THAT(r.out, HasSubstr("blk version     :\n"));
  EXPECT_EQ(r.out.find("AES"), std::string::npos);
}

struct cypher_case {
  const char *word, *name;
  size_t offset;
};
const cypher_case CYPHERS[] = {
    {"none", "none", 0},      {"c1", "cypher1", 0}, {"c2", "cypher2", 0}, {"c3", "cypher3", 5},
    {"c4", "cypher4", 70000}, {"AES", "none", 0},   {"DES", "none", 1},
};

// add then extract --decode gives the input back for every cypher; without
// --decode the payload as stored, with --header the block as a block file.
TEST_F(tools_fixture, ExtractRoundTripsEveryCypher) {
  std::string data = firmware_like(150000, 3);
  write_file(dir / "in", data);
  for (const cypher_case &c : CYPHERS)
    add({dir / "in", "-t", "bin", "-p", c.word, "--offset", std::to_string(c.offset), "--name",
         c.word, "-f", "crc"});
  std::string s = read_file(img);
  uint64_t at = 128;
  for (size_t i = 0; i < std::size(CYPHERS); ++i) {
    SCOPED_TRACE(CYPHERS[i].word);
    std::string index = std::to_string(i), out = dir / "out";
    run_result r = mkrom({"extract", img, index, out, "--decode"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(read_file(out) == data.substr(CYPHERS[i].offset)) << read_file(out).size();
    ASSERT_EQ(mkrom({"extract", img, index, out}).status, 0);
    EXPECT_TRUE(read_file(out) == s.substr(at + 128, get_be(s, at + 20)));
    ASSERT_EQ(mkrom({"extract", img, index, out, "--header"}).status, 0);
    EXPECT_TRUE(read_file(out) == s.substr(at, get_be(s, at + 24)));
    run_result info = e2e::run({bin("korvane"), "-i", out, "-f", "crc"});
    EXPECT_EQ(info.status, 0);
    EXPECT_THAT(info.out, HasSubstr("blk good verify"));
    // To standard output.
    r = mkrom({"extract", img, index, "-", "--decode"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == data.substr(CYPHERS[i].offset));
    at += get_be(s, at + 24);
  }
  // Mistakes and failures: OUT is never left half written.
  write_file(dir / "out", "old");
  std::string bad = s;
  uint64_t c2 = 128 + get_be(s, 128 + 24);
  c2 += get_be(s, c2 + 24);    // block 2, cypher2
  bad[c2 + 128 + 60] ^= 0x40;  // inside its segments
  write_file(dir / "bad.rom", bad);
  struct row {
    std::vector<std::string> args;
    int status;
    std::string says;
  } rows[] = {
      {{"extract", img, "7", dir / "out"},
       1,
       "korvane-mkrom extract: " + img + " has 7 blocks; there is no block 7\n"},
      {{"extract", img, "x", dir / "out"}, 2, "INDEX needs a block number"},
      {{"extract", img, "0", dir / "out", "--decode", "--header"}, 2, "exclude each other"},
      {{"extract", img, "0"}, 2, "missing OUT"},
      {{"extract", dir / "bad.rom", "2", dir / "out", "--decode"},
       1,
       "korvane-mkrom extract: cannot extract block 2 decoded into " + dir / "out" + ": "},
      {{"extract", dir / "in", "0", dir / "out"}, 1, "not a rom image or block file"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    run_result r = mkrom(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_THAT(r.err, HasSubstr(c.says));
    EXPECT_TRUE(read_file(dir / "out") == "old");
  }
}

TEST_F(tools_fixture, ListShowsEveryBlockAndItsChecks) {
  std::string data = firmware_like(80000, 4);
  write_file(dir / "in", data);
  for (const cypher_case &c : CYPHERS)
    add({dir / "in", "-t", "nor", "-p", c.word, "--offset", std::to_string(c.offset), "--name",
         c.word, "--version", "v1", "--id", "1", "-f", "checksum", "--allow-same-id"});
  std::string s = read_file(img);
  // One flipped payload byte in block 1 and one header byte in block 2.
  uint64_t b1 = 128 + get_be(s, 128 + 24), b2 = b1 + get_be(s, b1 + 24);
  std::string damaged = s;
  damaged[b1 + 128 + 20] ^= 1;
  damaged[b2 + 60] ^= 1;  // its version text
  write_file(dir / "damaged.rom", damaged);

  run_result r = mkrom({"list", dir / "damaged.rom", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  json doc = json::parse(r.out);
  EXPECT_EQ(doc["format"], "korvane-mkrom list");
  EXPECT_EQ(doc["version"], 1);
  EXPECT_EQ(doc["kind"], "rom");
  EXPECT_EQ(doc["size"], s.size());
  EXPECT_EQ(doc["rom"]["dev_name"], "board");
  EXPECT_EQ(doc["rom"]["blocks"], std::size(CYPHERS));
  EXPECT_EQ(doc["rom"]["hcrc_ok"], true);
  EXPECT_EQ(doc["rom"]["agrees"], true);
  EXPECT_EQ(doc["walk"]["stopped"], "end of file");
  ASSERT_EQ(doc["blocks"].size(), std::size(CYPHERS));
  uint64_t at = 128;
  for (size_t i = 0; i < std::size(CYPHERS); ++i) {
    SCOPED_TRACE(i);
    const json &b = doc["blocks"][i];
    EXPECT_EQ(b["index"], i);
    EXPECT_EQ(b["offset"], at);
    EXPECT_EQ(b["type_name"], "nor-raw");
    EXPECT_EQ(b["cypher_name"], CYPHERS[i].name);
    EXPECT_EQ(b["id"], 1);
    EXPECT_EQ(b["name"], CYPHERS[i].word);
    EXPECT_EQ(b["stored_size"], get_be(s, at + 20));
    EXPECT_EQ(b["decoded_size"], data.size() - CYPHERS[i].offset);
    EXPECT_EQ(b["check"], "checksum");
    EXPECT_EQ(b["hcrc_ok"], i != 2);
    EXPECT_EQ(b["payload_ok"], i != 1);
    EXPECT_EQ(b["complete"], true);
    at += get_be(s, at + 24);
  }

  r = mkrom({"list", img});
  ASSERT_EQ(r.status, 0);
  EXPECT_THAT(r.out, StartsWith(img + ": rom image, " + std::to_string(s.size()) +
                                " bytes\n"
                                "rom: hsize 128, hcrc 0x"));
  EXPECT_THAT(r.out, HasSubstr("index     offset type     cypher          id     stored    "
                               "decoded check    hcrc payload name / version\n"
                               "    0        128 nor-raw  none             1      80000      "
                               "80000 checksum good good    none / v1\n"));

  // A block file, cut short, and a file that is neither.
  std::string blk = s.substr(128, get_be(s, 128 + 24));
  write_file(dir / "cut.blk", blk.substr(0, blk.size() - 100));
  doc = json::parse(mkrom({"list", dir / "cut.blk", "--json"}).out);
  EXPECT_EQ(doc["kind"], "block");
  EXPECT_TRUE(doc["rom"].is_null());
  EXPECT_EQ(doc["blocks"][0]["complete"], false);
  EXPECT_EQ(doc["blocks"][0]["payload_ok"], false);
  r = mkrom({"list", dir / "in"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, StartsWith("korvane-mkrom list: " + dir / "in" +
                                ": not a rom image or block file (magic 0x"));
}

TEST_F(tools_fixture, CheckNamesEveryProblemForTheBoard) {
  write_file(dir / "board",
             "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2,5\n"
             "mtd1 nor size=256K erase=64K\n"
             "mtd2 nand size=1M erase=128K page=4096 oob=128\n"
             "mtd3 nand size=512K erase=16K page=512 oob=16\n"
             "mtd4 nor size=64K erase=64K missing\n"
             "mtd5 nor size=64K erase=64K read-only\n");
  // 6 good erase blocks of 128 KiB on mtd0: 786,432 bytes.
  write_file(dir / "fits", firmware_like(786432, 5));
  write_file(dir / "small", pattern(5000, 6));
  write_file(dir / "nor", pattern(200000, 7));
  add({dir / "fits", "-t", "nand-raw", "-p", "c1", "--id", "0", "--name", "kernel", "-f", "crc"});
  add({dir / "small", "-t", "nor", "-p", "c2", "--id", "1", "--name", "env"});
  add({dir / "small", "-t", "file", "-p", "none", "--id", "9", "--name", "notes"});
  run_result r = mkrom({"check", img, "--board", dir / "board"});
  EXPECT_EQ(r.status, 0) << r.err;
  // Then the room each partition has left, the missing one left out.
  EXPECT_EQ(r.out, img + ": 2 flash blocks fit " + dir / "board" + "\n" +
                       "mtd0: 6 of 6 good erase blocks used by 'kernel', 0 left (0 bytes, 0.0%)\n"
                       "mtd1: 1 of 4 good erase blocks used by 'env', 3 left (196608 bytes, "
                       "75.0%)\n"
                       "mtd2: no flash block, 8 good erase blocks, 8 left (1048576 bytes, 100.0%)\n"
                       "mtd3: no flash block, 32 good erase blocks, 32 left (524288 bytes, "
                       "100.0%)\n"
                       "mtd5: no flash block, 1 good erase blocks, 1 left (65536 bytes, 100.0%)\n");
  EXPECT_EQ(r.err, "");
  json doc = json::parse(mkrom({"check", img, "--board", dir / "board", "--json"}).out);
  EXPECT_EQ(doc["fits"], true);
  EXPECT_EQ(doc["flash_blocks"], 2);
  EXPECT_EQ(doc["problems"], json::array());
  ASSERT_EQ(doc["partitions"].size(), 5u);
  const json &nor = doc["partitions"][1];
  EXPECT_EQ(nor["mtd"], 1);
  EXPECT_EQ(nor["type"], "nor");
  EXPECT_EQ(nor["block"]["name"], "env");
  EXPECT_EQ(nor["block"]["erase_blocks_used"], 1);
  EXPECT_EQ(nor["left"], 3);
  EXPECT_EQ(nor["left_bytes"], 196608);
  EXPECT_EQ(nor["left_percent"], 75.0);
  EXPECT_TRUE(doc["partitions"][2]["block"].is_null());
  EXPECT_EQ(doc["partitions"][0]["bad"], 2);
  EXPECT_EQ(doc["partitions"][0]["good"], 6);
  // With block-align the 5,000 bytes of env take a whole 64 KiB erase block: still fits.
  EXPECT_EQ(mkrom({"check", img, "--board", dir / "board", "-a", "block-align,pad=0x00"}).status,
            0);

  std::string good = read_file(img);
  add({dir / "small", "-t", "nand-raw", "-p", "none", "--id", "2", "--name", "geom"});
  add({dir / "nor", "-t", "nor", "-p", "c3", "--id", "1", "--name", "big", "--allow-same-id"});
  add({dir / "small", "-t", "nand-oob", "-p", "none", "--id", "4", "--name", "gone"});
  add({dir / "small", "-t", "nand-oob", "-p", "none", "--id", "7", "--name", "none"});
  add({dir / "small", "-t", "nand-raw", "-p", "c4", "--id", "0", "--name", "again",
       "--allow-same-id"});
  std::string bad = read_file(img);
  bad[good.size() - 10] ^= 1;  // a byte of notes' payload: it carries no check
  bad[300] ^= 1;               // a byte of kernel's payload: its crc no longer matches
  write_file(img, bad);
  r = mkrom({"check", img, "--board", dir / "board"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  std::string p = "korvane-mkrom check: " + img + ": ";
  EXPECT_EQ(r.err,
            p + "block 0 ('kernel', nand-raw): its payload does not match its crc\n" + p +
                "block 3 ('geom', nand-raw) on mtd2: the NAND writer does not serve its geometry "
                "(page 4096, OOB 128; it serves 512 + 16, 256 + 8 and 2048 + 64)\n" +
                p +
                "block 4 ('big', nor-raw) goes to mtd1 as block 1 ('env', nor-raw) does: the "
                "later one replaces it\n" +
                p + "block 5 ('gone', nand-oob) goes to mtd4, which the board does not have\n" + p +
                "block 6 ('none', nand-oob) goes to mtd7, which the board does not have\n" + p +
                "block 7 ('again', nand-raw) goes to mtd0 as block 0 ('kernel', nand-raw) "
                "does: the later one replaces it\n");

  // One byte more than the good erase blocks of mtd0 hold; an OOB block on NOR.
  std::string img2 = dir / "img2.rom";
  ASSERT_EQ(mkrom({"create", img2}).status, 0);
  write_file(dir / "one-more", firmware_like(786433, 5));
  for (std::vector<std::string> args :
       {std::vector<std::string>{dir / "one-more", "-t", "nand-raw", "-p", "c1", "--id", "0",
                                 "--name", "k2"},
        {dir / "small", "-t", "nand-oob", "-p", "none", "--id", "1", "--name", "oob"},
        {dir / "small", "-t", "nor", "-p", "none", "--id", "5", "--name", "ro"}}) {
    args.insert(args.begin(), {"add", img2});
    ASSERT_EQ(mkrom(args).status, 0);
  }
  for (const char *align : {"page-align", "block-align"}) {
    r = mkrom({"check", img2, "--board", dir / "board", "-a", align});
    EXPECT_EQ(r.status, 1);
    p = "korvane-mkrom check: " + img2 + ": ";
    EXPECT_EQ(r.err, p +
                         "block 0 ('k2', nand-raw) on mtd0: it needs 7 erase blocks (786433 bytes "
                         "padded for " +
                         align + "); mtd0 has 6 good of 8 (2 bad)\n" + p +
                         "block 1 ('oob', nand-oob) on mtd1: a nand-oob block on a partition that "
                         "is not NAND: its page records would be written as plain data\n" +
                         p +
                         "block 2 ('ro', nor-raw) on mtd5: the partition is read-only: the "
                         "install cannot open it for writing\n");
  }
  // --json says the same: not fitting, each problem, and what the block would use.
  r = mkrom({"check", img2, "--board", dir / "board", "--json"});
  EXPECT_EQ(r.status, 1);
  doc = json::parse(r.out);
  EXPECT_EQ(doc["fits"], false);
  ASSERT_EQ(doc["problems"].size(), 3u);
  EXPECT_THAT(doc["problems"][0].get<std::string>(), HasSubstr("it needs 7 erase blocks"));
  EXPECT_EQ(doc["partitions"][0]["block"]["erase_blocks_used"], 7);
  EXPECT_EQ(doc["partitions"][0]["left"], 0);

  // Mistakes of the command line and of the board file.
  EXPECT_EQ(mkrom({"check", img}).status, 2);
  EXPECT_EQ(mkrom({"check", img, "--board", dir / "board", "-a", "frob"}).status, 2);
  write_file(dir / "broken", "mtd0 nand size=1M\n");
  r = mkrom({"check", img, "--board", dir / "broken"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, StartsWith("korvane-mkrom check: cannot use the board: " + dir / "broken" +
                                " line 1: "));
}

// A terminal gets a progress line for large inputs; a pipe gets nothing.
TEST_F(tools_fixture, ProgressOnlyOnATerminal) {
  write_file(dir / "big", pattern(5 << 20, 8));
  std::vector<std::string> args = {
      bin("korvane-mkrom"), "add", img, dir / "big", "-t", "bin", "-p", "none"};
  run_result r = run_with(args, "", true);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("\rkorvane-mkrom add: writing " + img));
  EXPECT_THAT(r.err, HasSubstr("\r\033[K"));
  r = run_with(args, "", false);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = run_with({bin("korvane-mkrom"), "check", img, "--board", "/dev/null"}, "", true);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("\rkorvane-mkrom check: checking " + img));
}

}  // namespace
}  // namespace korvane
