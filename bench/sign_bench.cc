// SPDX-License-Identifier: MIT
// Signing and checking a large image: a 1 GiB sparse rom image (one block of
// type file), signed and checked through the library in this process, and
// checked by korvane --pubkey and korvane-mkrom verify as programs. For each
// step: the time, the bytes read (rchar of /proc/self/io) against the
// image's size, and the peak resident set it added (VmHWM, reset before the
// step through /proc/self/clear_refs). A benchmark to run by hand:
//   build/default/bin/korvane_sign_bench [FOLDER] [MiB]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "rom/append.h"
#include "rom/build.h"
#include "rom/checksum.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/walk.h"
#include "sign/sig_keys.h"
#include "sign/signature.h"

using namespace korvane;

namespace {

long status_kib(const char *key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}

unsigned long long io_count(const char *key) {
  std::ifstream in("/proc/self/io");
  std::string word;
  unsigned long long value = 0;
  while (in >> word >> value) {
    if (word == key) return value;
  }
  return 0;
}

void step(const char *what, uint64_t image_size, const std::function<bool()> &f) {
  std::ofstream("/proc/self/clear_refs") << "5";
  const long rss_before = status_kib("VmRSS:");
  const unsigned long long read_before = io_count("rchar:");
  const auto start = std::chrono::steady_clock::now();
  const bool ok = f();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const unsigned long long read = io_count("rchar:") - read_before;
  std::printf("%-28s %s %7.2f s  read %6.3f x the image  peak +%ld KiB (VmHWM %ld KiB)\n", what,
              ok ? "ok    " : "FAILED", seconds, static_cast<double>(read) / image_size,
              status_kib("VmHWM:") - rss_before, status_kib("VmHWM:"));
}

// A program's peak resident set (its own, from wait4) and time.
void program(const char *what, const std::vector<std::string> &argv) {
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> av;
    for (const std::string &a : argv) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    execv(av[0], av.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-28s %s %7.2f s  peak %ld KiB\n", what,
              WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "ok    " : "FAILED", seconds,
              ru.ru_maxrss);
}

}  // namespace

int main(int argc, char **argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  const std::string image = dir + "/sign-bench.rom", pub = dir + "/sign-bench.pub";
  const uint32_t length = static_cast<uint32_t>(mib << 20);

  // The image: a rom header and one block whose payload is a hole.
  if (rom_create(image.c_str(), 7, "board", "", "", 0) != 0) return 1;
  {
    alignas(4) blk_hdr h{};
    h.magic.set(BLK_MAGIC);
    h.hsize.set(ROM_HDR_SIZE);
    h.format.set(1);
    h.length.set(length);
    h.total.set(ROM_HDR_SIZE + blk_padded(length));
    h.verify.set(0xFFFFFFFF);
    h.type.set(ROM_BLK_TYPE_FILE);
    set_text_field(h.name, "big");
    h.hcrc.set(crc32(0, &h, ROM_HDR_SIZE));
    unique_fd fd{open(image.c_str(), O_RDWR)};
    if (pwrite(fd.fd, &h, sizeof h, ROM_HDR_SIZE) != sizeof h) return 1;
    if (ftruncate(fd.fd, ROM_HDR_SIZE + h.total.get()) != 0) return 1;
  }
  if (rom_rescan(image.c_str()) != 0) return 1;
  struct stat st;
  stat(image.c_str(), &st);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::printf("image %s: %llu bytes (sparse)\n", image.c_str(),
              static_cast<unsigned long long>(size));

  sig_public_key pk;
  sig_secret_key sk;
  sig_keypair(&pk, &sk);
  std::ofstream(pub) << sig_public_text(pk);
  std::vector<uint8_t> blk;
  step("sign: the signature block", size, [&] {
    unique_fd fd{open(image.c_str(), O_RDONLY)};
    return sig_make_block(fd.fd, size, sk, &blk) == 0;
  });
  step("sign: the crash-safe append", size, [&] {
    std::string error, note;
    return rom_append_built(image.c_str(), blk.data(), static_cast<uint32_t>(blk.size()), {},
                            &error, &note) == 0;
  });
  step("check", size, [&] {
    rom_walk w;
    if (rom_walk_open(&w, image.c_str(), O_RDONLY) < 0) return false;
    sig_verdict v;
    return sig_check(&w, &pk, 1, &v) == 0;
  });
  const std::string bin = KORVANE_BIN_DIR;
  chmod(image.c_str(), 0644);
  program("korvane --pubkey -I", {bin + "/korvane", "--pubkey", pub, "-I", image});
  program("korvane-mkrom verify", {bin + "/korvane-mkrom", "verify", image, pub});
  std::remove(image.c_str());
  std::remove(pub.c_str());
  return 0;
}
