// SPDX-License-Identifier: MIT
// The signature block's reader as `korvane --pubkey -e` runs it: any bytes
// as an image, checked against a fixed key (the seeds hold images signed
// with it). The walk must end and hand back every descriptor; a signature
// that checks must be the image's last block and cover everything before
// it; and an image that checks must fail once any byte it signs changes.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "rom/walk.h"
#include "sign/sig_keys.h"
#include "sign/signature.h"

using namespace korvane;

namespace {

// A key for fuzzing only; fuzz/make-seeds.sh signs the seeds with it.
constexpr char FUZZ_SECRET[] =
    "korvane-ed25519-secret "
    "8987f79eebcaf47093f4609417eedc872a57c979b1f2bca935241df3795680bc6057b5a5b478583e3c9644c3d1f6ea"
    "cd550d79fedfa6e1f2c7a311ac1a196ef5\n";

sig_public_key fuzz_key;

int check(const std::string &path, sig_verdict *v) {
  rom_walk w;
  if (rom_walk_open(&w, path.c_str(), O_RDONLY) < 0) return -2;
  return sig_check(&w, &fuzz_key, 1, v);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_stdout();
  sig_secret_key sk;
  std::string error;
  FUZZ_CHECK(sig_parse_secret(FUZZ_SECRET, &sk, &error));
  sig_public_of(sk, &fuzz_key);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string image = fuzz::scratch() + "/image";
  fuzz::write_input(image, data, size);
  const int fds = fuzz::open_fds();
  sig_verdict v;
  int r = check(image, &v);
  FUZZ_CHECK(fuzz::open_fds() == fds);
  if (r != 0) {
    FUZZ_CHECK(r == -2 || v.problem != sig_problem::none);
    return 0;
  }
  FUZZ_CHECK(v.key == 0);
  FUZZ_CHECK(v.found.offset + v.found.hdr.total.get() == size);
  FUZZ_CHECK(v.covered == v.found.offset - ROM_HDR_SIZE);

  // One byte the signature covers, chosen by the input, changed.
  size_t at = (size_t{data[size / 2]} * 7919 + size) % size;
  const bool unsigned_field = at < ROM_HDR_SIZE && (at / 4 == 2 || at / 4 == 5 || at / 4 == 7);
  if (unsigned_field) return 0;  // hcrc, length, blocks
  std::string changed(reinterpret_cast<const char *>(data), size);
  changed[at] = static_cast<char>(changed[at] ^ 0x20);
  fuzz::write_input(image, reinterpret_cast<const uint8_t *>(changed.data()), size);
  FUZZ_CHECK(check(image, &v) != 0);
  return 0;
}
