// SPDX-License-Identifier: MIT
// korvane --pubkey against an image that changes after its check: the
// owner rewriting a block (and putting its modification time back), a
// writer with a descriptor kept from before a chmod, and a medium that
// answers a second read of the same bytes differently. The driver runs in
// a forked child on the simulated board; a platform table around the
// simulated one lets the change happen at a chosen moment (the first open
// of a partition, which the preflight makes, or the first erase), and the
// medium is this program's own read and pread answering for the image's
// file. Every case must end with exit status 1 and nothing of the changed
// bytes on flash.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "platform/platform.h"
#include "rom/append.h"
#include "rom/io.h"
#include "sign/sig_keys.h"
#include "sign/signature.h"
#include "sim/sim.h"
#include "sim/sim_board.h"
#include "tests/support/e2e.h"
#include "tests/support/install_util.h"

namespace korvane {
namespace {

using namespace install_test;
using e2e::scratch_dir;

constexpr const char *BOARD =
    "mtd0 nand size=1M erase=128K page=2048 oob=64\n"
    "mtd3 nand size=256K erase=16K page=512 oob=16\n";

// A kernel, u-boot and a block the install leaves alone, larger than the
// two chunks the reader holds, so that a later pass reads the file again.
// The attacker's u-boot has the same size (so every block keeps its place)
// and good CRCs of its own; its bytes are no shift of the pattern's.
std::string uboot(bool tampered) {
  std::string s = pattern(150000, 2);
  if (tampered) {
    for (char &c : s) c = static_cast<char>(c ^ 0xA5);
  }
  return s;
}

std::vector<blk_input> blocks(bool tampered, int seed = 0) {
  return {
      {ROM_BLK_TYPE_NAND_RAW, 0, "kernel", ROM_BLK_CT_NONE, pattern(300000, seed), ROM_VERIFY_CRC},
      {ROM_BLK_TYPE_NAND_RAW, 3, "uboot", ROM_BLK_CT_NONE,
       seed ? pattern(150000, seed) : uboot(tampered), ROM_VERIFY_CRC},
      {ROM_BLK_TYPE_FILE, 9, "config", ROM_BLK_CT_NONE, pattern(140000, seed + 3)},
  };
}

// Whether any 256-byte piece of the tampered u-boot is in bytes.
bool holds_tampered(const std::string &bytes) {
  const std::string t = uboot(true);
  for (size_t at = 0; at + 256 <= t.size(); at += 4096) {
    if (bytes.find(t.substr(at, 256)) != std::string::npos) return true;
  }
  return false;
}

// ---- the medium: read and pread of the image's file, answered twice ----

struct medium_state {
  bool armed = false;
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t at = 0;      // a byte of the image whose second answer differs
  std::string second;   // the whole image as the medium answers from then on
  int reads_of_at = 0;  // reads that covered `at`
};
medium_state g_medium;

bool is_image(int fd) {
  struct stat st;
  return g_medium.armed && fstat(fd, &st) == 0 && st.st_dev == g_medium.dev &&
         st.st_ino == g_medium.ino;
}

// After a read of n bytes at offset: from the second read of `at` on, the
// bytes come from the second answer.
void answer(void *buf, ssize_t n, uint64_t offset) {
  if (n <= 0 || g_medium.at < offset || g_medium.at >= offset + static_cast<uint64_t>(n)) {
    if (n > 0 && g_medium.reads_of_at > 0) {
      std::memcpy(buf, g_medium.second.data() + offset, static_cast<size_t>(n));
    }
    return;
  }
  if (g_medium.reads_of_at++ > 0)
    std::memcpy(buf, g_medium.second.data() + offset, static_cast<size_t>(n));
}

}  // namespace
}  // namespace korvane

using korvane::g_medium;

extern "C" ssize_t read(int fd, void *buf, size_t n) {
  static auto real = reinterpret_cast<ssize_t (*)(int, void *, size_t)>(dlsym(RTLD_NEXT, "read"));
  if (!korvane::is_image(fd)) return real(fd, buf, n);
  off_t at = lseek(fd, 0, SEEK_CUR);
  ssize_t r = real(fd, buf, n);
  korvane::answer(buf, r, static_cast<uint64_t>(at));
  return r;
}

// With a 64-bit off_t on a 32-bit system (the armhf build), the C library's
// headers name this function pread64, and the real one of that signature is
// pread64 too; on a 64-bit system pread64 is another name of pread.
extern "C" ssize_t pread(int fd, void *buf, size_t n, off_t offset) {
  static auto real =
      reinterpret_cast<ssize_t (*)(int, void *, size_t, off_t)>(dlsym(RTLD_NEXT, "pread64"));
  ssize_t r = real(fd, buf, n, offset);
  if (korvane::is_image(fd)) korvane::answer(buf, r, static_cast<uint64_t>(offset));
  return r;
}

namespace korvane {
namespace {

// ---- the moment of a change: a platform table around the simulated one ----

enum class moment { first_open, first_erase };
platform_ops g_inner;
moment g_when;
std::function<void()> g_change;

void fire() {
  if (!g_change) return;
  auto change = std::move(g_change);
  g_change = nullptr;
  change();
}

int hooked_open(const char *path, int flags, mode_t mode) {
  if (g_when == moment::first_open && std::strncmp(path, "/dev/mtd", 8) == 0) fire();
  return g_inner.open(path, flags, mode);
}

int hooked_ioctl(int fd, unsigned long request, void *arg) {
  if (g_when == moment::first_erase && request == MEMERASE) fire();
  return g_inner.ioctl(fd, request, arg);
}

struct outcome {
  int status;
  std::string out;
};

// A board an earlier install filled, a key, the signed image and the
// attacker's u-boot block.
struct race_board {
  scratch_dir dir;
  std::string image = dir / "image.rom";
  std::string pub = dir / "board.pub";
  std::string tampered;  // the image with the attacker's u-boot block
  blk_place uboot;

  race_board() {
    sig_public_key pk;
    sig_secret_key sk;
    EXPECT_TRUE(sig_keypair(&pk, &sk));
    e2e::write_file(pub, sig_public_text(pk));
    std::vector<blk_place> places = build_image(image, blocks(false));
    std::vector<blk_place> other = build_image(dir / "other.rom", blocks(true));
    uboot = places[1];
    EXPECT_EQ(other[1].offset, uboot.offset);
    std::vector<uint8_t> blk;
    {
      unique_fd fd{open(image.c_str(), O_RDONLY)};
      EXPECT_EQ(sig_make_block(fd.fd, places[2].offset + places[2].total, sk, &blk), 0);
    }
    std::string error, note;
    EXPECT_EQ(rom_append_built(image.c_str(), blk.data(), static_cast<uint32_t>(blk.size()), {},
                               &error, &note),
              0)
        << error;
    chmod(image.c_str(), 0644);
    tampered = e2e::read_file(image);
    const std::string other_bytes = e2e::read_file(dir / "other.rom");
    tampered.replace(uboot.offset, uboot.total, other_bytes.substr(uboot.offset, uboot.total));
    // What was on the board before.
    build_image(dir / "earlier.rom", blocks(false, 9));
    EXPECT_EQ(drive({"-e", "earlier.rom"}, moment::first_open, nullptr).status, 0);
  }

  // korvane ARGS in a child on the simulated board; change runs at `when`.
  outcome drive(const std::vector<std::string> &words, moment when,
                std::function<void()> change) const {
    int p[2];
    if (pipe(p) != 0) return {-1, ""};
    pid_t pid = fork();
    if (pid == 0) {
      close(p[0]);
      dup2(p[1], 1);
      if (chdir(dir.path().c_str()) != 0) _exit(99);
      sim_board board;
      std::string error;
      if (sim_board_parse(BOARD, "race board", &board, &error) != 0 ||
          sim_start(board, dir / "state", &error) != 0)
        _exit(98);
      g_inner = plat();
      platform_ops ops = g_inner;
      ops.open = hooked_open;
      ops.ioctl = hooked_ioctl;
      g_when = when;
      g_change = std::move(change);
      platform_install(&ops);
      std::vector<std::string> args = {"korvane"};
      args.insert(args.end(), words.begin(), words.end());
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      int status = korvane_main(static_cast<int>(args.size()), argv.data());
      fflush(stdout);
      sim_stop();
      _exit(status);
    }
    close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;)
      out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, out};
  }

  std::string mtd(int n) const {
    return e2e::read_file(dir / ("state/mtd" + std::to_string(n) + ".data"));
  }
  std::string events() const { return e2e::read_file(dir / "state/events.log"); }

  // The owner's rewrite of the u-boot block, in place, its times put back.
  void rewrite_keeping_mtime() const {
    struct stat st;
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    unique_fd fd{open(image.c_str(), O_WRONLY)};
    ASSERT_TRUE(fd.fd >= 0);
    ASSERT_EQ(pwrite(fd.fd, tampered.data() + uboot.offset, uboot.total,
                     static_cast<off_t>(uboot.offset)),
              static_cast<ssize_t>(uboot.total));
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(futimens(fd.fd, times), 0);
  }
};

TEST(SigningRace, BytesChangedAfterTheCheckNeverReachTheFlash) {
  struct row {
    const char *what;
    std::vector<std::string> args;
    moment when;
    bool kept_descriptor;  // else the owner rewrites and puts the time back
    bool nothing_erased;   // the preflight is the pass that finds it
  } rows[] = {
      {"the owner rewrites while the preflight runs",
       {"--pubkey", "board.pub", "--preflight", "--read-back", "-f", "crc", "-e", "image.rom"},
       moment::first_open,
       false,
       true},
      {"the owner rewrites at the first erase",
       {"--pubkey", "board.pub", "-f", "crc", "-e", "image.rom"},
       moment::first_erase,
       false,
       false},
      {"a descriptor kept from before a chmod writes at the first erase",
       {"--pubkey", "board.pub", "--read-back", "-e", "image.rom"},
       moment::first_erase,
       true,
       false},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    race_board b;
    unique_fd kept;
    if (r.kept_descriptor) {
      ASSERT_EQ(chmod(b.image.c_str(), 0666), 0);
      kept.reset(open(b.image.c_str(), O_WRONLY));
      ASSERT_GE(kept.fd, 0);
      ASSERT_EQ(chmod(b.image.c_str(), 0644), 0);
    }
    const std::string before = b.events();
    const std::string mtd3 = b.mtd(3);
    std::function<void()> change = [&] { b.rewrite_keeping_mtime(); };
    if (r.kept_descriptor) {
      change = [&] {
        ASSERT_EQ(pwrite(kept.fd, b.tampered.data() + b.uboot.offset, b.uboot.total,
                         static_cast<off_t>(b.uboot.offset)),
                  static_cast<ssize_t>(b.uboot.total));
      };
    }
    outcome got = b.drive(r.args, r.when, change);
    EXPECT_EQ(got.status, 1) << got.out;
    EXPECT_NE(got.out.find("signature: result=ok "), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("signature: result=refused problem=chunk-changed chunk="),
              std::string::npos)
        << got.out;
    EXPECT_FALSE(holds_tampered(b.mtd(3))) << "the changed u-boot is on flash";
    if (r.nothing_erased) {
      EXPECT_EQ(device_changes(b.events().substr(before.size())), std::vector<std::string>{});
      EXPECT_TRUE(b.mtd(3) == mtd3) << "mtd3 changed";
    }
  }
}

// A medium that answers the second read of the u-boot block differently:
// nothing about the file changes (size, times, inode), so only checking
// each chunk as it is read can see it.
TEST(SigningRace, AMediumThatAnswersASecondReadDifferently) {
  for (bool preflight : {false, true}) {
    SCOPED_TRACE(preflight ? "with --preflight" : "without --preflight");
    race_board b;
    struct stat st;
    ASSERT_EQ(stat(b.image.c_str(), &st), 0);
    g_medium = {true, st.st_dev, st.st_ino, b.uboot.offset + b.uboot.hsize + 100000, b.tampered, 0};
    std::vector<std::string> args = {"--pubkey", "board.pub", "-e", "image.rom"};
    if (preflight) args.insert(args.begin(), "--preflight");
    outcome got = b.drive(args, moment::first_open, nullptr);
    g_medium = {};
    EXPECT_EQ(got.status, 1) << got.out;
    EXPECT_NE(got.out.find("signature: result=refused problem=chunk-changed chunk="),
              std::string::npos)
        << got.out;
    EXPECT_FALSE(holds_tampered(b.mtd(3))) << "the medium's second answer is on flash";
    struct stat now;
    ASSERT_EQ(stat(b.image.c_str(), &now), 0);
    EXPECT_EQ(now.st_mtim.tv_nsec, st.st_mtim.tv_nsec);  // the file itself never changed
  }
}

// The untouched image through the same harness installs, so the cases
// above fail for the change and nothing else.
TEST(SigningRace, WithoutAChangeTheImageInstalls) {
  race_board b;
  outcome got = b.drive(
      {"--pubkey", "board.pub", "--preflight", "--read-back", "-f", "crc", "-e", "image.rom"},
      moment::first_open, nullptr);
  EXPECT_EQ(got.status, 0) << got.out;
  EXPECT_TRUE(b.mtd(3).substr(0, 150000) == uboot(false)) << "u-boot is not on flash";
  EXPECT_FALSE(holds_tampered(b.mtd(3)));
}

}  // namespace
}  // namespace korvane
