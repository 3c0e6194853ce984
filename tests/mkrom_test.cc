// SPDX-License-Identifier: MIT
// korvane-mkrom end to end: the images and block files it writes are what the
// readers accept, command-line errors exit 2, building failures exit 1 and
// leave the files as they were.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/cypher.h"
#include "rom/layout.h"
#include "rom/load.h"
#include "rom/result.h"
#include "tests/support/e2e.h"

namespace korvane {
namespace {

using e2e::file_exists;
using e2e::read_file;
using e2e::run_result;
using e2e::scratch_dir;
using e2e::write_file;
using testing::HasSubstr;
using testing::StartsWith;

run_result mkrom(std::vector<std::string> args, const std::string &cwd = "") {
  args.insert(args.begin(), e2e::bin("korvane-mkrom"));
  return e2e::run(args, cwd);
}

uint32_t get_be(const std::string &s, size_t off) {
  auto *p = reinterpret_cast<const uint8_t *>(s.data()) + off;
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::string random_noise(std::mt19937 &gen, size_t n) {
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(gen());
  return s;
}

// Runs with a little noise between them: compressible, and fits every encoder.
std::string firmware_like(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s;
  while (s.size() < n) {
    if (gen() % 3) s.append(1 + gen() % 200, static_cast<char>(gen()));
    else s.append(random_noise(gen, 50));
  }
  s.resize(n);
  return s;
}

std::vector<std::string> listing(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  return names;
}

// Decodes the payload of the block at `at` with the readers' dispatcher.
std::string decoded(const std::string &path, uint64_t at, const std::string &out) {
  std::string s = read_file(path);
  int src = open(path.c_str(), O_RDONLY);
  int dst = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  testing::internal::CaptureStdout();
  int r = cypher_decode_file(get_be(s, at + 80), src, at + 128, get_be(s, at + 20), dst);
  std::string said = testing::internal::GetCapturedStdout();
  close(src);
  close(dst);
  EXPECT_GE(r, 0) << said;
  return read_file(out);
}

TEST(Mkrom, BuildsImagesAndBlockFilesTheReadersAccept) {
  scratch_dir dir;
  std::string img = dir / "img.rom";
  std::string kernel = firmware_like(70000, 1), fs = firmware_like(9000, 2);
  write_file(dir / "kernel", kernel);
  write_file(dir / "fs", fs);

  run_result r = mkrom({"create", img, "--dev-id", "0x2a", "--dev-name", "board-x", "--oem",
                        "0123456789abcdef", "--version", "2.1", "-f", "tool,crc"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");

  r = mkrom({"add", img, dir / "kernel", "-t", "nand-raw", "-p", "7zip", "--id", "3", "--name",
             "kernel", "--version", "3.2.1", "-f", "crc", "-d", "file"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(r.out, StartsWith("blk magic       :0xeb9f56c9\nblk hsize       :0x00000080\n"));
  EXPECT_THAT(r.out, HasSubstr("blk type        :4\nblk id          :3\nblk name        :kernel\n"
                               "blk version     :3.2.1\n"));
  // Options may come before the arguments too.
  r = mkrom({"add", "-t", "nor", "-p", "c4", "-f", "checksum", "--id", "1", "--offset", "0x100",
             img, dir / "fs"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  std::string s = read_file(img);
  int fd = -1;
  uint64_t size = 0;
  EXPECT_EQ(rom_open(img.c_str(), &fd, &size, O_RDONLY), ROM_CHECK_ROM);
  EXPECT_EQ(size, s.size());
  EXPECT_EQ(get_be(s, 16), 0x102u);  // tool,crc
  EXPECT_EQ(get_be(s, 28), 2u);
  EXPECT_EQ(get_be(s, 20), s.size() - 128);
  EXPECT_EQ(get_be(s, 32), 0x2au);
  EXPECT_EQ(s.substr(36, 8), std::string("board-x\0", 8));
  EXPECT_EQ(s.substr(52, 16), "0123456789abcdef");
  EXPECT_EQ(s.substr(68, 4), std::string("2.1\0", 4));

  struct expect {
    uint32_t type, id, cypher, data, flags;
    std::string content;
  } blocks[] = {
      {ROM_BLK_TYPE_NAND_RAW, 3, ROM_BLK_CT_CYPHER1, ROM_BLK_DATA_FILE, 0x100, kernel},
      {ROM_BLK_TYPE_NOR, 1, ROM_BLK_CT_CYPHER4, ROM_BLK_DATA_RAW, 0x200, fs.substr(256)},
  };
  uint64_t at = 128;
  for (const expect &e : blocks) {
    SCOPED_TRACE(at);
    ASSERT_LE(at + 128, s.size());
    alignas(4) char hdr[128];
    std::memcpy(hdr, s.data() + at, 128);
    EXPECT_EQ(rom_check_hdr(hdr, 128), ROM_CHECK_BLK);
    EXPECT_EQ(get_be(s, at + 32), e.type);
    EXPECT_EQ(get_be(s, at + 36), e.id);
    EXPECT_EQ(get_be(s, at + 80), e.cypher);
    EXPECT_EQ(get_be(s, at + 84), e.data);
    EXPECT_EQ(get_be(s, at + 16), e.flags);
    std::memcpy(hdr, s.data() + at, 128);
    EXPECT_EQ(rom_verify_blk(hdr, fd, at + 128, get_be(s, at + 20)), 0);
    EXPECT_TRUE(decoded(img, at, dir / "out") == e.content);
    at += get_be(s, at + 24);
  }
  EXPECT_EQ(at, s.size());
  rom_close(fd);

  // korvane shows both blocks with good header CRCs and payloads.
  if (file_exists(e2e::bin("korvane"))) {
    run_result info = e2e::run({e2e::bin("korvane"), "-i", img, "-f", "crc"});
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_THAT(info.out, HasSubstr("rom blocks      :2\n"));
    EXPECT_THAT(info.out, testing::ContainsRegex("block 0(.|\n)*blk good hcrc(.|\n)*blk good verify"
                                                 "(.|\n)*block 1(.|\n)*blk good hcrc(.|\n)*"
                                                 "blk good verify"));
  }

  // The same block alone is a block file; its header and payload match the
  // appended one byte for byte.
  r = mkrom({"block", dir / "kernel.blk", dir / "kernel", "-t", "nand-raw", "-p", "c1", "--id", "3",
             "--name", "kernel", "--version", "3.2.1", "-f", "crc", "-d", "file"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string blk = read_file(dir / "kernel.blk");
  EXPECT_EQ(blk, s.substr(128, get_be(s, 128 + 24)));
  EXPECT_EQ(rom_open((dir / "kernel.blk").c_str(), nullptr, nullptr, O_RDONLY), ROM_CHECK_BLK);
  EXPECT_THAT(listing(dir.path()),
              testing::UnorderedElementsAre("img.rom", "kernel", "fs", "out", "kernel.blk"));
}

// The words korvane takes for -t, -p, -d and -f, read back from the header.
TEST(Mkrom, TakesKorvanesWords) {
  scratch_dir dir;
  write_file(dir / "in", firmware_like(4000, 3));
  struct row {
    std::vector<std::string> opts;
    size_t field;
    uint32_t value;
  } rows[] = {
      {{"-t", "Script", "-p", "none"}, 32, ROM_BLK_TYPE_SCRIPT},
      {{"-t", "EXE", "-p", "none"}, 32, ROM_BLK_TYPE_EXE},
      {{"-t", "nand-oob", "-p", "none"}, 32, ROM_BLK_TYPE_NAND_OOB},
      {{"-t", "bin", "-p", "GZIP"}, 80, ROM_BLK_CT_CYPHER2},
      {{"-t", "bin", "-p", "C3"}, 80, ROM_BLK_CT_CYPHER3},
      {{"-t", "bin", "-p", "des"}, 80, ROM_BLK_CT_NONE},  // stored unencoded
      {{"--type", "bin", "--cypher-type", "cypher1"}, 80, ROM_BLK_CT_CYPHER1},
      {{"-t", "bin", "-p", "none", "-d", "file"}, 84, ROM_BLK_DATA_FILE},
      {{"-t", "bin", "-p", "none", "-f", "force,tool,crc"}, 16, 0x103},
      {{"-t", "bin", "-p", "none", "-f", "crc,checksum"}, 16, 0x200},
      {{"-t", "bin", "-p", "none", "-f", "force,"}, 16, 0x1},
      {{"-t", "bin", "-p", "none", "-f", ""}, 16, 0},
      {{"-t", "bin", "-p", "none", "--id", "4294967295"}, 36, 0xFFFFFFFF},
      {{"-t", "bin", "-p", "none", "--id", "0XfF"}, 36, 255},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(testing::PrintToString(c.opts));
    std::vector<std::string> args = {"block", dir / "out", dir / "in"};
    args.insert(args.end(), c.opts.begin(), c.opts.end());
    run_result r = mkrom(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(get_be(read_file(dir / "out"), c.field), c.value);
  }
  // Texts as long as their fields fill them without a terminator.
  run_result r = mkrom({"block", dir / "out", dir / "in", "-t", "bin", "-p", "none", "--name",
                        std::string(16, 'n'), "--version", std::string(24, 'v')});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string blk = read_file(dir / "out");
  EXPECT_EQ(blk.substr(40, 40), std::string(16, 'n') + std::string(24, 'v'));
  r = mkrom({"create", dir / "img", "--dev-name", std::string(16, 'd'), "--oem",
             std::string(16, 'o'), "--version", std::string(24, 'v')});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "img").substr(36, 56),
            std::string(16, 'd') + std::string(16, 'o') + std::string(24, 'v'));
}

TEST(Mkrom, CommandLineErrorsExit2AndTouchNothing) {
  scratch_dir dir;
  write_file(dir / "in", "payload");
  ASSERT_EQ(mkrom({"create", dir / "img"}).status, 0);
  std::string img = dir / "img", in = dir / "in", out = dir / "out";
  std::string before = read_file(img);
  struct row {
    std::vector<std::string> args;
    std::string says;
  } rows[] = {
      {{}, "Usage: korvane-mkrom COMMAND"},
      {{"frob"}, "korvane-mkrom: unknown command 'frob'"},
      {{"add"}, "korvane-mkrom add: missing IMAGE and FILE"},
      {{"add", img, "-t", "bin", "-p", "none"}, "korvane-mkrom add: missing FILE"},
      {{"block", out}, "korvane-mkrom block: missing FILE"},
      {{"add", img, in, "x", "-t", "bin", "-p", "none"}, "too many arguments"},
      {{"add", img, in, "-p", "none"}, "missing -t TYPE"},
      {{"add", img, in, "-t", "bin"}, "missing -p CYPHER"},
      {{"add", img, in, "-t", "NOR", "-p", "none"}, "unknown type 'NOR'"},
      {{"add", img, in, "-t", "bin", "-p", "zip"}, "unknown cypher type 'zip'"},
      {{"add", img, in, "-t", "bin", "-p", "none", "-d", "RAW"}, "unknown data type 'RAW'"},
      {{"add", img, in, "-t", "bin", "-p", "none", "-f", "crc,,force"},
       "unknown flags 'crc,,force'"},
      {{"add", img, in, "-t", "bin", "-p", "none", "-f", std::string(256, 'x')}, "unknown flags"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--id", "-1"}, "--id needs a number"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--id", "4294967296"}, "--id needs a number"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--id", "12abc"}, "--id needs a number"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--id", " 1"}, "--id needs a number"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--id", "0x"}, "--id needs a number"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--offset", ""}, "--offset needs a number"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--offset", "18446744073709551616"},
       "--offset needs a number"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--name", std::string(17, 'n')},
       "--name '" + std::string(17, 'n') + "' is 17 bytes long; the header field holds 16"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--version", std::string(25, 'v')},
       "the header field holds 24"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--bogus"}, "unrecognized option '--bogus'"},
      {{"add", img, in, "-p", "none", "-t"}, "option requires an argument -- 't'"},
      {{"block", out, in, "-t", "bin", "-p", "none", "--name", std::string(20, 'n')},
       "is 20 bytes long"},
      {{"create", img, "--dev-name", std::string(17, 'd')}, "the header field holds 16"},
      {{"create", img, "--oem", std::string(17, 'o')}, "the header field holds 16"},
      {{"create", img, "--version", std::string(25, 'v')}, "the header field holds 24"},
      {{"create", img, "--dev-id", "0x100000000"}, "--dev-id needs a number"},
      {{"create", img, "-f", "verify"}, "unknown flags 'verify'"},
      {{"create"}, "korvane-mkrom create: missing IMAGE"},
      {{"create", img, img}, "too many arguments"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    run_result r = mkrom(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr(c.says));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(img), before);
    EXPECT_FALSE(file_exists(out));
  }
}

// Images, block files and extracted blocks are data: 0666 less the umask,
// never executable. A file that exists keeps its mode.
TEST(Mkrom, FilesItMakesAreDataFiles) {
  for (mode_t mask : {mode_t{022}, mode_t{077}}) {
    SCOPED_TRACE(mask);
    scratch_dir dir;
    std::string img = dir / "img", in = dir / "in";
    write_file(in, firmware_like(3000, 5));
    const mode_t before = umask(mask);
    const bool made = mkrom({"create", img}).status == 0 &&
                      mkrom({"add", img, in, "-t", "file", "-p", "none"}).status == 0 &&
                      mkrom({"block", dir / "blk", in, "-t", "file", "-p", "none"}).status == 0 &&
                      mkrom({"extract", img, "0", dir / "out", "--decode"}).status == 0;
    umask(before);
    ASSERT_TRUE(made);
    for (const char *name : {"img", "blk", "out"}) {
      struct stat st;
      ASSERT_EQ(stat((dir / name).c_str(), &st), 0) << name;
      EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << name << " " << std::oct << st.st_mode;
    }
  }
  // create over an existing file truncates it and leaves its mode alone.
  scratch_dir dir;
  write_file(dir / "img", "old");
  ASSERT_EQ(chmod((dir / "img").c_str(), 0640), 0);
  ASSERT_EQ(mkrom({"create", dir / "img"}).status, 0);
  struct stat st;
  ASSERT_EQ(stat((dir / "img").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(read_file(dir / "img").size(), 128u);
}

TEST(Mkrom, HelpAndVersion) {
  run_result r = mkrom({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, StartsWith("Usage: korvane-mkrom COMMAND ARGS...\n"));
  for (const char *cmd : {"create", "add", "block"}) {
    EXPECT_THAT(r.out, HasSubstr(std::string("  ") + cmd + " "));
    for (const char *ask : {"--help", "-h"}) {
      run_result h = mkrom({cmd, ask});
      EXPECT_EQ(h.status, 0);
      EXPECT_THAT(h.out, StartsWith(std::string("Usage: korvane-mkrom ") + cmd + " "));
      EXPECT_EQ(h.err, "");
    }
  }
  EXPECT_THAT(mkrom({"add", "--help"}).out, HasSubstr("--offset N"));
  // "help COMMAND" is that command's help; "help" alone the list.
  for (const char *cmd :
       {"create", "add", "block", "list", "extract", "check", "keygen", "sign", "verify"}) {
    run_result h = mkrom({"help", cmd});
    EXPECT_EQ(h.status, 0) << cmd;
    EXPECT_EQ(h.out, mkrom({cmd, "--help"}).out) << cmd;
    EXPECT_THAT(h.out, StartsWith(std::string("Usage: korvane-mkrom ") + cmd + " "));
    EXPECT_EQ(h.err, "");
  }
  EXPECT_EQ(mkrom({"help"}).out, mkrom({"--help"}).out);
  for (const std::vector<std::string> &wrong :
       {std::vector<std::string>{"help", "frob"}, {"help", "add", "create"}}) {
    r = mkrom(wrong);
    EXPECT_EQ(r.status, 2) << wrong[1];
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("korvane-mkrom"));
  }
  r = mkrom({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "korvane-mkrom " KORVANE_VERSION "\n");
}

// sign given the public key for the secret one says so (not "chmod 600"),
// and the image stays as it was.
TEST(Mkrom, SignNamesAPublicKeyGivenAsTheSecret) {
  scratch_dir dir;
  std::string img = dir / "img", secret = dir / "board.key", pub = dir / "board.pub";
  ASSERT_EQ(mkrom({"keygen", secret, pub}).status, 0);
  ASSERT_EQ(mkrom({"create", img}).status, 0);
  const std::string before = read_file(img);
  run_result r = mkrom({"sign", img, pub});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "korvane-mkrom sign: cannot use the secret key " + pub +
                       ": it is a public key (it begins with 'korvane-ed25519-public'), not a "
                       "secret key: sign with the SECRET file that korvane-mkrom keygen wrote "
                       "beside it\n");
  EXPECT_EQ(read_file(img), before);
  EXPECT_EQ(mkrom({"sign", img, secret}).status, 0);
}

TEST(Mkrom, BuildFailuresExit1AndLeaveFilesAlone) {
  scratch_dir dir;
  std::string img = dir / "img", in = dir / "in", out = dir / "out";
  write_file(in, firmware_like(3000, 4));
  write_file(dir / "tiny", "0123456789");
  ASSERT_EQ(mkrom({"create", img}).status, 0);
  ASSERT_EQ(mkrom({"add", img, in, "-t", "bin", "-p", "none"}).status, 0);
  ASSERT_EQ(mkrom({"block", dir / "blk", in, "-t", "bin", "-p", "none"}).status, 0);
  std::string damaged = read_file(img);
  damaged[50] ^= 0x20;  // the header CRC no longer matches
  write_file(dir / "damaged", damaged);
  write_file(out, "old contents");

  // Everything said about a failure is on standard error, in one or two
  // lines; standard output has only what was built (the block summary).
  struct row {
    std::vector<std::string> args;
    std::string target;  // must be left byte for byte as it was
    const char *out;     // on stdout
    std::string says;    // the start of stderr
  } rows[] = {
      {{"add", img, dir / "missing", "-t", "bin", "-p", "none"},
       img,
       "",
       "korvane-mkrom add: cannot read " + dir / "missing" + ": No such file or directory\n"},
      {{"add", img, in, "-t", "bin", "-p", "none", "--offset", "3001"},
       img,
       "",
       "korvane-mkrom add: --offset 3001 is past the end of " + in + " (3000 bytes)\n"},
      // 10 bytes leave 16 bytes of room: no place for the 48-byte header.
      {{"add", img, dir / "tiny", "-t", "bin", "-p", "c2"},
       img,
       "",
       "korvane-mkrom add: cannot encode " + dir / "tiny" +
           " with cypher2: the result takes 62 bytes, more than the 16 bytes (125 % of the "
           "input) a block holds\nkorvane-mkrom add: store an input this small with -p none; "
           "cypher1 works from about 100 bytes of data that does not compress, cypher2 from about "
           "208\n"},
      {{"add", dir / "blk", in, "-t", "bin", "-p", "none"},
       dir / "blk",
       "",
       "korvane-mkrom add: " + dir / "blk" +
           ": it is a block file, not a rom image (blocks are appended to rom images); not "
           "appending\n"},
      {{"add", dir / "damaged", in, "-t", "bin", "-p", "none"},
       dir / "damaged",
       "",
       "korvane-mkrom add: " + dir / "damaged" + ": its header CRC does not match ("},
      {{"add", dir / "nothing", in, "-t", "bin", "-p", "none"},
       "",
       "",
       "korvane-mkrom add: " + dir / "nothing" + ": cannot open it: No such file or directory\n"},
      {{"block", out, dir / "missing", "-t", "bin", "-p", "none"},
       out,
       "",
       "korvane-mkrom block: cannot read " + dir / "missing" + ": No such file or directory\n"},
      {{"block", out, dir / "tiny", "-t", "bin", "-p", "cypher1"},
       out,
       "",
       "korvane-mkrom block: cannot encode " + dir / "tiny" + " with cypher1: the result takes "},
      {{"block", dir / "no/such/dir/out", in, "-t", "bin", "-p", "none"},
       "",
       "blk magic",
       "korvane-mkrom block: cannot write " + dir / "no/such/dir/out" +
           ": cannot create a temporary file in " + dir / "no/such/dir" +
           ": No such file or directory\n"},
      {{"block", "/dev/full", in, "-t", "bin", "-p", "none"},
       "",
       "blk magic",
       "korvane-mkrom block: cannot write /dev/full: No space left on device\n"},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::string before = c.target.empty() ? "" : read_file(c.target);
    run_result r = mkrom(c.args);
    EXPECT_EQ(r.status, 1);
    if (*c.out) {
      EXPECT_THAT(r.out, StartsWith(c.out));
    } else {
      EXPECT_EQ(r.out, "");
    }
    EXPECT_THAT(r.err, StartsWith(c.says));
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    if (!c.target.empty()) {
      EXPECT_EQ(read_file(c.target), before);
    }
  }
  // Nothing was created, no temporary file left behind.
  EXPECT_THAT(listing(dir.path()),
              testing::UnorderedElementsAre("img", "in", "tiny", "blk", "damaged", "out"));
}

}  // namespace
}  // namespace korvane
