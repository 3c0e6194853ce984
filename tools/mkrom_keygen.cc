// SPDX-License-Identifier: MIT
// korvane-mkrom keygen SECRET PUBLIC: a new key pair for signing images.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "rom/io.h"
#include "sign/sig_crypto.h"
#include "sign/sig_keys.h"
#include "sign/signature.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char KEYGEN_USAGE[] =
    "Usage: korvane-mkrom keygen SECRET PUBLIC\n"
    "Write a new Ed25519 key pair: the secret key to SECRET (mode 0600; it signs\n"
    "images: keep it off the board), the public key to PUBLIC (for korvane\n"
    "--pubkey on the board). Neither file may exist.\n"
    "  -h, --help            show this help\n";

// Creates path (which must not exist) holding text, durable. @return 0 or
// -1 with *error set; a file created is removed again on failure.
int write_new(const char *path, mode_t mode, const std::string &text, std::string *error) {
  unique_fd fd{open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)};
  if (fd.fd < 0) {
    *error = std::strerror(errno);
    return -1;
  }
  // The secret key's mode exactly, whatever the umask says.
  if ((mode == 0600 && fchmod(fd.fd, 0600) != 0) || !write_all(fd.fd, text.data(), text.size()) ||
      fsync(fd.fd) != 0) {
    *error = std::strerror(errno);
    unlink(path);
    return -1;
  }
  return 0;
}

}  // namespace

int parse_keygen(request *req, int argc, char **argv) {
  std::vector<std::string> args;
  int status = parse_help_only(req->self, argc, argv, KEYGEN_USAGE, &args);
  if (status != GO_ON) return status;
  if (args.size() < 2)
    return cmdline_error(req->self, args.empty() ? "missing SECRET and PUBLIC" : "missing PUBLIC");
  if (args.size() > 2) return cmdline_error(req->self, "too many arguments");
  if (args[0] == args[1]) return cmdline_error(req->self, "SECRET and PUBLIC are the same file");
  req->keys.secret = args[0];
  req->keys.public_keys = {args[1]};
  return GO_ON;
}

int run_keygen(const request &req) {
  const char *secret = req.keys.secret.c_str();
  const char *pub = req.keys.public_keys[0].c_str();
  struct stat st;
  for (const char *path : {secret, pub}) {
    if (lstat(path, &st) == 0)
      return failed(req.self, "%s exists; keys are never overwritten (remove it first)", path);
  }
  sig_public_key pk;
  sig_secret_key sk;
  if (!sig_keypair(&pk, &sk)) return failed(req.self, "cannot make a key pair");
  std::string error;
  std::string text = sig_secret_text(sk);
  int r = write_new(secret, 0600, text, &error);
  std::fill(text.begin(), text.end(), '\0');
  if (r != 0) return failed(req.self, "cannot write %s: %s", secret, error.c_str());
  mode_t mask = umask(0);
  umask(mask);
  if (write_new(pub, 0644 & ~mask, sig_public_text(pk), &error) != 0) {
    unlink(secret);
    return failed(req.self, "cannot write %s: %s; %s is removed again", pub, error.c_str(), secret);
  }
  uint8_t id[SIG_KEY_ID_BYTES];
  sig_key_id(pk, id);
  std::printf("key %s: secret %s, public %s\n", sig_key_id_text(id).c_str(), secret, pub);
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
