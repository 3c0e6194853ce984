// SPDX-License-Identifier: MIT
#include "cli/settings.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// The options of the first release, and nothing else: a name added here
// would change what the prefixes of its neighbours mean (added options go
// into added_options below). help and version come first: getopt_long
// returns 0 for them, and the index tells them apart.
constexpr option long_options[] = {
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
  o.preflight = 0;
  o.device_name = nullptr;
  o.device_id_given = 0;
  o.device_id = 0;
  o.read_back = 0;
  o.skip_unchanged = 0;
  o.mark_bad = 0;
  o.board_file = 0;
  for (const char *&k : o.pubkeys) k = nullptr;
  o.pubkey_count = 0;
  o.ab_action = ROM_AB_NONE;
  o.update_path = nullptr;
  o.config_path = nullptr;
  o.json = 0;
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

// ------------------------------------------------------- the added options
//
// getopt_long takes any unique prefix of a long option, so a name added to
// its table changes what other words mean: "--sk" is --skipbad today and
// would become ambiguous beside a "--skip-unchanged", and the message for
// the ambiguous "--re" would list one name more. The options added since
// the first release therefore never enter that table. A pre-pass walks the
// command line as getopt_long consumes it (clusters of short options, the
// argument words of the existing options, "--", POSIXLY_CORRECT), takes
// out the words that name an added option, with their arguments, and hands
// the rest to the unchanged loop. A word is taken only where getopt_long
// would read an option, and only when its name (before any '=') is no
// prefix of an existing long option and is an added name or a prefix of
// added names only. getopt_long answers such a word with "unrecognized
// option", so no command line that ran before holds one: every existing
// option, abbreviation, message and exit status stays as it was.
//
// A mistake in an added option (a missing or unwanted argument, a prefix
// of several added names, a bad value) is reported where the loop would
// have reached the word, after everything before it: the loop runs on the
// words before it, and when it finishes, the message of ours and the usage
// text end the run with EXIT_USAGE, as the existing usage errors do.

struct added_option {
  const char *name;
  bool argument;  // --name ARG or --name=ARG
  /// Sets the option. @return false when the argument is not one it takes
  /// (*error says why).
  bool (*apply)(rom_options &o, const char *arg, std::string *error);
};

bool set_preflight(rom_options &o, const char *, std::string *) {
  o.preflight = 1;
  return true;
}

bool set_device(rom_options &o, const char *arg, std::string *error) {
  // An empty name would match every image built without a device name.
  if (!*arg) {
    *error = "invalid device name,'',empty\n";
    return false;
  }
  if (std::strlen(arg) > sizeof(rom_hdr::dev_name)) {
    *error = "invalid device name,'" + std::string(arg) + "',longer than 16 bytes\n";
    return false;
  }
  o.device_name = arg;
  return true;
}

// A number from 0 to 0xFFFFFFFF, decimal or 0x hexadecimal, nothing else.
bool parse_u32(const char *s, uint32_t *value) {
  int base = 10;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s += 2;
  }
  if (!*s) return false;
  uint64_t v = 0;
  for (; *s; ++s) {
    int digit;
    if (*s >= '0' && *s <= '9') {
      digit = *s - '0';
    } else if (base == 16 && *s >= 'a' && *s <= 'f') {
      digit = *s - 'a' + 10;
    } else if (base == 16 && *s >= 'A' && *s <= 'F') {
      digit = *s - 'A' + 10;
    } else {
      return false;
    }
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (v > UINT32_MAX) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

bool set_device_id(rom_options &o, const char *arg, std::string *error) {
  if (!parse_u32(arg, &o.device_id)) {
    *error = "invalid device id,'" + std::string(arg) + "'\n";
    return false;
  }
  o.device_id_given = 1;
  return true;
}

bool set_read_back(rom_options &o, const char *, std::string *) {
  o.read_back = 1;
  return true;
}

bool set_skip_unchanged(rom_options &o, const char *, std::string *) {
  o.skip_unchanged = 1;
  return true;
}

bool set_mark_bad(rom_options &o, const char *, std::string *) {
  o.mark_bad = 1;
  return true;
}

bool set_board_file(rom_options &o, const char *, std::string *) {
  o.board_file = 1;
  return true;
}

bool set_pubkey(rom_options &o, const char *arg, std::string *error) {
  if (!*arg) {
    *error = "invalid public key file,''\n";
    return false;
  }
  if (o.pubkey_count >= ROM_PUBKEYS_MAX) {
    *error = "too many public keys,'" + std::string(arg) + "',at most " +
             std::to_string(ROM_PUBKEYS_MAX) + "\n";
    return false;
  }
  o.pubkeys[o.pubkey_count++] = arg;
  return true;
}

const char *ab_action_name(int action) {
  switch (action) {
    case ROM_AB_UPDATE:
      return "--update";
    case ROM_AB_STATUS:
      return "--status";
    case ROM_AB_CONFIRM:
      return "--confirm";
    default:
      return "--reject";
  }
}

bool set_ab_action(rom_options &o, int action, std::string *error) {
  if (o.ab_action != ROM_AB_NONE && o.ab_action != action) {
    *error = std::string("conflicting actions,'") + ab_action_name(o.ab_action) + "' and '" +
             ab_action_name(action) + "'\n";
    return false;
  }
  o.ab_action = action;
  return true;
}

bool set_update(rom_options &o, const char *arg, std::string *error) {
  if (!*arg) {
    *error = "invalid image file,''\n";
    return false;
  }
  o.update_path = arg;
  return set_ab_action(o, ROM_AB_UPDATE, error);
}

bool set_status(rom_options &o, const char *, std::string *error) {
  return set_ab_action(o, ROM_AB_STATUS, error);
}

bool set_confirm(rom_options &o, const char *, std::string *error) {
  return set_ab_action(o, ROM_AB_CONFIRM, error);
}

bool set_reject(rom_options &o, const char *, std::string *error) {
  return set_ab_action(o, ROM_AB_REJECT, error);
}

bool set_config(rom_options &o, const char *arg, std::string *error) {
  if (!*arg) {
    *error = "invalid configuration file,''\n";
    return false;
  }
  o.config_path = arg;
  return true;
}

bool set_json(rom_options &o, const char *, std::string *) {
  o.json = 1;
  return true;
}

// One row per added option. None may be a prefix of an existing long
// option (checked below), or no spelling of it could be told from that one.
constexpr added_option added_options[] = {
    {"preflight", false, set_preflight},
    {"device", true, set_device},
    {"device-id", true, set_device_id},
    {"read-back", false, set_read_back},
    {"skip-unchanged", false, set_skip_unchanged},
    {"mark-bad", false, set_mark_bad},
    {"pubkey", true, set_pubkey},
    {"board-file", false, set_board_file},
    {"update", true, set_update},
    {"status", false, set_status},
    {"confirm", false, set_confirm},
    {"reject", false, set_reject},
    {"config", true, set_config},
    {"json", false, set_json},
};

constexpr bool starts_with(const char *s, const char *prefix) {
  for (; *prefix; ++s, ++prefix) {
    if (*s != *prefix) return false;
  }
  return true;
}

constexpr bool added_names_stand_apart() {
  for (const added_option &a : added_options) {
    for (const option &l : long_options) {
      if (l.name && starts_with(l.name, a.name)) return false;
    }
  }
  return true;
}
static_assert(added_names_stand_apart(), "an added option is a prefix of an existing one");

// Whether the first len bytes of name begin an existing long option; if so,
// *takes_argument tells whether getopt_long reads the next word as its
// argument (an exact name, or a prefix of one option only, that requires one).
bool existing_long(const char *name, size_t len, bool *takes_argument) {
  const option *found = nullptr;
  bool ambiguous = false;
  for (const option &l : long_options) {
    if (!l.name || std::strncmp(l.name, name, len) != 0) continue;
    if (std::strlen(l.name) == len) {  // an exact name wins over its longer neighbours
      found = &l;
      ambiguous = false;
      break;
    }
    if (found) {
      ambiguous = true;
    } else {
      found = &l;
    }
  }
  *takes_argument = found && !ambiguous && found->has_arg == required_argument;
  return found != nullptr;
}

// The command line without the added options.
struct pre_pass {
  std::vector<char *> rest;  // argv[0] and every word not taken, in order
  size_t stop = SIZE_MAX;    // an added option was wrong where rest had this many words
  std::string error;         // and this is the message
};

// A word that begins with "--": an existing option (with the argument word
// getopt_long will read for it) or an unknown one goes to p->rest; an added
// option is applied, with its argument from the word (after '=') or from
// the next one. @return false when the added option is wrong (p->error set).
bool take_added(const char *word, int argc, char **argv, int *i, rom_options &o, pre_pass *p) {
  const char *name = word + 2;
  const char *eq = std::strchr(name, '=');
  const size_t len = eq ? static_cast<size_t>(eq - name) : std::strlen(name);
  bool takes_argument = false;
  if (existing_long(name, len, &takes_argument)) {
    p->rest.push_back(argv[*i]);
    if (takes_argument && !eq && *i + 1 < argc) p->rest.push_back(argv[++*i]);
    return true;
  }
  const added_option *found = nullptr;
  std::string candidates;
  int matches = 0;
  for (const added_option &a : added_options) {
    if (std::strncmp(a.name, name, len) != 0) continue;
    if (std::strlen(a.name) == len) {
      found = &a;
      matches = 1;
      break;
    }
    found = &a;
    ++matches;
    candidates += std::string(candidates.empty() ? "" : ",") + "--" + a.name;
  }
  if (!found) {  // getopt_long's "unrecognized option"
    p->rest.push_back(argv[*i]);
    return true;
  }
  const std::string shown(word, static_cast<size_t>(name - word) + len);
  if (matches > 1) {
    p->error = "ambiguous option,'" + shown + "':" + candidates + "\n";
    return false;
  }
  const char *arg = nullptr;
  if (found->argument) {
    if (eq) {
      arg = eq + 1;
    } else if (*i + 1 < argc) {
      arg = argv[++*i];
    } else {
      p->error = std::string("option needs an argument,'--") + found->name + "'\n";
      return false;
    }
  } else if (eq) {
    p->error = std::string("option takes no argument,'") + word + "'\n";
    return false;
  }
  return found->apply(o, arg, &p->error);
}

// Walks argv as getopt_long does and takes out the added options, applying
// them to o. Stops at the first wrong one.
pre_pass take_added_options(int argc, char **argv, rom_options &o) {
  pre_pass p;
  if (argc > 0) p.rest.push_back(argv[0]);
  // getopt_long stops at the first word that is not an option when this is
  // set (its only use of the environment), and so does the pre-pass.
  const bool in_order = std::getenv("POSIXLY_CORRECT") != nullptr;
  int i = 1;
  for (; i < argc; ++i) {
    char *word = argv[i];
    if (std::strcmp(word, "--") == 0) break;  // the rest are no options
    if (word[0] != '-' || word[1] == '\0') {  // not an option
      if (in_order) break;
      p.rest.push_back(word);
      continue;
    }
    if (word[1] == '-') {
      if (!take_added(word, argc, argv, &i, o, &p)) {
        p.stop = p.rest.size();
        return p;
      }
      continue;
    }
    // A cluster of short options: the first that takes an argument ends it,
    // with the rest of the word or, when that is empty, the next word.
    p.rest.push_back(word);
    for (const char *c = word + 1; *c; ++c) {
      const char *known = std::strchr(short_options, *c);
      if (!known || *c == ':' || *c == ';') continue;  // getopt_long's "invalid option"
      if (known[1] == ':') {
        if (c[1] == '\0' && i + 1 < argc) p.rest.push_back(argv[++i]);
        break;
      }
    }
  }
  for (; i < argc; ++i) p.rest.push_back(argv[i]);
  return p;
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
  for (const added_option &a : added_options) {
    if (std::strncmp(a.name, name, n) == 0) return true;
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

namespace {

// The option loop of the first release over argv, into o (defaults already
// set). A pending message, when given, ends the run once the loop has
// read every word: the pre-pass stopped argv just before the wrong option.
bool scan_options(int argc, char **argv, rom_options &o, int *status, const char *pending) {
  // The run ends with this status; the texts have been printed.
  auto stop = [status](int end_status) {
    *status = end_status;
    return false;
  };
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

  if (pending) {
    report("%s", pending);
    return stop(usage(EXIT_USAGE));
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
  // --board-file is an action of its own: it reads no image and neither
  // stops processes nor reboots.
  if (o.board_file && (o.rom_path || o.kill || o.reboot || o.background)) {
    report("option --board-file goes with none of -e, -i, -I, -x, -k, -r, -q, -h\n");
    return stop(usage(EXIT_USAGE));
  }
  if (!o.rom_path && !o.board_file && o.ab_action == ROM_AB_NONE) {
    report("no rom block file setting!\n");
    return stop(usage(EXIT_USAGE));
  }
  return true;
}

}  // namespace

namespace {

// What the actions of a board with two slots take of the other options.
// @return the message for a combination they refuse, or "".
std::string ab_conflict(const rom_options &o) {
  if (o.ab_action == ROM_AB_NONE) {
    if (o.config_path)
      return "option needs an action,'--config':--update,--status,--confirm,--reject\n";
    if (o.json) return "option needs an action,'--json':--update,--status\n";
    return "";
  }
  const std::string action = ab_action_name(o.ab_action);
  if (o.rom_path) return "conflicting actions,'" + action + "' and an image action (-e,-i,-I,-x)\n";
  if (o.board_file) return "conflicting actions,'" + action + "' and '--board-file'\n";
  if (o.json && (o.ab_action == ROM_AB_CONFIRM || o.ab_action == ROM_AB_REJECT))
    return "option does not apply,'--json' with '" + action + "'\n";
  // An update writes every block of the image into the slot, or fails.
  if (o.option_count > 0) return "option does not apply,'-o' with '" + action + "'\n";
  if (o.skip_bad) return "option does not apply,'-s' with '" + action + "'\n";
  if (o.simulate) return "option does not apply,'-m' with '" + action + "'\n";
  if (o.discard) return "option does not apply,'-z' with '" + action + "'\n";
  if (o.preflight || o.device_name || o.device_id_given || o.pubkey_count || o.read_back ||
      o.skip_unchanged)
    return "option does not apply,'" + action + "' takes its checks from the configuration file\n";
  return "";
}

}  // namespace

bool rom_opts_scan(int argc, char **argv, rom_options *out, int *status) {
  rom_options &o = *out;
  set_defaults(o);
  pre_pass p = take_added_options(argc, argv, o);
  const bool wrong = p.stop != SIZE_MAX;
  if (wrong) p.rest.resize(p.stop);
  const int n = static_cast<int>(p.rest.size());
  p.rest.push_back(nullptr);
  if (!scan_options(n, p.rest.data(), o, status, wrong ? p.error.c_str() : nullptr)) return false;
  const std::string conflict = ab_conflict(o);
  if (!conflict.empty()) {
    report("%s", conflict.c_str());
    *status = usage(EXIT_USAGE);
    return false;
  }
  return true;
}

bool rom_opts_scan_classic(int argc, char **argv, rom_options *out, int *status) {
  set_defaults(*out);
  return scan_options(argc, argv, *out, status, nullptr);
}

}  // namespace korvane
