// SPDX-License-Identifier: MIT
// korvane-mkrom: the helpers its subcommands share.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "rom/layout.h"
#include "rom/output.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {

const char TYPE_WORDS[] = "none, bin, tool, file, nand-raw, nand-oob, nor, script, exe";
const char CYPHER_WORDS[] =
    "none, cypher1 (c1, 7zip), cypher2 (c2, gzip), cypher3 (c3), cypher4 (c4), AES, DES";
const char FLAG_WORDS[] = "a comma-separated list of force, tool, crc, checksum";

int cmdline_error(const std::string &self, const char *fmt, ...) {
  std::fprintf(stderr, "%s: ", self.c_str());
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "\nTry '%s --help'.\n", self.c_str());
  return EXIT_CMDLINE;
}

int failed(const std::string &self, const char *fmt, ...) {
  std::fprintf(stderr, "%s: ", self.c_str());
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  return EXIT_FAILED;
}

bool parse_number(const char *text, uint64_t max, uint64_t *value) {
  int base = 10;
  const char *digits = text;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text + 2;
  }
  if (!*digits) return false;
  for (const char *p = digits; *p; ++p) {
    bool ok = base == 10 ? (*p >= '0' && *p <= '9') : std::isxdigit(static_cast<unsigned char>(*p));
    if (!ok) return false;
  }
  errno = 0;
  char *end = nullptr;
  unsigned long long v = std::strtoull(digits, &end, base);
  if (errno == ERANGE || *end || v > max) return false;
  *value = v;
  return true;
}

// ---- captured_report --------------------------------------------------------

captured_report::captured_report() {
  mem_ = open_memstream(&buf_, &len_);
  if (mem_) before_ = report_to(mem_);
}

captured_report::~captured_report() { take(); }

std::string captured_report::take() {
  if (!mem_) return "";
  report_to(before_);
  std::fclose(mem_);
  mem_ = nullptr;
  std::string text(buf_ ? buf_ : "", len_);
  std::free(buf_);
  buf_ = nullptr;
  std::string joined;
  size_t from = 0;
  while (from < text.size()) {
    size_t nl = text.find('\n', from);
    std::string line = text.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
    if (!line.empty()) joined += (joined.empty() ? "" : "; ") + line;
    if (nl == std::string::npos) break;
    from = nl + 1;
  }
  return joined;
}

// ---- progress_line ------------------------------------------------------------

void progress_line::begin(const std::string &what, uint64_t total, bool large) {
  end();
  if (!large || !isatty(STDERR_FILENO)) return;
  what_ = what;
  total_ = total;
  done_ = 0;
  stop_ = false;
  shown_ = true;
  start_ = std::chrono::steady_clock::now();
  draw();
  ticker_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; })) draw();
  });
}

void progress_line::step(void *ctx, uint64_t done, uint64_t total) {
  auto *p = static_cast<progress_line *>(ctx);
  if (total) p->total_ = total;
  p->set(done);
}

void progress_line::draw() {
  char line[512];
  uint64_t total = total_;
  if (total) {
    uint64_t done = std::min<uint64_t>(done_, total);
    std::snprintf(line, sizeof line, "\r%s: %s %3u %%\033[K", self_.c_str(), what_.c_str(),
                  static_cast<unsigned>(done * 100 / total));
  } else {
    auto secs =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_)
            .count();
    uint64_t done = done_;
    if (done)
      std::snprintf(line, sizeof line, "\r%s: %s %" PRIu64 " MiB, %lld s\033[K", self_.c_str(),
                    what_.c_str(), done >> 20, static_cast<long long>(secs));
    else
      std::snprintf(line, sizeof line, "\r%s: %s %lld s\033[K", self_.c_str(), what_.c_str(),
                    static_cast<long long>(secs));
  }
  std::fputs(line, stderr);
  std::fflush(stderr);
}

void progress_line::end() {
  if (!shown_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace korvane::mkrom
