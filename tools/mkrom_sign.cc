// SPDX-License-Identifier: MIT
// korvane-mkrom sign IMAGE SECRET: appends a signature block as the
// image's last block, through the crash-safe append (rom/append.h).
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "rom/append.h"
#include "rom/scan.h"
#include "sign/sig_keys.h"
#include "sign/signature.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char SIGN_USAGE[] =
    "Usage: korvane-mkrom sign IMAGE SECRET\n"
    "Sign the rom image IMAGE with the secret key in SECRET (korvane-mkrom keygen):\n"
    "a signature block is appended as its last block and the header brought up to\n"
    "date. IMAGE is replaced in one step: a failed or interrupted sign leaves it as\n"
    "it was. An image is signed once; to sign it anew, sign the unsigned image it\n"
    "was made from. A block added after signing fails every check of the signature.\n"
    "  -h, --help            show this help\n";

}  // namespace

int parse_sign(request *req, int argc, char **argv) {
  std::vector<std::string> args;
  int status = parse_help_only(req->self, argc, argv, SIGN_USAGE, &args);
  if (status != GO_ON) return status;
  if (args.size() < 2)
    return cmdline_error(req->self, args.empty() ? "missing IMAGE and SECRET" : "missing SECRET");
  if (args.size() > 2) return cmdline_error(req->self, "too many arguments");
  req->keys.image = args[0];
  req->keys.secret = args[1];
  return GO_ON;
}

int run_sign(const request &req) {
  const char *image = req.keys.image.c_str();
  const char *secret = req.keys.secret.c_str();
  sig_secret_key sk;
  std::string error, note;
  if (!sig_read_secret(secret, &sk, &error))
    return failed(req.self, "cannot use the secret key %s: %s", secret, error.c_str());

  // The image as the append will take it: its header agrees with its blocks.
  append_options opts;
  int r = rom_append_check(image, false, 0, 0, opts, &error);
  if (r == APPEND_REFUSED) return failed(req.self, "%s: %s; not signing", image, error.c_str());
  if (r != 0) return failed(req.self, "%s: %s", image, error.c_str());
  image_scan scan;
  if (image_scan_open(image, &scan, false, nullptr, &error) != 0)
    return failed(req.self, "%s: %s", image, error.c_str());
  if (scan.walk.rom.hsize.get() != ROM_HDR_SIZE)
    return failed(req.self, "%s: its rom header size is %u, not 128; not signing", image,
                  scan.walk.rom.hsize.get());
  for (const rom_walk_blk &b : scan.blocks) {
    if (sig_is_block(b.buf.hdr))
      return failed(req.self,
                    "%s is already signed (block %d is its signature); an image is signed "
                    "once: sign the unsigned image it was made from, or build it again",
                    image, b.index);
  }

  // Where the signature block goes: after the blocks the header counts
  // (bytes after them are taken back by the append).
  const uint64_t end = uint64_t{ROM_HDR_SIZE} + scan.walk.rom.length.get();
  std::vector<uint8_t> blk;
  if (sig_make_block(scan.walk.fd.fd, end, sk, &blk) != 0)
    return failed(req.self, "cannot read %s: %s; not signing", image, std::strerror(errno));

  progress_line progress(req.self);
  progress.begin(std::string("signing ") + image, end + blk.size(), end >= progress_line::LARGE);
  opts.progress = {progress_line::step, &progress, 0};
  r = rom_append_built(image, blk.data(), static_cast<uint32_t>(blk.size()), opts, &error, &note);
  progress.end();
  if (r == APPEND_REFUSED) return failed(req.self, "%s: %s; not signing", image, error.c_str());
  if (r != 0)
    return failed(req.self, "could not sign %s: %s; the image is unchanged", image, error.c_str());
  if (!note.empty()) std::fprintf(stderr, "%s: %s: %s\n", req.self.c_str(), image, note.c_str());
  sig_payload p;
  std::memcpy(&p, blk.data() + ROM_HDR_SIZE, sizeof p);
  std::printf("%s: signed by key %s, block %zu, %" PRIu64 " bytes covered\n", image,
              sig_key_id_text(p.key_id).c_str(), scan.blocks.size(), end - ROM_HDR_SIZE);
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
