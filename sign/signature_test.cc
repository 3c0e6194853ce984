// SPDX-License-Identifier: MIT
#include "sign/signature.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "rom/append.h"
#include "rom/build.h"
#include "rom/io.h"
#include "rom/output.h"
#include "rom/result.h"
#include "rom/walk.h"
#include "sign/sig_board.h"
#include "sign/sig_keys.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

using e2e::scratch_dir;

// Key files: what is taken and what is refused, with the reason's words.
TEST(SigKeys, ParsingTakesTheWrittenTextAndRefusesTheRest) {
  sig_public_key pk;
  sig_secret_key sk;
  ASSERT_TRUE(sig_keypair(&pk, &sk));
  const std::string pub = sig_public_text(pk), sec = sig_secret_text(sk);
  std::string upper = pub;
  for (size_t i = std::strlen(SIG_PUBLIC_WORD); i < upper.size(); ++i)
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
  std::string flipped_seed = sec;  // the seed's first digit changed, the public half kept
  char &first = flipped_seed[std::strlen(SIG_SECRET_WORD) + 1];
  first = first == '0' ? '1' : '0';
  struct row {
    const char *what;
    std::string text;
    bool secret, ok;
    const char *reason;
  } rows[] = {
      {"as written", pub, false, true, ""},
      {"without the line end", pub.substr(0, pub.size() - 1), false, true, ""},
      {"upper-case digits", upper, false, true, ""},
      {"a secret key as written", sec, true, true, ""},
      {"a secret key given as public", sec, false, false, "does not begin with"},
      {"a public key given as secret", pub, true, false, "does not begin with"},
      {"one digit short", pub.substr(0, pub.size() - 2) + "\n", false, false, "63 hexadecimal"},
      {"a blank at the end", pub.substr(0, pub.size() - 1) + " \n", false, false, "65 hexadecimal"},
      {"not hex", pub.substr(0, pub.size() - 2) + "g\n", false, false, "not a hexadecimal"},
      {"a seed that is not its public half's", flipped_seed, true, false, "damaged"},
      {"empty", "", false, false, "does not begin with"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    std::string error;
    sig_public_key p2;
    sig_secret_key s2;
    bool ok =
        r.secret ? sig_parse_secret(r.text, &s2, &error) : sig_parse_public(r.text, &p2, &error);
    EXPECT_EQ(ok, r.ok) << error;
    EXPECT_NE(error.find(r.reason), std::string::npos) << error;
    if (ok && !r.secret) {
      EXPECT_EQ(std::memcmp(p2.bytes, pk.bytes, sizeof pk.bytes), 0);
    }
    if (ok && r.secret) {
      EXPECT_EQ(std::memcmp(s2.bytes, sk.bytes, sizeof sk.bytes), 0);
    }
  }
}

// A public key others may replace would let them choose what the board
// trusts: refused as an image they may write is.
TEST(SigKeys, APublicKeyOthersMayWriteIsRefused) {
  scratch_dir dir;
  sig_public_key pk;
  sig_secret_key sk;
  ASSERT_TRUE(sig_keypair(&pk, &sk));
  const std::string path = dir / "public";
  e2e::write_file(path, sig_public_text(pk));
  std::string error;
  for (mode_t mode : {0664, 0646, 0666}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_FALSE(sig_read_public(path.c_str(), &pk, &error)) << std::oct << mode;
    EXPECT_NE(error.find("chmod go-w"), std::string::npos) << error;
  }
  for (mode_t mode : {0644, 0444, 0600}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_TRUE(sig_read_public(path.c_str(), &pk, &error)) << std::oct << mode << error;
  }
}

TEST(SigKeys, ASecretKeyOthersMayReadIsRefused) {
  scratch_dir dir;
  sig_public_key pk;
  sig_secret_key sk;
  ASSERT_TRUE(sig_keypair(&pk, &sk));
  const std::string path = dir / "secret";
  e2e::write_file(path, sig_secret_text(sk));
  std::string error;
  sig_secret_key got;
  for (mode_t mode : {0640, 0604, 0620}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_FALSE(sig_read_secret(path.c_str(), &got, &error)) << std::oct << mode;
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
  }
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  EXPECT_TRUE(sig_read_secret(path.c_str(), &got, &error)) << error;
}

// A public key given as the secret one is named as such, whatever its mode
// (the mode of a public key file is group- and world-readable by design).
TEST(SigKeys, APublicKeyGivenAsTheSecretIsNamed) {
  scratch_dir dir;
  sig_public_key pk;
  sig_secret_key sk;
  ASSERT_TRUE(sig_keypair(&pk, &sk));
  const std::string path = dir / "key.pub";
  e2e::write_file(path, sig_public_text(pk));
  for (mode_t mode : {0644, 0600}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    std::string error;
    EXPECT_FALSE(sig_read_secret(path.c_str(), &sk, &error)) << std::oct << mode;
    EXPECT_EQ(error.rfind("it is a public key (it begins with 'korvane-ed25519-public'), not a "
                          "secret key:",
                          0),
              0u)
        << error;
  }
}

// A key file that is not a regular file is refused at once: a FIFO with no
// writer would otherwise hold the check for ever.
TEST(SigKeys, AFifoIsRefusedWithoutWaiting) {
  scratch_dir dir;
  const std::string path = dir / "fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::string error;
  sig_public_key pk;
  sig_secret_key sk;
  EXPECT_FALSE(sig_read_public(path.c_str(), &pk, &error));
  EXPECT_EQ(error, "not a regular file");
  EXPECT_FALSE(sig_read_secret(path.c_str(), &sk, &error));
  EXPECT_EQ(error, "not a regular file");
}

// A signed image in a scratch folder, signed through the library as
// korvane-mkrom sign does, and its public key file.
struct signed_image {
  scratch_dir dir;
  std::string path = dir / "image.rom", pub = dir / "key.pub";

  explicit signed_image(size_t content = 10000) {
    install_test::build_image(path, {{ROM_BLK_TYPE_NAND_RAW, 0, "kernel", ROM_BLK_CT_NONE,
                                      install_test::pattern(content, 1)}});
    sig_public_key pk;
    sig_secret_key sk;
    EXPECT_TRUE(sig_keypair(&pk, &sk));
    e2e::write_file(pub, sig_public_text(pk));
    std::vector<uint8_t> blk;
    {
      unique_fd fd{open(path.c_str(), O_RDONLY)};
      struct stat st;
      fstat(fd.fd, &st);
      EXPECT_EQ(sig_make_block(fd.fd, static_cast<uint64_t>(st.st_size), sk, &blk), 0);
    }
    std::string error, note;
    EXPECT_EQ(rom_append_built(path.c_str(), blk.data(), static_cast<uint32_t>(blk.size()), {},
                               &error, &note),
              0)
        << error;
    chmod(path.c_str(), 0644);
  }
};

// What the board checked is what it used: a file whose size, modification
// or status change time changed between the check and the end fails.
TEST(SigBoard, AFileChangedAfterTheCheckFails) {
  signed_image img;
  FILE *before = report_to(fopen("/dev/null", "w"));
  for (int change = 0; change < 4; ++change) {
    SCOPED_TRACE(change);
    rom_walk w;
    ASSERT_EQ(rom_walk_open(&w, img.path.c_str(), O_RDONLY), ROM_CHECK_ROM);
    sig_guard guard;
    ASSERT_EQ(sig_board_check(&w, {img.pub}, &guard), 0);
    if (change == 1) {
      struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, img.path.c_str(), times, 0), 0);
    }
    if (change == 3) {
      ASSERT_EQ(truncate(img.path.c_str(), 100), 0);
    }
    if (change == 2) {
      // Only the status change time moves (a chmod that keeps the image
      // acceptable): the file is not the one checked any more.
      ASSERT_EQ(chmod(img.path.c_str(), 0600), 0);
      ASSERT_EQ(chmod(img.path.c_str(), 0644), 0);
    }
    EXPECT_EQ(sig_board_unchanged(w, guard), change ? RES_FAULT : 0);
  }
  fclose(report_to(before));
}

// The checked chunks serve the image exactly, in reads of any size across
// chunk boundaries and into the signature block; a chunk whose bytes change
// on the medium fails its read and every read after it.
TEST(SigChunks, ServeTheCheckedBytesAndStopAtAChangedChunk) {
  signed_image img(200000);  // four chunks and the signature block
  const std::string bytes = e2e::read_file(img.path);
  sig_public_key pk;
  std::string error;
  ASSERT_TRUE(sig_read_public(img.pub.c_str(), &pk, &error)) << error;
  rom_walk w;
  FILE *before = report_to(fopen("/dev/null", "w"));
  ASSERT_EQ(rom_walk_open(&w, img.path.c_str(), O_RDONLY), ROM_CHECK_ROM);
  fclose(report_to(before));
  sig_verdict v;
  sig_chunks c;
  ASSERT_EQ(sig_check(&w, &pk, 1, &v, &c), 0) << sig_problem_word(v.problem);
  EXPECT_EQ(c.size(), bytes.size());
  EXPECT_EQ(c.chunks_read, 4u);  // the check read each chunk once

  struct {
    uint64_t offset;
    size_t n;
    size_t got;  // bytes served
  } reads[] = {
      {0, 128, 128},                                  // the rom header
      {SIG_CHUNK_SIZE - 7, 20, 20},                   // across a chunk boundary
      {100, 3 * SIG_CHUNK_SIZE, 3 * SIG_CHUNK_SIZE},  // across three
      {c.end - 10, 300, 300},                         // into the signature block
      {bytes.size() - 5, 100, 5},                     // the end of the image
      {bytes.size(), 10, 0},                          // past it
  };
  std::string buf;
  for (const auto &r : reads) {
    SCOPED_TRACE(r.offset);
    buf.assign(r.n, '\0');
    ASSERT_EQ(sig_chunks_read(&c, buf.data(), r.n, r.offset), static_cast<ssize_t>(r.got));
    EXPECT_EQ(buf.substr(0, r.got), bytes.substr(r.offset, r.got));
  }

  // Chunk 2 changes on the medium; chunks held from before still serve.
  std::string changed = bytes;
  changed[2 * SIG_CHUNK_SIZE + 10] ^= 1;
  e2e::write_file(img.path, changed);
  int fd = open(img.path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  c.raw = sig_raw_fd(&fd);
  c.held[0].index = c.held[1].index = UINT64_MAX;  // read everything anew
  buf.assign(100, '\0');
  EXPECT_EQ(sig_chunks_read(&c, buf.data(), 100, SIG_CHUNK_SIZE), 100);
  errno = 0;
  EXPECT_EQ(sig_chunks_read(&c, buf.data(), 100, 2 * SIG_CHUNK_SIZE), -1);
  EXPECT_EQ(errno, EBADMSG);
  EXPECT_TRUE(c.fault.mismatch);
  EXPECT_EQ(c.fault.chunk, 2u);
  EXPECT_EQ(c.fault.offset, 2u * SIG_CHUNK_SIZE);
  // Nothing more is served, not even what was held or the signature block.
  EXPECT_EQ(sig_chunks_read(&c, buf.data(), 100, SIG_CHUNK_SIZE), -1);
  EXPECT_EQ(sig_chunks_read(&c, buf.data(), 10, c.end), -1);
  close(fd);
}

// An image taken in pieces from elsewhere (here a string standing for a
// web server that answers ranges): its last 16 bytes give the signature
// block's place, the block is checked before a byte of the image is
// fetched, and then the walk reads the image from checked chunks through a
// descriptor bound to them, as it reads a file. The server's copy changed
// in one chunk: the block still checks, that chunk does not.
struct served_image {
  std::string bytes;
  int fetches = 0;
};

ssize_t serve(void *ctx, void *buf, size_t n, uint64_t offset) {
  auto *s = static_cast<served_image *>(ctx);
  ++s->fetches;
  if (offset >= s->bytes.size()) return 0;
  n = std::min<size_t>(n, s->bytes.size() - offset);
  std::memcpy(buf, s->bytes.data() + offset, n);
  return static_cast<ssize_t>(n);
}

int count_block(void *ctx, const rom_walk_blk &) {
  ++*static_cast<int *>(ctx);
  return 0;
}

TEST(SigChunks, AnImageFetchedInPiecesIsCheckedBeforeItsBytesAreUsed) {
  signed_image img(200000);
  sig_public_key pk;
  std::string error;
  ASSERT_TRUE(sig_read_public(img.pub.c_str(), &pk, &error)) << error;
  for (bool changed : {false, true}) {
    SCOPED_TRACE(changed ? "a chunk changed on the server" : "as signed");
    served_image server{e2e::read_file(img.path)};
    if (changed) server.bytes[3 * SIG_CHUNK_SIZE + 1] ^= 0x40;
    const uint64_t size = server.bytes.size();

    uint64_t offset = 0;
    ASSERT_TRUE(sig_block_offset(
        reinterpret_cast<const uint8_t *>(server.bytes.data() + size - sizeof(sig_trailer)),
        &offset));
    std::vector<uint8_t> block(server.bytes.begin() + static_cast<ptrdiff_t>(offset),
                               server.bytes.end());
    sig_verdict v;
    sig_chunks c;
    ASSERT_EQ(sig_check_block(block, offset, &pk, 1, &v, &c), 0) << sig_problem_word(v.problem);
    c.raw = {&server, serve};
    EXPECT_EQ(server.fetches, 0);  // nothing of the image was taken yet

    rom_source src = sig_chunks_source(&c);
    unique_fd placeholder{memfd_create("image", MFD_CLOEXEC)};
    ASSERT_GE(placeholder.fd, 0);
    rom_source_bind(placeholder.fd, &src);
    rom_hdr rom;
    ASSERT_TRUE(read_at(placeholder.fd, &rom, sizeof rom, 0));
    rom_walk w;
    rom_walk_attach(&w, placeholder.release(), "served", c.size(), ROM_CHECK_ROM, rom,
                    ROM_HDR_SIZE);
    int blocks = 0;
    rom_walk_steps steps;
    steps.ctx = &blocks;
    steps.block = count_block;
    rom_walk_rules rules;
    rules.quiet = true;
    EXPECT_EQ(rom_walk_blocks(&w, steps, rules), 0);
    EXPECT_EQ(blocks, 2);  // the kernel and the signature block
    // The whole image, as an extraction reads it.
    std::string got(size, '\0');
    ASSERT_EQ(lseek(w.fd.fd, 0, SEEK_SET), 0);
    const ssize_t n = read_full(w.fd.fd, got.data(), got.size());
    rom_source_bind(-1, nullptr);
    if (!changed) {
      EXPECT_EQ(n, static_cast<ssize_t>(size));
      EXPECT_TRUE(got == server.bytes);
      EXPECT_FALSE(c.fault.failed);
    } else {
      EXPECT_EQ(n, -1);
      EXPECT_TRUE(c.fault.mismatch);
      EXPECT_EQ(c.fault.chunk, 3u);
    }
  }
}

}  // namespace
}  // namespace korvane
