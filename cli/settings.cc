// SPDX-License-Identifier: MIT
#include "cli/settings.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/cypher_table.h"
#include "rom/layout.h"
#include "rom/names.h"
#include "rom/output.h"

namespace korvane {

rom_options rom_opts;

namespace {

#define KORVANE_BANNER "korvane 1.0.4.9 [none]\n[Feb 21 2014 08:30:30]\n"

// Fixed text, not generated from the option table: it names no -x, -b, -m,
// -z or -g. puts() adds one more line end after the last line.
constexpr char usage_text[] = KORVANE_BANNER
    "      --help            display this help and exit\n"
    "      --version         output version information and exit\n"
    "-e    --execute         execute action on the rom or block\n"
    "-i    --all-info        show all info of the rom or block\n"
    "-I    --info            show info of the rom or block\n"
    "-f    --flags           flags for rom or block,for example :[force|tool|checksum|crc]\n"
    "-t    --type            type for rom or block,for example "
    ":[none|bin|tool|file|nand-raw|nand-oob|nor]\n"
    "-p    --cypher-type     cypher type    for rom or block,for example :[none|cypher1|cypher2]\n"
    "-d    --data-type       source data type for rom or block,for example :[raw|file]\n"
    "-o    --option          option block to take action\n"
    "-a    --align           align option,[block-align|page-align|pad=0x??],pad data default as "
    "0xFF\n"
    "-y    --retry           flash  write retry,default as 3\n"
    "-v    --verify          verify write retry,default as yes\n"
    "-V    --verbose         verbosely list files processed\n"
    "-s    --skipbad         skip that block can NOT found in rom\n"
    "-r    --reboot          do reboot after processed,and handle watchdog while processing\n"
    "-h    --background      run in background\n"
    "-k    --kill            kill all process\n"
    "-q    --standalone      installing rom as standalone,handle 'kill','reboot',etc\n";

// The banner and this build's ownership notice; puts() ends the last line.
constexpr char version_text[] = KORVANE_BANNER "Copyright (C) 2014 the korvane developers";

constexpr char short_options[] = "e:i:I:x:f:t:p:d:o:a:y:v:Vsrhkbmzqg";

// help and version come first: getopt_long returns 0 for them, and the
// index tells them apart.
const option long_options[] = {
    {"help", no_argument, nullptr, 0},
    {"version", no_argument, nullptr, 0},
    {"execute", required_argument, nullptr, 'e'},
    {"all-info", required_argument, nullptr, 'i'},
    {"info", required_argument, nullptr, 'I'},
    {"extract", required_argument, nullptr, 'x'},
    {"flags", required_argument, nullptr, 'f'},
    {"type", required_argument, nullptr, 't'},
    {"cypher-type", required_argument, nullptr, 'p'},
    {"data-type", required_argument, nullptr, 'd'},
    {"option", required_argument, nullptr, 'o'},
    {"align", required_argument, nullptr, 'a'},
    {"retry", required_argument, nullptr, 'y'},
    {"verify", required_argument, nullptr, 'v'},
    {"verbose", no_argument, nullptr, 'V'},
    {"skipbad", no_argument, nullptr, 's'},
    {"reboot", no_argument, nullptr, 'r'},
    {"background", no_argument, nullptr, 'h'},
    {"kill", no_argument, nullptr, 'k'},
    {"bin", no_argument, nullptr, 'b'},
    {"simulate", no_argument, nullptr, 'm'},
    {"discard", no_argument, nullptr, 'z'},
    {"standalone", no_argument, nullptr, 'q'},
    {"header", no_argument, nullptr, 'g'},
    {nullptr, 0, nullptr, 0},
};

void set_defaults(rom_options &o) {
  o.action = ROM_ACT_INFO;
  o.rom_path = nullptr;
  o.all_info = 0;
  o.flags = 0;
  o.blk_type = ROM_BLK_TYPE_NONE;
  o.cypher_type = ROM_BLK_CT_NONE;
  o.data_type = ROM_BLK_DATA_RAW;
  for (int &id : o.option_ids) id = -1;
  o.option_count = 0;
  o.block_align = 0;
  o.pad = 0xFF;
  o.retry = 3;
  o.verify = 1;
  o.verbose = 0;
  o.skip_bad = 0;
  o.reboot = 0;
  o.background = 0;
  o.kill = 0;
  o.bin = 0;
  o.simulate = 0;
  o.discard = 0;
  o.header = 0;
}

// The -o list: decimal ids separated by commas, at most 32 kept. An entry
// that does not begin with a number ends the run without a message.
// @return false for such an entry.
bool parse_option_ids(rom_options &o, const char *arg) {
  o.option_count = 0;
  const char *end = arg + std::strlen(arg);
  for (const char *cur = arg; cur && cur < end && o.option_count < ROM_OPTION_IDS_MAX;) {
    if (std::sscanf(cur, "%d", &o.option_ids[o.option_count]) != 1) return false;
    ++o.option_count;
    cur = std::strchr(cur, ',');
    if (cur) ++cur;
  }
  return true;
}

// One token of the -a list, applied over the current values.
bool align_token(void *ctx, const char *token) {
  auto &o = *static_cast<rom_options *>(ctx);
  if (std::strcmp(token, "block-align") == 0) {
    o.block_align = 1;
  } else if (std::strcmp(token, "page-align") == 0) {
    o.block_align = 0;
  } else if (std::strncmp(token, "pad=", 4) == 0) {
    unsigned pad;
    if (std::sscanf(token, "pad=0x%02x", &pad) != 1) return false;
    if (pad > 0xFF) return false;  // only a sign ("pad=0x-1") gets past two digits
    o.pad = static_cast<int>(pad);
  } else {
    return false;
  }
  return true;
}

// The usage text, and the status the run ends with after it.
int usage(int status) {
  std::puts(usage_text);
  return status;
}

}  // namespace

bool rom_parse_align_list(const char *list, int *block_align, int *pad) {
  rom_options o{};
  o.block_align = *block_align;
  o.pad = *pad;
  if (!split_list(list, align_token, &o)) return false;
  *block_align = o.block_align;
  *pad = o.pad;
  return true;
}

bool rom_opts_long_option(const char *arg) {
  if (std::strncmp(arg, "--", 2) != 0) return false;
  const char *name = arg + 2;
  size_t n = std::strcspn(name, "=");
  if (n == 0) return false;
  for (const option *o = long_options; o->name; ++o) {
    if (std::strncmp(o->name, name, n) == 0) return true;
  }
  return false;
}

void usage_and_exit(int status) { std::exit(usage(status)); }

void version_and_exit() {
  std::puts(version_text);
  std::exit(0);
}

int rom_opts_parse(int argc, char **argv) {
  int status = 0;
  if (!rom_opts_scan(argc, argv, &rom_opts, &status)) std::exit(status);
  return 0;
}

bool rom_opts_scan(int argc, char **argv, rom_options *out, int *status) {
  // The run ends with this status; the texts have been printed.
  auto stop = [status](int end_status) {
    *status = end_status;
    return false;
  };
  rom_options &o = *out;
  set_defaults(o);
  const char *flag_list = nullptr;
  const char *align_list = nullptr;

  optind = 0;  // a full restart of getopt's scan, so a second call parses afresh
  for (;;) {
    int index = 0;
    int c = getopt_long(argc, argv, short_options, long_options, &index);
    if (c == -1) break;
    uint32_t value;
    switch (c) {
      case 0:
        if (index == 0) return stop(usage(0));
        std::puts(version_text);
        return stop(0);
      case 'e':
        o.action = ROM_ACT_EXECUTE;
        o.rom_path = optarg;
        break;
      case 'i':
        o.action = ROM_ACT_INFO;
        o.all_info = 1;
        o.rom_path = optarg;
        break;
      case 'I':
        o.action = ROM_ACT_INFO;
        o.all_info = 0;
        o.rom_path = optarg;
        break;
      case 'x':
        o.action = ROM_ACT_EXTRACT;
        o.rom_path = optarg;
        break;
      case 'f':
        flag_list = optarg;
        break;
      case 't':
        if (!parse_blk_type(optarg, &value)) {
          report("unknown type,'%s'\n", optarg);
          return stop(usage(EXIT_USAGE));
        }
        o.blk_type = static_cast<int>(value);
        break;
      case 'p':
        if (!parse_blk_cypher(optarg, &value)) {
          report("unknown cypher type,'%s'\n", optarg);
          return stop(usage(EXIT_USAGE));
        }
        o.cypher_type = static_cast<int>(value);
        break;
      case 'd':
        if (!parse_blk_data(optarg, &value)) {
          report("unknown data type,'%s'\n", optarg);
          return stop(usage(EXIT_USAGE));
        }
        o.data_type = static_cast<int>(value);
        break;
      case 'o':
        if (!parse_option_ids(o, optarg)) return stop(usage(EXIT_USAGE));
        break;
      case 'a':
        align_list = optarg;
        break;
      case 'y':
        o.retry = std::atoi(optarg);
        break;
      case 'v':
        o.verify = 1;  // the argument is required but carries nothing
        break;
      case 'V':
        o.verbose = 1;
        break;
      case 's':
        o.skip_bad = 1;
        break;
      case 'r':
        o.reboot = 1;
        break;
      case 'h':
        o.background = 1;
        break;
      case 'k':
        o.kill = 1;
        break;
      case 'b':
        o.bin = 1;
        break;
      case 'm':
        o.simulate = 1;
        break;
      case 'z':
        o.discard = 1;
        break;
      case 'q':
        o.kill = 1;
        o.reboot = 1;
        break;
      case 'g':
        o.header = 1;
        break;
      default:  // '?': getopt_long has said what was wrong on stderr
        return stop(usage(EXIT_USAGE));
    }
  }

  // The flag and align lists are decoded only now, after every option.
  if (flag_list && !parse_flag_list(flag_list, &o.flags)) {
    report("unknown flags,'%s'\n", flag_list);
    return stop(usage(EXIT_USAGE));
  }
  if (align_list && !split_list(align_list, align_token, &o)) {
    report("unknown align options,'%s'\n", align_list);
    return stop(usage(EXIT_USAGE));
  }
  if (!o.rom_path) {
    report("no rom block file setting!\n");
    return stop(usage(EXIT_USAGE));
  }
  return true;
}

}  // namespace korvane
