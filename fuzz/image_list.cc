// SPDX-License-Identifier: MIT
// `korvane-mkrom list IMAGE --json` and the text listing over any bytes as an
// image. The JSON document must parse (texts from the image are arbitrary
// bytes), hold the file's size and kind, and list the blocks in walk order
// at rising offsets inside the file; both listings end alike, and every
// descriptor is handed back.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.h"
#include "tools/mkrom.h"

using namespace korvane;
using nlohmann::json;

namespace {

// Runs korvane-mkrom with standard output in a scratch file; returns the
// exit status and leaves what it printed in *out.
int run_mkrom(std::vector<std::string> words, std::string *out) {
  std::fflush(stdout);
  FUZZ_CHECK(ftruncate(STDOUT_FILENO, 0) == 0);
  FUZZ_CHECK(lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int status = mkrom::main(static_cast<int>(words.size()), argv.data());
  std::fflush(stdout);
  out->clear();
  char buf[65536];
  ssize_t n;
  for (off_t at = 0; (n = pread(STDOUT_FILENO, buf, sizeof buf, at)) > 0; at += n)
    out->append(buf, static_cast<size_t>(n));
  FUZZ_CHECK(n == 0);
  return status;
}

void check_document(const std::string &text, size_t size) {
  json doc = json::parse(text);  // throws, and so stops the run, on anything but JSON
  FUZZ_CHECK(doc.at("format") == "korvane-mkrom list" && doc.at("version") == 1);
  FUZZ_CHECK(doc.at("size") == size);
  const std::string kind = doc.at("kind");
  FUZZ_CHECK(kind == "rom" || kind == "block");
  FUZZ_CHECK(doc.at("rom").is_null() == (kind == "block"));
  const json &blocks = doc.at("blocks");
  FUZZ_CHECK(blocks.is_array());
  uint64_t previous = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const json &b = blocks[i];
    FUZZ_CHECK(b.at("index") == i);
    const uint64_t offset = b.at("offset");
    FUZZ_CHECK(offset < size && (i == 0 || offset > previous));
    FUZZ_CHECK(b.at("name").is_string() && b.at("version").is_string());
    previous = offset;
  }
  // The walk ends at or after its last block; a block's total may carry it
  // past the end of the file.
  const uint64_t end = doc.at("walk").at("end_offset");
  FUZZ_CHECK(end >= previous);
  FUZZ_CHECK(doc.at("walk").at("stopped").is_string());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Standard output goes to a scratch file the target reads back; the error
  // messages go through the stdio stream stderr, pointed at /dev/null
  // (libFuzzer and the sanitizers keep descriptor 2).
  const std::string path = fuzz::scratch() + "/listing";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  std::fflush(stdout);
  FUZZ_CHECK(dup2(fd, STDOUT_FILENO) == STDOUT_FILENO);
  close(fd);
  FILE *null_stream = std::fopen("/dev/null", "w");
  FUZZ_CHECK(null_stream != nullptr);
  stderr = null_stream;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string image = fuzz::scratch() + "/image";
  fuzz::write_input(image, data, size);
  const int fds = fuzz::open_fds();
  std::string json_text, text;
  const int json_status = run_mkrom({"korvane-mkrom", "list", image, "--json"}, &json_text);
  FUZZ_CHECK(fuzz::open_fds() == fds);
  const int text_status = run_mkrom({"korvane-mkrom", "list", image}, &text);
  FUZZ_CHECK(fuzz::open_fds() == fds);
  FUZZ_CHECK(json_status == text_status);
  FUZZ_CHECK(json_status == mkrom::EXIT_DONE || json_status == mkrom::EXIT_FAILED);
  if (json_status == mkrom::EXIT_DONE) {
    check_document(json_text, size);
    FUZZ_CHECK(!text.empty());
  } else {
    FUZZ_CHECK(json_text.empty() && text.empty());
  }
  return 0;
}
