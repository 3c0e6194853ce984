// SPDX-License-Identifier: MIT
// korvane-mkrom's command line: the input is the argument words after the
// program's name, separated by NUL bytes. The parser never ends the process:
// it returns the exit status (0 after a help or the version, 2 after a
// mistake) or a request that holds only what the subcommand can take.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "codec/cypher_table.h"
#include "fuzz/fuzz_support.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "tools/mkrom.h"

using namespace korvane;

namespace {

constexpr size_t MAX_WORDS = 64;

bool flags_known(uint32_t flags) {
  const uint32_t kind = flags & ROM_VERIFY_MASK;
  return (flags & ~(ROM_FLAG_FORCE | ROM_FLAG_TOOL | ROM_VERIFY_MASK)) == 0 &&
         (kind == 0 || kind == ROM_VERIFY_CRC || kind == ROM_VERIFY_CHECKSUM);
}

void check_request(const mkrom::request &req) {
  FUZZ_CHECK(req.cmd != nullptr);
  const std::string name = req.cmd->name;
  FUZZ_CHECK(req.self == std::string("korvane-mkrom ") + name);
  if (name == "create") {
    const mkrom::create_args &a = req.create;
    FUZZ_CHECK(a.dev_name.size() <= sizeof(rom_hdr::dev_name));
    FUZZ_CHECK(a.oem.size() <= sizeof(rom_hdr::oem_name));
    FUZZ_CHECK(a.version.size() <= sizeof(rom_hdr::version));
    FUZZ_CHECK(flags_known(a.flags));
  } else if (name == "add" || name == "block") {
    const mkrom::block_args &a = req.block;
    FUZZ_CHECK(std::string(blk_type_name(a.desc.type)) != "unknown");
    FUZZ_CHECK(cypher_find(a.desc.cypher) != nullptr);
    FUZZ_CHECK(a.desc.data == ROM_BLK_DATA_RAW || a.desc.data == ROM_BLK_DATA_FILE);
    FUZZ_CHECK(flags_known(a.desc.flags));
    FUZZ_CHECK(!a.allow_same_id || name == "add");
  } else if (name == "extract") {
    FUZZ_CHECK(!(req.extract.decode && req.extract.header));
  } else if (name == "check") {
    FUZZ_CHECK(!req.check.board.empty());
  } else if (name == "keygen") {
    const mkrom::key_args &k = req.keys;
    FUZZ_CHECK(k.public_keys.size() == 1 && k.secret != k.public_keys[0]);
  } else if (name == "sign") {
    FUZZ_CHECK(req.keys.public_keys.empty());
  } else if (name == "verify") {
    FUZZ_CHECK(!req.keys.public_keys.empty() && req.keys.secret.empty());
  } else {
    FUZZ_CHECK(name == "list");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_stdout();
  // The parser's and getopt's messages go through the stdio stream stderr:
  // point it at /dev/null. libFuzzer keeps the stream it took at start-up,
  // and the sanitizers write to descriptor 2, so their reports still show.
  FILE *null_stream = std::fopen("/dev/null", "w");
  FUZZ_CHECK(null_stream != nullptr);
  stderr = null_stream;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::command_line line = fuzz::command_line_of("korvane-mkrom", data, size, MAX_WORDS);
  mkrom::request req;
  const int status = mkrom::parse(line.argc(), line.argv(), &req);
  if (status != mkrom::GO_ON) {
    FUZZ_CHECK(status == mkrom::EXIT_DONE || status == mkrom::EXIT_CMDLINE);
    return 0;
  }
  check_request(req);
  return 0;
}
