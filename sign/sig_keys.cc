// SPDX-License-Identifier: MIT
#include "sign/sig_keys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rom/io.h"

namespace korvane {
namespace {

constexpr size_t KEY_FILE_MAX = 4096;

int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "WORD HEX\n" (the line end optional) into n bytes.
bool parse_key(const std::string &text, const char *word, uint8_t *out, size_t n,
               std::string *error) {
  std::string body = text;
  if (!body.empty() && body.back() == '\n') body.pop_back();
  const std::string head = std::string(word) + " ";
  if (body.compare(0, head.size(), head) != 0) {
    *error = std::string("not a key file of this kind (it does not begin with '") + word + "')";
    return false;
  }
  const std::string hex = body.substr(head.size());
  if (hex.size() != 2 * n) {
    *error = "the key is " + std::to_string(hex.size()) + " hexadecimal digits, not " +
             std::to_string(2 * n);
    return false;
  }
  for (size_t i = 0; i < n; ++i) {
    int hi = digit(hex[2 * i]), lo = digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      *error = "the key holds a character that is not a hexadecimal digit";
      return false;
    }
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

bool read_text(const char *path, bool secret, std::string *text, std::string *error) {
  // Not blocking: a FIFO or device given as a key file is refused below
  // instead of waiting for a writer.
  unique_fd fd{open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  struct stat st;
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "not a regular file";
    return false;
  }
  // A key that others may replace would let them choose what is trusted.
  if (!secret && (st.st_mode & (S_IWGRP | S_IWOTH))) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = std::string("group or others may change it (mode ") + mode + "); chmod go-w it";
    return false;
  }
  char buf[KEY_FILE_MAX + 1];
  ssize_t n = read_full(fd.fd, buf, sizeof buf);
  if (n < 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (static_cast<size_t>(n) > KEY_FILE_MAX) {
    *error = "too large for a key file";
    return false;
  }
  text->assign(buf, static_cast<size_t>(n));
  if (secret) std::memset(buf, 0, sizeof buf);
  // A public key given for the secret one is the mistake to name, not its
  // mode (public keys are 0644 by design).
  const std::string public_head = std::string(SIG_PUBLIC_WORD) + " ";
  if (secret && text->compare(0, public_head.size(), public_head) == 0) {
    *error = "it is a public key (it begins with '" + std::string(SIG_PUBLIC_WORD) +
             "'), not a secret key: sign with the SECRET file that korvane-mkrom keygen wrote "
             "beside it";
    return false;
  }
  if (secret && (st.st_mode & (S_IRWXG | S_IRWXO))) {
    std::fill(text->begin(), text->end(), '\0');
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = std::string("group or others may use it (mode ") + mode + "); chmod 600 it";
    return false;
  }
  return true;
}

}  // namespace

std::string sig_hex(const uint8_t *p, size_t n) {
  std::string s;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", p[i]);
    s += two;
  }
  return s;
}

std::string sig_public_text(const sig_public_key &pk) {
  return std::string(SIG_PUBLIC_WORD) + " " + sig_hex(pk.bytes, sizeof pk.bytes) + "\n";
}

std::string sig_secret_text(const sig_secret_key &sk) {
  return std::string(SIG_SECRET_WORD) + " " + sig_hex(sk.bytes, sizeof sk.bytes) + "\n";
}

bool sig_parse_public(const std::string &text, sig_public_key *pk, std::string *error) {
  return parse_key(text, SIG_PUBLIC_WORD, pk->bytes, sizeof pk->bytes, error);
}

bool sig_parse_secret(const std::string &text, sig_secret_key *sk, std::string *error) {
  if (!parse_key(text, SIG_SECRET_WORD, sk->bytes, sizeof sk->bytes, error)) return false;
  sig_public_key pk;
  sig_public_of(*sk, &pk);
  if (std::memcmp(pk.bytes, sk->bytes + (SIG_SECRET_BYTES - SIG_PUBLIC_BYTES), sizeof pk.bytes)) {
    *error = "the key is damaged (its public half does not belong to its seed)";
    return false;
  }
  return true;
}

bool sig_read_public(const char *path, sig_public_key *pk, std::string *error) {
  std::string text;
  return read_text(path, false, &text, error) && sig_parse_public(text, pk, error);
}

bool sig_read_secret(const char *path, sig_secret_key *sk, std::string *error) {
  std::string text;
  bool ok = read_text(path, true, &text, error) && sig_parse_secret(text, sk, error);
  std::fill(text.begin(), text.end(), '\0');
  return ok;
}

}  // namespace korvane
