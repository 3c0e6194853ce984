// SPDX-License-Identifier: MIT
// korvane-mkrom create IMAGE [--dev-id N] [--dev-name TEXT] [--oem TEXT] [--version TEXT] [-f
// FLAGS]
#include <cstring>

#include "rom/build.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char CREATE_USAGE[] =
    "Usage: korvane-mkrom create IMAGE [options]\n"
    "Create (or truncate) IMAGE as a rom image holding only its header.\n"
    "\n"
    "      --dev-id N        device id (default 0)\n"
    "      --dev-name TEXT   device name, at most 16 bytes\n"
    "      --oem TEXT        OEM name, at most 16 bytes\n"
    "      --version TEXT    image version, at most 24 bytes\n"
    "  -f, --flags FLAGS     flag word: a comma-separated list of force, tool, crc, checksum\n"
    "  -h, --help            show this help\n"
    "Numbers are decimal, or hexadecimal after 0x.\n";

enum { OPT_DEV_ID = 256, OPT_DEV_NAME, OPT_OEM, OPT_VERSION };

// A text for a header field: refused when longer than the field, never cut.
int take_text(const std::string &self, const char *option, size_t width, const char *text,
              std::string *out) {
  size_t n = std::strlen(text);
  if (n > width)
    return cmdline_error(self, "%s '%s' is %zu bytes long; the header field holds %zu", option,
                         text, n, width);
  *out = text;
  return GO_ON;
}

}  // namespace

int parse_create(request *req, int argc, char **argv) {
  static const option longs[] = {
      {"dev-id", required_argument, nullptr, OPT_DEV_ID},
      {"dev-name", required_argument, nullptr, OPT_DEV_NAME},
      {"oem", required_argument, nullptr, OPT_OEM},
      {"version", required_argument, nullptr, OPT_VERSION},
      {"flags", required_argument, nullptr, 'f'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  const std::string &self = req->self;
  create_args &a = req->create;
  std::vector<std::string> args;
  int status = parse_options(
      self, argc, argv, "f:h", longs, CREATE_USAGE, &args, [&](int c, const char *arg) {
        uint64_t v = 0;
        switch (c) {
          case OPT_DEV_ID:
            if (!parse_number(arg, UINT32_MAX, &v))
              return cmdline_error(self, "--dev-id needs a number from 0 to 4294967295, not '%s'",
                                   arg);
            a.dev_id = static_cast<uint32_t>(v);
            return GO_ON;
          case OPT_DEV_NAME:
            return take_text(self, "--dev-name", sizeof(rom_hdr::dev_name), arg, &a.dev_name);
          case OPT_OEM:
            return take_text(self, "--oem", sizeof(rom_hdr::oem_name), arg, &a.oem);
          case OPT_VERSION:
            return take_text(self, "--version", sizeof(rom_hdr::version), arg, &a.version);
          case 'f':
            if (!parse_flag_list(arg, &a.flags))
              return cmdline_error(self, "unknown flags '%s' (%s)", arg, FLAG_WORDS);
            return GO_ON;
        }
        return GO_ON;
      });
  if (status != GO_ON) return status;
  if (args.size() != 1)
    return cmdline_error(self, args.empty() ? "missing IMAGE" : "too many arguments");
  a.image = args[0];
  return GO_ON;
}

int run_create(const request &req) {
  const create_args &a = req.create;
  captured_report said;
  // An image is data: 0666 less the umask, as every file korvane-mkrom makes.
  if (rom_create(a.image.c_str(), a.dev_id, a.dev_name.c_str(), a.oem.c_str(), a.version.c_str(),
                 a.flags, 0666) != 0)
    return failed(req.self, "could not create %s: %s", a.image.c_str(), said.take().c_str());
  return EXIT_DONE;
}

}  // namespace korvane::mkrom
