// SPDX-License-Identifier: MIT
// Signed images end to end: korvane-mkrom keygen and sign, then korvane
// --pubkey on korvane-sim and korvane-mkrom verify against every way an
// image can be changed after signing. A refused image leaves the board as it
// was: the partitions byte for byte, and no erase or write in the event log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "rom/append.h"
#include "rom/checksum.h"
#include "rom/layout.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

using namespace install_test;
using e2e::bin;
using e2e::scratch_dir;
namespace fs = std::filesystem;

constexpr const char *BOARD =
    "mtd0 nand size=1M erase=128K page=2048 oob=64 bad=2\n"
    "mtd1 nor size=512K erase=64K\n"
    "mtd3 nand size=256K erase=16K page=512 oob=16\n";

// A kernel, a NOR block whose payload is followed by padding, u-boot, and a
// block the install leaves alone.
std::vector<blk_input> blocks(int seed = 0) {
  return {
      {ROM_BLK_TYPE_NAND_RAW, 0, "kernel", ROM_BLK_CT_CYPHER1, firmware_like(200000, seed),
       ROM_VERIFY_CRC},
      {ROM_BLK_TYPE_NOR, 1, "env", ROM_BLK_CT_NONE, pattern(30001, seed + 1), ROM_VERIFY_CRC},
      {ROM_BLK_TYPE_NAND_RAW, 3, "uboot", ROM_BLK_CT_NONE, pattern(20000, seed + 2)},
      {ROM_BLK_TYPE_FILE, 9, "config", ROM_BLK_CT_NONE, pattern(1000, seed + 3)},
  };
}

e2e::run_result mkrom(const std::vector<std::string> &words, const std::string &cwd) {
  std::vector<std::string> args = {bin("korvane-mkrom")};
  args.insert(args.end(), words.begin(), words.end());
  return e2e::run(args, cwd);
}

// A board whose partitions an earlier install filled, a key pair, a
// second key pair, and a signed image.
struct signed_board {
  scratch_dir dir;
  std::string image = dir / "image.rom";
  std::vector<blk_place> places;
  uint64_t sig_offset = 0;

  signed_board() {
    e2e::write_file(dir / "board", BOARD);
    build_image(dir / "earlier.rom", blocks(7));
    EXPECT_EQ(korvane({"-e", "earlier.rom"}).status, 0);
    EXPECT_EQ(mkrom({"keygen", "board.key", "board.pub"}, dir.path()).status, 0);
    EXPECT_EQ(mkrom({"keygen", "other.key", "other.pub"}, dir.path()).status, 0);
    places = build_image(image, blocks());
    sig_offset = fs::file_size(image);
    e2e::run_result r = mkrom({"sign", "image.rom", "board.key"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    chmod(image.c_str(), 0644);
  }

  e2e::run_result korvane(const std::vector<std::string> &words) const {
    std::vector<std::string> args = {bin("korvane-sim"), "--board", "board",
                                     "--state",          "state",   "--"};
    args.insert(args.end(), words.begin(), words.end());
    return e2e::run(args, dir.path());
  }

  std::map<std::string, std::string> flash() const {
    std::map<std::string, std::string> m;
    for (const auto &e : fs::directory_iterator(dir / "state")) {
      std::string name = e.path().filename();
      if (name.rfind("mtd", 0) == 0) m[name] = e2e::read_file(e.path());
    }
    return m;
  }
  std::string events() const { return e2e::read_file(dir / "state/events.log"); }
};

void flip(const std::string &path, uint64_t offset, uint8_t mask = 0x01) {
  std::string bytes = e2e::read_file(path);
  bytes.at(offset) = static_cast<char>(bytes.at(offset) ^ mask);
  e2e::write_file(path, bytes);
}

// The rom header's CRC computed again, as someone who changes a field would.
void reseal_rom(const std::string &path) {
  std::string bytes = e2e::read_file(path);
  std::memset(&bytes[HDR_HCRC_OFFSET], 0, 4);
  be32 crc;
  crc.set(crc32(0, bytes.data(), ROM_HDR_SIZE));
  std::memcpy(&bytes[HDR_HCRC_OFFSET], &crc, 4);
  e2e::write_file(path, bytes);
}

void edit_rom(const std::string &path, const std::function<void(rom_hdr &)> &edit) {
  std::string bytes = e2e::read_file(path);
  rom_hdr h;
  std::memcpy(&h, bytes.data(), sizeof h);
  edit(h);
  std::memcpy(bytes.data(), &h, sizeof h);
  e2e::write_file(path, bytes);
  reseal_rom(path);
}

// Lines of the event log after `before` that change the board.
std::vector<std::string> writes_since(const std::string &before, const std::string &after) {
  std::vector<std::string> lines;
  std::string added = after.substr(before.size());
  for (size_t at = 0; at < added.size();) {
    size_t end = added.find('\n', at);
    std::string line = added.substr(at, end - at);
    at = end == std::string::npos ? added.size() : end + 1;
    std::string word = line.substr(0, line.find(' '));
    if (word == "erase" || word == "write" || word == "oobwrite") lines.push_back(line);
  }
  return lines;
}

// An image as the first release signed it: a signature block of 96 bytes
// (tag version 1) over the whole image in one pass. Its signature is not
// looked at: the format itself is refused.
void sign_in_old_format(const std::string &path) {
  alignas(4) blk_hdr h{};
  h.magic.set(BLK_MAGIC);
  h.hsize.set(ROM_HDR_SIZE);
  h.format.set(1);
  h.length.set(96);
  h.total.set(ROM_HDR_SIZE + 96);
  h.verify.set(0xFFFFFFFF);
  h.type.set(ROM_BLK_TYPE_NONE);
  set_text_field(h.name, "signature");
  set_text_field(h.version, "ed25519ph");
  h.hcrc.set(crc32(0, &h, ROM_HDR_SIZE));
  uint8_t blk[ROM_HDR_SIZE + 96] = {};
  std::memcpy(blk, &h, sizeof h);
  const uint8_t tag[8] = {'K', 'V', 'S', 'I', 'G', 0, 0, 1};
  std::memcpy(blk + ROM_HDR_SIZE, tag, sizeof tag);
  blk[ROM_HDR_SIZE + 11] = 1;  // the algorithm
  std::string error, note;
  ASSERT_EQ(rom_append_built(path.c_str(), blk, sizeof blk, {}, &error, &note), 0) << error;
}

TEST(SigningSim, EveryChangeAfterSigningIsRefusedAndTheBoardKept) {
  using edit = std::function<void(signed_board &)>;
  struct row {
    const char *what;
    edit damage;
    const char *problem;  // the word both korvane and korvane-mkrom verify name
  };
  const row rows[] = {
      {"the rom header's device name (its CRC made again)",
       [](signed_board &b) {
         flip(b.image, offsetof(rom_hdr, dev_name));
         reseal_rom(b.image);
       },
       "bad-signature"},
      {"the rom header's reserved bytes",
       [](signed_board &b) {
         flip(b.image, offsetof(rom_hdr, reserved) + 5);
         reseal_rom(b.image);
       },
       "bad-signature"},
      {"a block header (its CRC made again)",
       [](signed_board &b) {
         edit_header(b.image, b.places[2].offset, [](blk_hdr &h) { h.id.set(0); });
       },
       "bad-signature"},
      {"a payload", [](signed_board &b) { flip(b.image, b.places[2].offset + 128 + 77); },
       "bad-signature"},
      {"the padding between two blocks",
       [](signed_board &b) {
         const blk_place &p = b.places[1];
         ASSERT_LT(p.hsize + p.length, p.total);
         flip(b.image, p.offset + p.hsize + p.length);
       },
       "bad-signature"},
      {"the signature", [](signed_board &b) { flip(b.image, b.sig_offset + 128 + 40); },
       "bad-signature"},
      {"the signature block's version field",
       [](signed_board &b) {
         edit_header(b.image, b.sig_offset, [](blk_hdr &h) { h.version[0] ^= 1; });
       },
       "bad-signature"},
      {"the signature block's covered length",
       [](signed_board &b) { flip(b.image, b.sig_offset + 128 + 31); }, "format"},
      {"the signature block's key id",
       [](signed_board &b) { flip(b.image, b.sig_offset + 128 + 16); }, "unknown-key"},
      {"the signature block's name", [](signed_board &b) { flip(b.image, b.sig_offset + 40); },
       "unsigned"},
      {"a block added after signing",
       [](signed_board &b) {
         e2e::write_file(b.dir / "more", pattern(5000, 3));
         e2e::run_result r =
             mkrom({"add", "image.rom", "more", "-t", "nand-raw", "-p", "none", "--id", "4"},
                   b.dir.path());
         ASSERT_EQ(r.status, 0) << r.err;
         chmod(b.image.c_str(), 0644);
       },
       "after-signature"},
      {"bytes after the signature block",
       [](signed_board &b) {
         e2e::write_file(b.image, e2e::read_file(b.image) + std::string(16, '\0'));
       },
       "after-signature"},
      {"the image cut in the signature block's header",
       [](signed_board &b) { fs::resize_file(b.image, b.sig_offset + 100); }, "cut-short"},
      {"the image cut in the signature",
       [](signed_board &b) { fs::resize_file(b.image, b.sig_offset + 200); }, "cut-short"},
      {"the image cut in a payload",
       [](signed_board &b) { fs::resize_file(b.image, b.places[1].offset + 1000); }, "cut-short"},
      {"signed by another key",
       [](signed_board &b) {
         build_image(b.image, blocks());
         ASSERT_EQ(mkrom({"sign", "image.rom", "other.key"}, b.dir.path()).status, 0);
       },
       "unknown-key"},
      {"unsigned", [](signed_board &b) { build_image(b.image, blocks()); }, "unsigned"},
      {"signed in the first release's format",
       [](signed_board &b) {
         build_image(b.image, blocks());
         sign_in_old_format(b.image);
       },
       "old-format"},
      {"a chunk's digest in the table",
       [](signed_board &b) { flip(b.image, b.sig_offset + 128 + 112 + 5); }, "bad-signature"},
      {"the trailer's offset", [](signed_board &b) { flip(b.image, fs::file_size(b.image) - 9); },
       "format"},
      {"a block file", [](signed_board &b) { build_image(b.image, {blocks()[2]}, false); },
       "block-file"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    signed_board b;
    r.damage(b);
    chmod(b.image.c_str(), 0644);
    const auto flash = b.flash();
    const std::string events = b.events();
    e2e::run_result got = b.korvane({"--pubkey", "board.pub", "-e", "image.rom"});
    EXPECT_EQ(got.status, 1) << got.out;
    EXPECT_EQ(got.out.rfind(std::string("signature: result=refused problem=") + r.problem + " ", 0),
              0u)
        << got.out;
    EXPECT_EQ(got.out.find('\n'), got.out.size() - 1) << "one line: " << got.out;
    EXPECT_TRUE(b.flash() == flash) << "the partitions changed";
    EXPECT_EQ(writes_since(events, b.events()), std::vector<std::string>{});
    // The preflight comes after the signature: it never runs.
    got = b.korvane({"--preflight", "--pubkey", "board.pub", "-e", "image.rom"});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out.find("preflight:"), std::string::npos) << got.out;

    e2e::run_result v = mkrom({"verify", "image.rom", "board.pub"}, b.dir.path());
    EXPECT_EQ(v.status, 1) << v.out;
    EXPECT_EQ(v.out, "");
    EXPECT_NE(v.err.find(std::string("refused (") + r.problem + ")"), std::string::npos) << v.err;
  }
}

// The untouched image: verified by either key list that holds its key (so
// keys can be rotated), and installed exactly as without --pubkey.
TEST(SigningSim, TheSignedImageInstallsAsWithoutTheCheck) {
  signed_board b, plain;
  ASSERT_EQ(plain.korvane({"-e", "image.rom"}).status, 0);
  const std::string events = b.events();
  e2e::run_result got = b.korvane(
      {"--pubkey", "other.pub", "--pubkey", "board.pub", "--preflight", "-e", "image.rom"});
  EXPECT_EQ(got.status, 0) << got.out;
  EXPECT_EQ(got.out.rfind(
                "signature: result=ok block=4 offset=" + std::to_string(b.sig_offset) + " key=", 0),
            0u)
      << got.out;
  EXPECT_NE(got.out.find(" covered=" + std::to_string(b.sig_offset - 128) +
                         " keyfile=board.pub\n"
                         "preflight: image"),
            std::string::npos)
      << got.out;
  EXPECT_FALSE(writes_since(events, b.events()).empty());
  EXPECT_TRUE(b.flash() == plain.flash()) << "the partitions differ from a plain install";

  e2e::run_result v = mkrom({"verify", "image.rom", "other.pub", "board.pub"}, b.dir.path());
  EXPECT_EQ(v.status, 0) << v.err;
  EXPECT_NE(v.out.find("image.rom: good signature by key "), std::string::npos);
  EXPECT_NE(v.out.find(" (board.pub)\n"), std::string::npos) << v.out;
}

// The fields that appending a block changes are not signed: changed alone,
// they are caught by the walk's own checks (the rom header's CRC, the
// preflight's counts) or change nothing that is installed.
TEST(SigningSim, TheFieldsOutsideTheSignatureAreCaughtOrHarmless) {
  signed_board reference;
  ASSERT_EQ(reference.korvane({"--pubkey", "board.pub", "-e", "image.rom"}).status, 0);
  struct row {
    const char *what;
    std::function<void(const std::string &)> edit;
    int status;  // of korvane --pubkey -e
  } rows[] = {
      {"the header CRC", [](const std::string &p) { flip(p, HDR_HCRC_OFFSET); }, 1},
      {"the length (CRC made again)",
       [](const std::string &p) { edit_rom(p, [](rom_hdr &h) { h.length.set(16); }); }, 0},
      {"the block count (CRC made again)",
       [](const std::string &p) { edit_rom(p, [](rom_hdr &h) { h.blocks.set(99); }); }, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    signed_board b;
    r.edit(b.image);
    const auto flash = b.flash();
    const std::string events = b.events();
    e2e::run_result got = b.korvane({"--pubkey", "board.pub", "-e", "image.rom"});
    EXPECT_EQ(got.status, r.status) << got.out;
    // korvane-mkrom verify answers what the board would.
    e2e::run_result v = mkrom({"verify", "image.rom", "board.pub"}, b.dir.path());
    EXPECT_EQ(v.status, r.status) << v.out << v.err;
    if (r.status) EXPECT_NE(v.err.find("refused (header-crc)"), std::string::npos) << v.err;
    if (r.status) {
      EXPECT_TRUE(b.flash() == flash);
      EXPECT_EQ(writes_since(events, b.events()), std::vector<std::string>{});
      continue;
    }
    EXPECT_EQ(got.out.rfind("signature: result=ok ", 0), 0u) << got.out;
    EXPECT_TRUE(b.flash() == reference.flash()) << "not what the untouched image installs";
    // The preflight names the counts that disagree with the walk.
    got = b.korvane({"--pubkey", "board.pub", "--preflight", "-z", "-e", "image.rom"});
    EXPECT_EQ(got.status, 1) << got.out;
    EXPECT_NE(got.out.find("preflight: verdict=refused"), std::string::npos) << got.out;
  }
}

// -i shows a refused image and ends with 1; -x extracts nothing; a file
// group or others may write is refused before its signature is read.
TEST(SigningSim, InfoExtractAndAWritableImage) {
  signed_board b;
  e2e::run_result got = b.korvane({"--pubkey", "other.pub", "-i", "image.rom"});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out.rfind("signature: result=refused problem=unknown-key ", 0), 0u) << got.out;
  EXPECT_NE(got.out.find("blk name        :signature\n"), std::string::npos) << got.out;

  fs::create_directory(b.dir / "out");
  got = e2e::run({bin("korvane"), "--pubkey", "../other.pub", "-x", "../image.rom"}, b.dir / "out");
  EXPECT_EQ(got.status, 1);
  EXPECT_TRUE(fs::is_empty(b.dir / "out")) << got.out;
  got = e2e::run({bin("korvane"), "--pubkey", "../board.pub", "-x", "../image.rom"}, b.dir / "out");
  EXPECT_EQ(got.status, 0) << got.out;
  EXPECT_TRUE(fs::exists(b.dir / "out/4-0-none-signature"));

  chmod(b.image.c_str(), 0664);
  const std::string events = b.events();
  got = b.korvane({"--pubkey", "board.pub", "-e", "image.rom"});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out,
            "signature: result=refused problem=writable mode=0664 reason=group or others "
            "may change the image while it is used; chmod go-w it\n");
  EXPECT_EQ(writes_since(events, b.events()), std::vector<std::string>{});
  got = b.korvane({"--pubkey", "missing.pub", "-e", "image.rom"});
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(got.out.rfind("signature: result=refused problem=key-file keyfile=missing.pub reason="
                          "cannot use the key: No such file or directory",
                          0),
            0u)
      << got.out;
}

// keygen writes a secret only its owner may read and never replaces a key;
// sign refuses a signed image and says what to do instead.
TEST(SigningSim, KeygenAndSignRefuseToOverwrite) {
  signed_board b;
  struct stat st;
  ASSERT_EQ(stat((b.dir / "board.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string secret = e2e::read_file(b.dir / "board.key");
  e2e::run_result r = mkrom({"keygen", "board.key", "new.pub"}, b.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("board.key exists"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(b.dir / "new.pub"));
  r = mkrom({"keygen", "new.key", "board.pub"}, b.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(b.dir / "new.key"));
  EXPECT_EQ(e2e::read_file(b.dir / "board.key"), secret);

  const std::string image = e2e::read_file(b.image);
  r = mkrom({"sign", "image.rom", "other.key"}, b.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("image.rom is already signed (block 4 is its signature)"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("sign the unsigned image it was made from"), std::string::npos);
  EXPECT_EQ(e2e::read_file(b.image), image);
}

// What the board refuses before it reads an image: a public key or an
// image that someone else may change, and a file that is not one (a FIFO,
// which a blocking open would wait on for ever). With -h, a refused image
// that -i still shows ends the caller with 1, not only the detached child.
TEST(SigningSim, TheBoardRefusesWhatOthersMayChange) {
  signed_board b;
  const std::string events = b.events();
  struct row {
    const char *what;
    std::function<void(signed_board &)> setup;
    std::vector<std::string> args;
    const char *line;  // the start of what korvane prints
  } rows[] = {
      {"a public key group may write",
       [](signed_board &b) { chmod((b.dir / "board.pub").c_str(), 0664); },
       {"--pubkey", "board.pub", "-e", "image.rom"},
       "signature: result=refused problem=key-file keyfile=board.pub reason=cannot use the key: "
       "group or others may change it (mode 0664); chmod go-w it\n"},
      {"an image another user owns",
       [](signed_board &b) { ASSERT_EQ(chown(b.image.c_str(), 4321, 4321), 0); },
       {"--pubkey", "board.pub", "-e", "image.rom"},
       "signature: result=refused problem=owner uid=4321 reason="},
      {"a FIFO as the image",
       [](signed_board &b) { ASSERT_EQ(mkfifo((b.dir / "fifo").c_str(), 0644), 0); },
       {"--pubkey", "board.pub", "-e", "fifo"},
       "image: result=refused problem=file-type path=fifo reason=not a regular file or block "
       "device\n"},
      {"with -h, an image -i shows refused",
       [](signed_board &) {},
       {"-h", "--pubkey", "other.pub", "-i", "image.rom"},
       "signature: result=refused problem=unknown-key "},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    if (getuid() != 0 && std::string(r.what).find("another user") != std::string::npos) continue;
    signed_board b;
    r.setup(b);
    const std::string before = b.events();
    // A timeout, so that a run that waits for a writer fails instead of hanging.
    std::vector<std::string> args = {
        "/usr/bin/timeout", "20", bin("korvane-sim"), "--board", "board", "--state", "state", "--"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    e2e::run_result got = e2e::run(args, b.dir.path());
    EXPECT_EQ(got.status, 1) << got.out;
    EXPECT_EQ(got.out.rfind(r.line, 0), 0u) << got.out;
    EXPECT_EQ(writes_since(before, b.events()), std::vector<std::string>{});
  }
  // Without the added options, korvane itself no longer waits in open() on
  // a FIFO either: it fails where it positions the file, as it always did
  // once a writer had come.
  ASSERT_EQ(mkfifo((b.dir / "fifo").c_str(), 0644), 0);
  e2e::run_result got =
      e2e::run({"/usr/bin/timeout", "20", bin("korvane"), "-i", "fifo"}, b.dir.path());
  EXPECT_EQ(got.status, 1) << got.out;
  EXPECT_EQ(got.out.rfind("failed to seek file,", 0), 0u) << got.out;
  EXPECT_EQ(writes_since(events, b.events()), std::vector<std::string>{});
}

}  // namespace
}  // namespace korvane
