// SPDX-License-Identifier: MIT
// The image walk as `korvane -x` and `korvane -g -x` run it, into a scratch
// folder: any bytes as a rom image or block file, every block written to a
// file of its own, decoded and then as stored. Nothing may appear outside
// the output folder, nothing but plain files inside it (no folder, no link
// followed or made), and every descriptor is handed back.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"
#include "rom/show.h"

using namespace korvane;
namespace fs = std::filesystem;

namespace {

// Checks what one extraction left and clears the output folder.
void check_and_clear(const std::string &root, const std::string &out) {
  int entries = 0;
  for (const auto &e : fs::directory_iterator(root)) {
    ++entries;
    FUZZ_CHECK(e.path() == root + "/image" || e.path() == out);
  }
  FUZZ_CHECK(entries == 2);
  for (const auto &e : fs::directory_iterator(out)) {
    struct stat st;
    FUZZ_CHECK(lstat(e.path().c_str(), &st) == 0);
    FUZZ_CHECK(S_ISREG(st.st_mode));
  }
  fuzz::empty_folder(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string root = fuzz::scratch();
  static const std::string image = root + "/image";
  static const std::string out = [] {
    std::string dir = root + "/out";
    fs::create_directory(dir);
    return dir;
  }();
  fuzz::write_input(image, data, size);
  const int fds = fuzz::open_fds();
  for (int with_header : {0, 1}) {
    int r = rom_show(image.c_str(), out.c_str(), 0, with_header, 1);
    FUZZ_CHECK(r == 0 || r == -14);
    FUZZ_CHECK(fuzz::open_fds() == fds);
    check_and_clear(root, out);
  }
  return 0;
}
