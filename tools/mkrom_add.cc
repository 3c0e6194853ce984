// SPDX-License-Identifier: MIT
// korvane-mkrom add IMAGE FILE -t TYPE -p CYPHER [block options] [--allow-same-id]
// korvane-mkrom block OUT FILE -t TYPE -p CYPHER [block options]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "codec/cypher_table.h"
#include "rom/append.h"
#include "rom/build.h"
#include "rom/io.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "rom/staged.h"
#include "tools/mkrom.h"

namespace korvane::mkrom {
namespace {

const char ADD_USAGE[] =
    "Usage: korvane-mkrom add IMAGE FILE -t TYPE -p CYPHER [options]\n"
    "Append one block built from FILE (- or a pipe: standard input) to the rom\n"
    "image IMAGE and bring the image's header up to date. IMAGE is replaced in\n"
    "one step: a failed or interrupted add leaves it as it was.\n";

const char BLOCK_USAGE[] =
    "Usage: korvane-mkrom block OUT FILE -t TYPE -p CYPHER [options]\n"
    "Write one block built from FILE (- or a pipe: standard input) to OUT as a\n"
    "block file. On failure or interruption OUT is left as it was.\n";

const char BLOCK_OPTIONS[] =
    "\n"
    "  -t, --type TYPE       block type: none, bin, tool, file, nand-raw, nand-oob, nor,\n"
    "                        script, exe\n"
    "  -p, --cypher CYPHER   payload encoding: none, cypher1 (c1, 7zip), cypher2 (c2, gzip),\n"
    "                        cypher3 (c3), cypher4 (c4); AES and DES are stored as none\n"
    "  -d, --data DATA       data kind: raw (default) or file\n"
    "  -f, --flags FLAGS     flag word: a comma-separated list of force, tool, crc, checksum\n"
    "                        (crc or checksum: how the payload is checked)\n"
    "      --id N            block id; for flash types the N of /dev/mtdN (default 0)\n"
    "      --name TEXT       block name, at most 16 bytes\n"
    "      --version TEXT    block version, at most 24 bytes\n"
    "      --offset N        build from byte N of FILE on (default 0)\n";

const char ADD_ONLY[] =
    "      --allow-same-id   add a flash block whose id an earlier flash block of the\n"
    "                        image has (on the board the later one replaces it)\n";

const char HELP_END[] =
    "  -h, --help            show this help\n"
    "Numbers are decimal, or hexadecimal after 0x.\n"
    "The words are those korvane accepts for -t, -p, -d and -f.\n";

enum { OPT_ID = 256, OPT_NAME, OPT_VERSION, OPT_OFFSET, OPT_ALLOW_SAME_ID };

// A text for a header field: refused when longer than the field, never cut.
int set_text(const std::string &self, const char *option, char *field, size_t width,
             const char *text) {
  size_t n = std::strlen(text);
  if (n > width)
    return cmdline_error(self, "%s '%s' is %zu bytes long; the header field holds %zu", option,
                         text, n, width);
  set_text_field(field, width, text);
  return GO_ON;
}

int parse_block_args(request *req, int argc, char **argv, bool add) {
  static const option longs[] = {
      {"type", required_argument, nullptr, 't'},
      {"cypher", required_argument, nullptr, 'p'},
      {"cypher-type", required_argument, nullptr, 'p'},
      {"data", required_argument, nullptr, 'd'},
      {"data-type", required_argument, nullptr, 'd'},
      {"flags", required_argument, nullptr, 'f'},
      {"id", required_argument, nullptr, OPT_ID},
      {"name", required_argument, nullptr, OPT_NAME},
      {"version", required_argument, nullptr, OPT_VERSION},
      {"offset", required_argument, nullptr, OPT_OFFSET},
      {"help", no_argument, nullptr, 'h'},
      {"allow-same-id", no_argument, nullptr, OPT_ALLOW_SAME_ID},  // add only: last
      {nullptr, 0, nullptr, 0},
  };
  static const option *block_longs = [] {
    static option copy[std::size(longs)];
    std::copy(std::begin(longs), std::end(longs), copy);
    copy[std::size(longs) - 2] = {nullptr, 0, nullptr, 0};
    return copy;
  }();
  const std::string &self = req->self;
  std::string usage =
      std::string(add ? ADD_USAGE : BLOCK_USAGE) + BLOCK_OPTIONS + (add ? ADD_ONLY : "") + HELP_END;
  bool have_type = false, have_cypher = false;
  block_args &a = req->block;
  blk_desc &d = a.desc;
  std::vector<std::string> args;
  int status = parse_options(
      self, argc, argv, "t:p:d:f:h", add ? longs : block_longs, usage, &args,
      [&](int c, const char *arg) {
        uint64_t v = 0;
        switch (c) {
          case 't':
            if (!parse_blk_type(arg, &d.type))
              return cmdline_error(self, "unknown type '%s' (one of %s)", arg, TYPE_WORDS);
            have_type = true;
            return GO_ON;
          case 'p':
            if (!parse_blk_cypher(arg, &d.cypher))
              return cmdline_error(self, "unknown cypher type '%s' (one of %s)", arg, CYPHER_WORDS);
            have_cypher = true;
            return GO_ON;
          case 'd':
            if (!parse_blk_data(arg, &d.data))
              return cmdline_error(self, "unknown data type '%s' (raw or file)", arg);
            return GO_ON;
          case 'f':
            if (!parse_flag_list(arg, &d.flags))
              return cmdline_error(self, "unknown flags '%s' (%s)", arg, FLAG_WORDS);
            return GO_ON;
          case OPT_ID:
            if (!parse_number(arg, UINT32_MAX, &v))
              return cmdline_error(self, "--id needs a number from 0 to 4294967295, not '%s'", arg);
            d.id = static_cast<uint32_t>(v);
            return GO_ON;
          case OPT_OFFSET:
            if (!parse_number(arg, UINT64_MAX, &v))
              return cmdline_error(self, "--offset needs a number of bytes, not '%s'", arg);
            a.offset = v;
            return GO_ON;
          case OPT_NAME:
            return set_text(self, "--name", d.name, sizeof d.name, arg);
          case OPT_VERSION:
            return set_text(self, "--version", d.version, sizeof d.version, arg);
          case OPT_ALLOW_SAME_ID:
            a.allow_same_id = true;
            return GO_ON;
        }
        return GO_ON;
      });
  if (status != GO_ON) return status;
  const char *first = add ? "IMAGE" : "OUT";
  if (args.size() < 2)
    return cmdline_error(self, args.empty() ? "missing %s and FILE" : "missing FILE", first);
  if (args.size() > 2) return cmdline_error(self, "too many arguments");
  if (!have_type) return cmdline_error(self, "missing -t TYPE (one of %s)", TYPE_WORDS);
  if (!have_cypher) return cmdline_error(self, "missing -p CYPHER (one of %s)", CYPHER_WORDS);
  a.first = args[0];
  a.file = args[1];
  return GO_ON;
}

// ---- the input ----------------------------------------------------------------

// The input as a path the builder can open and map: FILE itself when it is
// a regular file; standard input ("-"), a pipe or a device is read into a
// temporary file first, as the builder needs the size before it starts.
struct input_file {
  std::string shown;  // the input as messages name it
  std::string path;   // what the builder opens
  uint64_t size = 0;
  unique_fd buffer;
  std::string named;  // a named buffer, removed at the end

  ~input_file() {
    if (!named.empty()) unlink(named.c_str());
  }
};

int buffer_input(const request &req, int from, progress_line &progress, input_file *in) {
  const char *tmp = std::getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  if (access("/proc/self/fd", X_OK) == 0)
    in->buffer.fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (in->buffer.fd >= 0) {
    in->path = "/proc/self/fd/" + std::to_string(in->buffer.fd);
  } else {
    std::string name = dir + "/korvane-mkrom-XXXXXX";
    in->buffer.fd = mkostemp(name.data(), O_CLOEXEC);
    if (in->buffer.fd < 0)
      return failed(req.self, "cannot buffer %s in %s: %s", in->shown.c_str(), dir.c_str(),
                    std::strerror(errno));
    in->named = in->path = name;
  }
  progress.begin("reading " + in->shown, 0, true);
  std::vector<uint8_t> buf(1 << 20);
  for (;;) {
    ssize_t n = read_full(from, buf.data(), buf.size());
    if (n < 0)
      return failed(req.self, "cannot read %s: %s", in->shown.c_str(), std::strerror(errno));
    if (n == 0) break;
    if (!write_all(in->buffer.fd, buf.data(), static_cast<size_t>(n)))
      return failed(req.self, "cannot buffer %s in %s: %s", in->shown.c_str(), dir.c_str(),
                    std::strerror(errno));
    in->size += static_cast<uint64_t>(n);
    progress.set(in->size);
  }
  progress.end();
  return GO_ON;
}

int open_input(const request &req, progress_line &progress, input_file *in) {
  const block_args &a = req.block;
  bool stdin_input = a.file == "-";
  in->shown = stdin_input ? "standard input" : a.file;
  int status = GO_ON;
  if (stdin_input) {
    status = buffer_input(req, STDIN_FILENO, progress, in);
  } else {
    struct stat st;
    if (stat(a.file.c_str(), &st) != 0)
      return failed(req.self, "cannot read %s: %s", a.file.c_str(), std::strerror(errno));
    if (S_ISREG(st.st_mode)) {
      in->path = a.file;
      in->size = static_cast<uint64_t>(st.st_size);
    } else {
      unique_fd from{open(a.file.c_str(), O_RDONLY | O_CLOEXEC)};
      if (from.fd < 0)
        return failed(req.self, "cannot read %s: %s", a.file.c_str(), std::strerror(errno));
      status = buffer_input(req, from.fd, progress, in);
    }
  }
  if (status != GO_ON) return status;
  if (a.offset > in->size)
    return failed(req.self, "--offset %llu is past the end of %s (%llu bytes)",
                  static_cast<unsigned long long>(a.offset), in->shown.c_str(),
                  static_cast<unsigned long long>(in->size));
  return GO_ON;
}

// ---- building -----------------------------------------------------------------

// What the table's encoder of the cypher makes of the input with room
// enough (0 when it cannot be told): whether a failed build ran out of the
// builder's headroom, and by how much.
uint64_t encoded_size(const cypher_type &t, const input_file &in, uint64_t offset) {
  captured_report quiet;  // this second try says nothing of its own
  const uint64_t count = in.size - offset;
  unique_fd fd{open(in.path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (fd.fd < 0 || count > (1u << 30)) return 0;
  std::vector<uint8_t> input(count + 1), out(2 * count + 256);
  if (!read_at(fd.fd, input.data(), count, offset)) return 0;
  const cypher_input src{fd.fd, offset, in.size, input.data(), static_cast<uint32_t>(count)};
  uint32_t length = 0;
  if (t.encode(t, src, out.data(), static_cast<uint32_t>(out.size()), &length) != 0) return 0;
  return length;
}

int build(const request &req, const input_file &in, progress_line &progress, blk_buffer *blk,
          uint32_t *total) {
  const block_args &a = req.block;
  blk_desc desc = a.desc;
  uint32_t cypher = desc.cypher;
  std::string said;
  {
    captured_report capture;
    progress.begin(
        std::string("building the block from ") + in.shown + " (" + blk_cypher_name(cypher) + ")",
        0, in.size >= progress_line::LARGE);
    int r = rom_build_blk(in.path.c_str(), a.offset, &desc, blk, total);
    progress.end();
    said = capture.take();
    if (r == 0) {
      if (!said.empty())
        std::fprintf(stderr, "%s: %s: %s\n", req.self.c_str(), in.shown.c_str(), said.c_str());
      return GO_ON;
    }
  }
  if (const cypher_type *t = cypher_find(cypher)) {
    uint64_t room = rom_payload_capacity(in.size), need = encoded_size(*t, in, a.offset);
    if (need > room) {
      std::fprintf(stderr,
                   "%s: cannot encode %s with %s: the result takes %llu bytes, more than the "
                   "%llu bytes (125 %% of the input) a block holds\n",
                   req.self.c_str(), in.shown.c_str(), blk_cypher_name(cypher),
                   static_cast<unsigned long long>(need), static_cast<unsigned long long>(room));
      return failed(req.self,
                    "store an input this small with -p none; cypher1 works from about 100 bytes "
                    "of data that does not compress, cypher2 from about 208");
    }
  }
  return failed(req.self, "could not build a block from %s: %s", in.shown.c_str(), said.c_str());
}

// The input made ready, then the block built from it.
int build_from_input(const request &req, progress_line &progress, input_file *in, blk_buffer *blk,
                     uint32_t *total) {
  int status = open_input(req, progress, in);
  if (status != GO_ON) return status;
  return build(req, *in, progress, blk, total);
}

// Writes the block so that OUT is either the whole block or what it was
// before: a regular file (or a new one) through a new version that replaces
// it in one step; anything else (a device, a pipe) is written in place.
int write_block_file(const request &req, progress_line &progress, const uint8_t *blk,
                     uint32_t total) {
  const std::string &out = req.block.first;
  struct stat st;
  if (stat(out.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    unique_fd fd{open(out.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)};
    if (fd.fd < 0) return failed(req.self, "cannot open %s: %s", out.c_str(), std::strerror(errno));
    bool ok = write_all(fd.fd, blk, total);
    int err = errno;
    if (close(fd.release()) != 0 && ok) {
      ok = false;
      err = errno;
    }
    if (!ok) return failed(req.self, "cannot write %s: %s", out.c_str(), std::strerror(err));
    return EXIT_DONE;
  }
  mode_t mask = umask(0);
  umask(mask);
  staged_file s;
  std::string error;
  progress.begin("writing " + out, total, total >= progress_line::LARGE);
  s.progress = {progress_line::step, &progress, total};
  if (staged_open(out.c_str(), 0666 & ~mask, &s, &error) != 0 ||
      staged_write(&s, blk, total, &error) != 0 || staged_commit(&s, &error) != 0) {
    progress.end();
    return failed(req.self, "cannot write %s: %s", out.c_str(), error.c_str());
  }
  return EXIT_DONE;
}

}  // namespace

int parse_add(request *req, int argc, char **argv) {
  return parse_block_args(req, argc, argv, true);
}

int parse_block(request *req, int argc, char **argv) {
  return parse_block_args(req, argc, argv, false);
}

int run_add(const request &req) {
  const block_args &a = req.block;
  const char *image = a.first.c_str();
  append_options opts;
  opts.allow_same_id = a.allow_same_id;
  std::string error, note;
  // The image is looked at before the input is read and encoded.
  int r = rom_append_check(image, true, a.desc.type, a.desc.id, opts, &error);
  if (r == APPEND_REFUSED) return failed(req.self, "%s: %s; not appending", image, error.c_str());
  if (r != 0) return failed(req.self, "%s: %s", image, error.c_str());

  progress_line progress(req.self);
  input_file in;
  blk_buffer blk;
  uint32_t total = 0;
  int status = build_from_input(req, progress, &in, &blk, &total);
  if (status != GO_ON) return status;

  struct stat st;
  uint64_t image_size = stat(image, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  progress.begin(std::string("writing ") + image, image_size + total,
                 image_size + total >= progress_line::LARGE);
  opts.progress = {progress_line::step, &progress, 0};
  r = rom_append_built(image, blk.get(), total, opts, &error, &note);
  progress.end();
  if (r == APPEND_REFUSED) return failed(req.self, "%s: %s; not appending", image, error.c_str());
  if (r != 0)
    return failed(req.self, "could not append %s to %s: %s; the image is unchanged",
                  in.shown.c_str(), image, error.c_str());
  if (!note.empty()) std::fprintf(stderr, "%s: %s: %s\n", req.self.c_str(), image, note.c_str());
  return EXIT_DONE;
}

int run_block(const request &req) {
  progress_line progress(req.self);
  input_file in;
  blk_buffer blk;
  uint32_t total = 0;
  int status = build_from_input(req, progress, &in, &blk, &total);
  if (status != GO_ON) return status;
  return write_block_file(req, progress, blk.get(), total);
}

}  // namespace korvane::mkrom
