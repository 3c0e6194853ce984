// SPDX-License-Identifier: MIT
// korvane-mkrom verify IMAGE PUBLIC...: checks an image's signature as
// korvane --pubkey does on the board.
#include <vector>

#include "rom/scan.h"
#include "sign/sig_keys.h"
#include "sign/signature.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char VERIFY_USAGE[] =
    "Usage: korvane-mkrom verify IMAGE PUBLIC...\n"
    "Check the signature of IMAGE against the public keys (one that verifies is\n"
    "enough), as korvane --pubkey does before it installs. Exit status 0 and one\n"
    "line naming the key when it is good; 1 and the reason when it is not.\n"
    "  -h, --help            show this help\n";

}  // namespace

int parse_verify(request *req, int argc, char **argv) {
  std::vector<std::string> args;
  int status = parse_help_only(req->self, argc, argv, VERIFY_USAGE, &args);
  if (status != GO_ON) return status;
  if (args.size() < 2)
    return cmdline_error(req->self, args.empty() ? "missing IMAGE and PUBLIC" : "missing PUBLIC");
  req->keys.image = args[0];
  req->keys.public_keys.assign(args.begin() + 1, args.end());
  return GO_ON;
}

int run_verify(const request &req) {
  const char *image = req.keys.image.c_str();
  const std::vector<std::string> &files = req.keys.public_keys;
  std::vector<sig_public_key> keys(files.size());
  std::string error;
  for (size_t k = 0; k < files.size(); ++k) {
    if (!sig_read_public(files[k].c_str(), &keys[k], &error))
      return failed(req.self, "cannot use the public key %s: %s", files[k].c_str(), error.c_str());
  }
  image_scan scan;
  if (image_scan_open(image, &scan, false, nullptr, &error) != 0)
    return failed(req.self, "%s: %s", image, error.c_str());
  sig_verdict v;
  if (sig_check(&scan.walk, keys.data(), keys.size(), &v) != 0)
    return failed(req.self, "%s: refused (%s): %s", image, sig_problem_word(v.problem),
                  sig_reason(v, keys.size()).c_str());
  std::printf("%s: good signature by key %s (%s)\n", image,
              sig_key_id_text(v.found.payload.key_id).c_str(), files[v.key].c_str());
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
