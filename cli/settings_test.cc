// SPDX-License-Identifier: MIT
#include "cli/settings.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace korvane {
namespace {

const std::string usage =
    "korvane 1.0.4.9 [none]\n"
    "[Feb 21 2014 08:30:30]\n"
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
    "-q    --standalone      installing rom as standalone,handle 'kill','reboot',etc\n"
    "\n";

const std::string version =
    "korvane 1.0.4.9 [none]\n"
    "[Feb 21 2014 08:30:30]\n"
    "Copyright (C) 2014 the korvane developers\n";

// The settings as one line of name=value words.
std::string describe(const rom_options &o) {
  std::ostringstream s;
  s << "action=" << o.action << " path=" << (o.rom_path ? o.rom_path : "(null)")
    << " all_info=" << o.all_info << " flags=0x" << std::hex << o.flags << std::dec
    << " type=" << o.blk_type << " cypher=" << o.cypher_type << " data=" << o.data_type << " ids=[";
  for (int i = 0; i < o.option_count; ++i) s << (i ? "," : "") << o.option_ids[i];
  s << "] align=" << o.block_align << " pad=0x" << std::hex << o.pad << std::dec
    << " retry=" << o.retry << " verify=" << o.verify << " V=" << o.verbose << " s=" << o.skip_bad
    << " r=" << o.reboot << " h=" << o.background << " k=" << o.kill << " b=" << o.bin
    << " m=" << o.simulate << " z=" << o.discard << " g=" << o.header
    << " preflight=" << o.preflight << " device=" << (o.device_name ? o.device_name : "(null)")
    << " device_id=" << (o.device_id_given ? std::to_string(o.device_id) : "none")
    << " read_back=" << o.read_back << " skip_unchanged=" << o.skip_unchanged
    << " mark_bad=" << o.mark_bad << " board_file=" << o.board_file << " pubkeys=[";
  for (int i = 0; i < o.pubkey_count; ++i) s << (i ? "," : "") << o.pubkeys[i];
  s << "] ab=" << o.ab_action << " update=" << (o.update_path ? o.update_path : "(null)")
    << " config=" << (o.config_path ? o.config_path : "(null)") << " json=" << o.json;
  return s.str();
}

struct outcome {
  bool returned = false;  // rom_opts_parse came back (fields holds the settings)
  int status = -1;        // exit status when it ended the process
  std::string out, err, fields;
};

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

// rom_path points into the words: they must outlive the settings.
int parse_words(std::vector<std::string> &words) {
  words.insert(words.begin(), "korvane");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return rom_opts_parse(static_cast<int>(words.size()), argv.data());
}

// The same through rom_opts_scan (or the parser without the pre-pass), which
// returns instead of exiting: the child exits with the status it returns, so
// both run the same checks.
int scan_words(std::vector<std::string> &words, rom_options *o, bool classic = false) {
  words.insert(words.begin(), "korvane");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int status = -1;
  auto scan = classic ? rom_opts_scan_classic : rom_opts_scan;
  if (scan(static_cast<int>(words.size()), argv.data(), o, &status)) return 0;
  std::fflush(stdout);
  _exit(status);
}

enum class via { parse, scan, classic };

// Runs the parser in a child, since it ends the process on most paths; an
// earlier command line, when given, is parsed first in the same child.
outcome parse(const std::vector<std::string> &args, const std::vector<std::string> &earlier = {},
              via how = via::parse, bool posixly_correct = false) {
  std::fflush(stdout);
  std::fflush(stderr);
  int out[2], err[2], fields[2];
  if (pipe(out) || pipe(err) || pipe(fields)) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1], fields[0]}) close(fd);
    if (posixly_correct) setenv("POSIXLY_CORRECT", "1", 1);
    std::vector<std::string> first = earlier, words = args;
    rom_options scanned{};
    auto parse_any = [&](std::vector<std::string> &w) {
      return how == via::parse ? parse_words(w) : scan_words(w, &scanned, how == via::classic);
    };
    if (!first.empty() && parse_any(first) != 0) _exit(95);
    int r = parse_any(words);
    std::string f = describe(how == via::parse ? rom_opts : scanned);
    if (write(fields[1], f.data(), f.size()) < 0) _exit(98);
    std::fflush(stdout);
    _exit(r == 0 ? 97 : 96);
  }
  for (int fd : {out[1], err[1], fields[1]}) close(fd);
  outcome o;
  o.out = drain(out[0]);
  o.err = drain(err[0]);
  o.fields = drain(fields[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  o.returned = WIFEXITED(st) && WEXITSTATUS(st) == 97;
  o.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return o;
}

constexpr int RETURNS = -1;

struct row {
  const char *what;
  std::vector<std::string> args;
  int status;            // RETURNS, or the exit status
  std::string out;       // stdout, exactly
  std::string fields;    // words that must appear in the settings line
  const char *err = "";  // text that getopt_long's diagnostic must hold
};

std::string list_of(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(i + 100);
  return s;
}

std::string long_flags() {
  std::string s;
  while (s.size() < 256) s += "force,";
  return s.substr(0, 256);  // one character more than the buffer holds
}

std::string long_align() {
  std::string s;
  while (s.size() < 300) s += "page-align,";
  return s;
}

const std::string no_file = "no rom block file setting!\n" + usage;

const std::vector<row> &rows() {
  static const std::vector<row> r = {
      {"defaults",
       {"-e", "a.rom"},
       RETURNS,
       "",
       "action=1 path=a.rom all_info=0 flags=0x0 type=0 cypher=0 data=0 ids=[] align=0 pad=0xff "
       "retry=3 verify=1 V=0 s=0 r=0 h=0 k=0 b=0 m=0 z=0 g=0"},
      {"the last action option wins",
       {"-e", "a.rom", "-x", "b.rom"},
       RETURNS,
       "",
       "action=2 path=b.rom"},
      {"-i then -I", {"-i", "a.rom", "-I", "b.rom"}, RETURNS, "", "action=0 path=b.rom all_info=0"},
      {"-I then -i", {"-I", "a.rom", "-i", "b.rom"}, RETURNS, "", "action=0 all_info=1"},
      {"long forms",
       {"--execute=a.rom", "--extract", "b.rom", "--all-info", "c.rom"},
       RETURNS,
       "",
       "action=0 path=c.rom all_info=1"},
      {"stray words are ignored", {"stray", "-e", "a.rom", "more"}, RETURNS, "", "path=a.rom"},
      {"every switch",
       {"-V", "-s", "-r", "-h", "-k", "-b", "-m", "-z", "-g", "-e", "x"},
       RETURNS,
       "",
       "V=1 s=1 r=1 h=1 k=1 b=1 m=1 z=1 g=1"},
      {"-q sets kill and reboot", {"-q", "-e", "x"}, RETURNS, "", "r=1 k=1 h=0"},
      {"-v eats -e", {"-v", "-e", "image.rom"}, 2, no_file, ""},
      {"-v takes its argument and sets nothing else",
       {"-v", "0", "-e", "x"},
       RETURNS,
       "",
       "verify=1"},
      {"-h is background, not help", {"-h"}, 2, no_file, ""},
      {"no option at all", {}, 2, no_file, ""},
      {"--verb is --verbose", {"--verb", "-e", "x"}, RETURNS, "", "V=1"},
      {"--vers is --version", {"-e", "x", "--vers"}, 0, version, ""},
      {"--ver is ambiguous", {"-e", "x", "--ver"}, 2, usage, "", "ambiguous"},
      {"--ex is ambiguous", {"--ex", "x"}, 2, usage, "", "ambiguous"},
      {"unknown option", {"-e", "x", "-Z"}, 2, usage, "", "invalid option"},
      {"unknown long option", {"-e", "x", "--help-me"}, 2, usage, "", "unrecognized option"},
      {"missing argument", {"-e"}, 2, usage, "", "requires an argument"},
      {"--help in the middle", {"-e", "x", "--help", "-t", "bad"}, 0, usage, ""},
      {"--version before the action", {"--version", "-e", "a.rom"}, 0, version, ""},
      {"a bad type before --version",
       {"-t", "bad", "--version"},
       2,
       "unknown type,'bad'\n" + usage,
       ""},
      {"a bad -f list before --version", {"-f", "nonsense", "--version"}, 0, version, ""},
      {"a bad -o list before --version", {"-o", ",1", "--version"}, 2, usage, ""},
      {"-f force,crc", {"-f", "force,crc", "-e", "x"}, RETURNS, "", "flags=0x101"},
      {"-f crc,checksum", {"-f", "crc,checksum", "-e", "x"}, RETURNS, "", "flags=0x200"},
      {"-f checksum,crc", {"-f", "checksum,crc", "-e", "x"}, RETURNS, "", "flags=0x100"},
      {"-f tool,force", {"-f", "tool,force", "-e", "x"}, RETURNS, "", "flags=0x3"},
      {"-f force,tool,crc", {"-f", "force,tool,crc", "-e", "x"}, RETURNS, "", "flags=0x103"},
      {"only the last -f counts", {"-f", "bad", "-f", "tool", "-e", "x"}, RETURNS, "", "flags=0x2"},
      {"empty -f", {"-f", "", "-e", "x"}, RETURNS, "", "flags=0x0"},
      {"-f with a trailing comma", {"-f", "force,", "-e", "x"}, RETURNS, "", "flags=0x1"},
      {"-f with a leading comma",
       {"-f", ",force", "-e", "x"},
       2,
       "unknown flags,',force'\n" + usage,
       ""},
      {"-f with two commas",
       {"-f", "force,,crc", "-e", "x"},
       2,
       "unknown flags,'force,,crc'\n" + usage,
       ""},
      {"-f names the whole list",
       {"-f", "force,CRC", "-e", "x"},
       2,
       "unknown flags,'force,CRC'\n" + usage,
       ""},
      {"-f longer than 255 characters",
       {"-f", long_flags(), "-e", "x"},
       2,
       "unknown flags,'" + long_flags() + "'\n" + usage,
       ""},
      {"-a pad=0x5a", {"-a", "pad=0x5a", "-e", "x"}, RETURNS, "", "align=0 pad=0x5a"},
      {"-a pad=0x123 reads two digits", {"-a", "pad=0x123", "-e", "x"}, RETURNS, "", "pad=0x12"},
      {"-a block-align,pad=0x00",
       {"-a", "block-align,pad=0x00", "-e", "x"},
       RETURNS,
       "",
       "align=1 pad=0x0"},
      {"-a keeps the default pad",
       {"-a", "block-align", "-e", "x"},
       RETURNS,
       "",
       "align=1 pad=0xff"},
      {"-a later token wins", {"-a", "block-align,page-align", "-e", "x"}, RETURNS, "", "align=0"},
      {"-a pad=5a", {"-a", "pad=5a", "-e", "x"}, 2, "unknown align options,'pad=5a'\n" + usage, ""},
      {"-a bare pad=0x",
       {"-a", "block-align,pad=0x", "-e", "x"},
       2,
       "unknown align options,'block-align,pad=0x'\n" + usage,
       ""},
      {"-a negative pad",
       {"-a", "pad=0x-1", "-e", "x"},
       2,
       "unknown align options,'pad=0x-1'\n" + usage,
       ""},
      {"-a longer than 255 characters",
       {"-a", long_align(), "-e", "x"},
       2,
       "unknown align options,'" + long_align() + "'\n" + usage,
       ""},
      {"a bad -f is reported before a bad -a",
       {"-a", "x", "-f", "y", "-e", "z"},
       2,
       "unknown flags,'y'\n" + usage,
       ""},
      {"-o 3,5,7", {"-o", "3,5,7", "-e", "x"}, RETURNS, "", "ids=[3,5,7]"},
      {"empty -o selects every block", {"-o", "", "-e", "x"}, RETURNS, "", "ids=[]"},
      {"-o with a trailing comma", {"-o", "3,", "-e", "x"}, RETURNS, "", "ids=[3]"},
      {"-o replaces the list", {"-o", "1,2", "-o", "9", "-e", "x"}, RETURNS, "", "ids=[9]"},
      {"-o keeps the first 32 of 40",
       {"-o", list_of(40), "-e", "x"},
       RETURNS,
       "",
       "ids=[" + list_of(32) + "]"},
      {"-o with a leading comma", {"-o", ",3", "-e", "x"}, 2, usage, ""},
      {"-o with an empty entry", {"-o", "3,,5", "-e", "x"}, 2, usage, ""},
      {"-o with a word", {"-o", "3,x", "-e", "x"}, 2, usage, ""},
      {"-p GZIP", {"-p", "GZIP", "-e", "x"}, RETURNS, "", "cypher=2"},
      {"-p aes", {"-p", "aes", "-e", "x"}, RETURNS, "", "cypher=128"},
      {"-p unknown",
       {"-p", "cypher9", "-e", "x"},
       2,
       "unknown cypher type,'cypher9'\n" + usage,
       ""},
      {"-t NOR", {"-t", "NOR", "-e", "x"}, 2, "unknown type,'NOR'\n" + usage, ""},
      {"-t Script", {"-t", "Script", "-e", "x"}, RETURNS, "", "type=7"},
      {"-t nand-oob", {"-t", "nand-oob", "-e", "x"}, RETURNS, "", "type=5"},
      {"-d file", {"-d", "file", "-e", "x"}, RETURNS, "", "data=2"},
      {"-d RAW", {"-d", "RAW", "-e", "x"}, 2, "unknown data type,'RAW'\n" + usage, ""},
      {"-y 7", {"-y", "7", "-e", "x"}, RETURNS, "", "retry=7"},
      {"-y with no number", {"-y", "abc", "-e", "x"}, RETURNS, "", "retry=0"},
  };
  return r;
}

bool has_words(const std::string &line, const std::string &words) {
  std::istringstream in(words);
  std::string padded = " " + line + " ";
  for (std::string w; in >> w;) {
    if (padded.find(" " + w + " ") == std::string::npos) return false;
  }
  return true;
}

// Every row twice: through rom_opts_parse, and through rom_opts_scan, whose
// texts and statuses must be the same bytes.
void check_rows(const std::vector<row> &rows) {
  for (via how : {via::parse, via::scan}) {
    for (const row &r : rows) {
      SCOPED_TRACE(r.what);
      SCOPED_TRACE(how == via::parse ? "rom_opts_parse" : "rom_opts_scan");
      outcome o = parse(r.args, {}, how);
      if (r.status == RETURNS) {
        EXPECT_TRUE(o.returned) << "exit status " << o.status << "\n" << o.out;
        EXPECT_TRUE(has_words(o.fields, r.fields)) << o.fields << "\nlacks: " << r.fields;
      } else {
        EXPECT_FALSE(o.returned) << o.fields;
        EXPECT_EQ(o.status, r.status);
      }
      EXPECT_EQ(o.out, r.out);
      if (*r.err) {
        EXPECT_NE(o.err.find(r.err), std::string::npos) << o.err;
      } else {
        EXPECT_EQ(o.err, "");
      }
    }
  }
}

TEST(RomOptsParse, CommandLines) { check_rows(rows()); }

// The parser starts afresh on every call: defaults, and getopt's scan.
TEST(RomOptsParse, ParsesAfreshEachCall) {
  for (via how : {via::parse, via::scan}) {
    outcome o = parse({"-I", "b.rom"},
                      {"-V", "-o", "4", "-f", "crc", "-a", "pad=0x00", "-x", "a.rom"}, how);
    EXPECT_TRUE(o.returned) << o.out;
    EXPECT_TRUE(has_words(o.fields, "action=0 path=b.rom flags=0x0 ids=[] pad=0xff V=0"))
        << o.fields;
  }
}

// ------------------------------------------ the options added since then

// The long options of the first release.
const std::vector<std::string> classic_names = {
    "help",  "version", "execute",     "all-info",  "info",       "extract",
    "flags", "type",    "cypher-type", "data-type", "option",     "align",
    "retry", "verify",  "verbose",     "skipbad",   "reboot",     "background",
    "kill",  "bin",     "simulate",    "discard",   "standalone", "header"};

// Words that name added options, or look like them.
const std::vector<std::string> added_words = {
    "--preflight", "--device",         "--device-id=3", "--de",       "--p",   "--",  "--dev=x",
    "--read-back", "--skip-unchanged", "--skip-",       "--mark-bad", "--rea", "--m", "--pubkey=k",
    "--pu",        "--board-file",     "--bo"};

struct line {
  std::vector<std::string> args;
  bool posixly_correct = false;
};

// Command lines that ran before the added options existed, many with words
// that name added options where getopt_long never reads them as options:
// every prefix of every long option, alone and with "=" (the unique ones
// are abbreviations, the others ambiguous); added words as the argument of
// every option that takes one, short, clustered and long; after "--";
// after the word that ends the run (--help, --version, an error); and after
// a word that is no option when POSIXLY_CORRECT asks getopt_long to stop
// there.
std::vector<line> classic_lines() {
  std::vector<line> lines;
  for (const std::string &name : classic_names) {
    for (size_t n = 1; n <= name.size(); ++n) {
      std::string p = "--" + name.substr(0, n);
      lines.push_back({{p, "-e", "x"}});
      lines.push_back({{"-e", "x", p + "=v"}});
    }
  }
  for (char c : std::string("eiIxftpdoayv")) {
    for (const std::string &w : added_words) {
      lines.push_back({{std::string("-") + c, w, "-e", "x"}});
      lines.push_back({{std::string("-V") + c, w, "-I", "x"}});
    }
  }
  for (const std::string &w : added_words) {
    for (const char *opt : {"--execute", "--flags", "--fl", "--al", "--opt", "--verify", "--ret"})
      lines.push_back({{opt, w, "-i", "y"}});
    lines.push_back({{"-e", "x", "--", w}});
    lines.push_back({{"--version", w}});
    lines.push_back({{"-e", "x", "--help", w, "bad"}});
    lines.push_back({{"-t", "bad", w}});
    lines.push_back({{"-o", ",1", w}});
    lines.push_back({{"-e", "x", "-Z", w}});
    lines.push_back({{"-e", "x", "--ver", w}});
    lines.push_back({{"-e", "x", "--d", w}});
    lines.push_back({{"-e", "x", "--bogus", w}});
    lines.push_back({{"-e", "x", "--verbose=1", w}});
    lines.push_back({{"-e", "x", "stray", w, "-V"}, true});
  }
  for (const row &r : rows()) lines.push_back({r.args});
  return lines;
}

// Each gives exactly what the parser without the pre-pass gives: the same
// standard output, standard error, exit status and settings.
TEST(RomOptsAdded, CommandLinesOfTheFirstReleaseAreUntouched) {
  for (const line &l : classic_lines()) {
    std::string shown;
    for (const std::string &w : l.args) shown += " " + w;
    SCOPED_TRACE(shown + (l.posixly_correct ? " (POSIXLY_CORRECT)" : ""));
    outcome classic = parse(l.args, {}, via::classic, l.posixly_correct);
    outcome now = parse(l.args, {}, via::scan, l.posixly_correct);
    EXPECT_EQ(now.status, classic.status);
    EXPECT_EQ(now.returned, classic.returned);
    EXPECT_EQ(now.out, classic.out);
    EXPECT_EQ(now.err, classic.err);
    EXPECT_EQ(now.fields, classic.fields);
  }
}

const std::vector<row> &added_rows() {
  static const std::vector<row> r = {
      {"--preflight", {"--preflight", "-e", "x"}, RETURNS, "", "action=1 preflight=1"},
      {"a prefix of --preflight only", {"--pre", "-e", "x"}, RETURNS, "", "preflight=1"},
      {"--device NAME",
       {"-e", "x", "--device", "board"},
       RETURNS,
       "",
       "device=board device_id=none"},
      {"--device=NAME", {"--device=board", "-e", "x"}, RETURNS, "", "device=board"},
      {"a name of 16 bytes",
       {"--device", "0123456789abcdef", "-e", "x"},
       RETURNS,
       "",
       "device=0123456789abcdef"},
      {"the argument word is taken whatever it is", {"--device", "-e", "x"}, 2, no_file, ""},
      {"--device-id decimal", {"--device-id", "7", "-e", "x"}, RETURNS, "", "device_id=7"},
      {"--device-id hexadecimal",
       {"--device-id=0xFFFFFFFF", "-e", "x"},
       RETURNS,
       "",
       "device_id=4294967295"},
      {"a prefix of --device-id only", {"--device-", "0", "-e", "x"}, RETURNS, "", "device_id=0"},
      {"the last one counts",
       {"--device", "a", "--device", "b", "--device-id", "1", "--device-id", "2", "-e", "x"},
       RETURNS,
       "",
       "device=b device_id=2"},
      {"all three with the old ones",
       {"-Vfcrc", "--preflight", "-o", "3", "--device", "b", "--sk", "--device-id", "9", "-e", "x"},
       RETURNS,
       "",
       "flags=0x100 ids=[3] V=1 s=1 preflight=1 device=b device_id=9"},
      {"--sk stays --skipbad", {"--sk", "-e", "x"}, RETURNS, "", "s=1 preflight=0"},
      {"--pubkey, each one kept in order",
       {"--pubkey", "a.pub", "-i", "x", "--pubkey=b.pub", "--pu", "c.pub"},
       RETURNS,
       "",
       "action=0 path=x all_info=1 pubkeys=[a.pub,b.pub,c.pub]"},
      {"--p names two added options now",
       {"--p", "-e", "x"},
       2,
       "ambiguous option,'--p':--preflight,--pubkey\n" + usage,
       ""},
      {"--pubkey without its file",
       {"-e", "x", "--pubkey"},
       2,
       "option needs an argument,'--pubkey'\n" + usage,
       ""},
      {"an empty key file name",
       {"--pubkey=", "-e", "x"},
       2,
       "invalid public key file,''\n" + usage,
       ""},
      {"more keys than are kept",
       {"--pubkey=1", "--pubkey=2", "--pubkey=3", "--pubkey=4", "--pubkey=5", "--pubkey=6",
        "--pubkey=7", "--pubkey=8", "--pubkey=9", "--pubkey=10", "--pubkey=11", "--pubkey=12",
        "--pubkey=13", "--pubkey=14", "--pubkey=15", "--pubkey=16", "--pubkey=17", "-e", "x"},
       2,
       "too many public keys,'17',at most 16\n" + usage,
       ""},
      {"--d stays ambiguous among the old ones",
       {"--d", "x", "-e", "x"},
       2,
       usage,
       "",
       "'--d' is ambiguous"},
      {"a prefix of two added names",
       {"-e", "x", "--dev", "board"},
       2,
       "ambiguous option,'--dev':--device,--device-id\n" + usage,
       ""},
      {"a prefix of two added names, with '='",
       {"--de=7", "-e", "x"},
       2,
       "ambiguous option,'--de':--device,--device-id\n" + usage,
       ""},
      {"no argument",
       {"-e", "x", "--device"},
       2,
       "option needs an argument,'--device'\n" + usage,
       ""},
      {"no argument, abbreviated",
       {"-e", "x", "--device-i"},
       2,
       "option needs an argument,'--device-id'\n" + usage,
       ""},
      {"an argument where none is taken",
       {"-e", "x", "--preflight=yes"},
       2,
       "option takes no argument,'--preflight=yes'\n" + usage,
       ""},
      {"a name longer than the field",
       {"--device", "0123456789abcdefg", "-e", "x"},
       2,
       "invalid device name,'0123456789abcdefg',longer than 16 bytes\n" + usage,
       ""},
      // An empty name would match every image built without one.
      {"an empty name", {"--device=", "-e", "x"}, 2, "invalid device name,'',empty\n" + usage, ""},
      {"an empty name word",
       {"-e", "x", "--device", ""},
       2,
       "invalid device name,'',empty\n" + usage,
       ""},
      {"an id that is no number",
       {"--device-id", "seven", "-e", "x"},
       2,
       "invalid device id,'seven'\n" + usage,
       ""},
      {"an id past 32 bits",
       {"--device-id", "4294967296", "-e", "x"},
       2,
       "invalid device id,'4294967296'\n" + usage,
       ""},
      {"a negative id", {"--device-id=-1", "-e", "x"}, 2, "invalid device id,'-1'\n" + usage, ""},
      {"an id with a sign",
       {"--device-id=+1", "-e", "x"},
       2,
       "invalid device id,'+1'\n" + usage,
       ""},
      {"an empty id", {"--device-id=", "-e", "x"}, 2, "invalid device id,''\n" + usage, ""},
      {"a bare 0x", {"--device-id=0x", "-e", "x"}, 2, "invalid device id,'0x'\n" + usage, ""},
      {"an id with trailing words",
       {"--device-id", "12 ", "-e", "x"},
       2,
       "invalid device id,'12 '\n" + usage,
       ""},
      // Read where they stand: what comes before a wrong added option has
      // its effect first, what comes after it none.
      {"a bad type before a wrong added option",
       {"-t", "bad", "--device-id", "x"},
       2,
       "unknown type,'bad'\n" + usage,
       ""},
      {"--version before a wrong added option", {"--version", "--device"}, 0, version, ""},
      {"--help after a wrong added option",
       {"--device-id", "x", "--help"},
       2,
       "invalid device id,'x'\n" + usage,
       ""},
      {"a wrong added option before the lists are read",
       {"-f", "nonsense", "-e", "x", "--dev", "y"},
       2,
       "ambiguous option,'--dev':--device,--device-id\n" + usage,
       ""},
      {"an unknown long option is still getopt_long's",
       {"-e", "x", "--devices"},
       2,
       usage,
       "",
       "unrecognized option '--devices'"},
      {"the three install checks",
       {"--read-back", "--skip-unchanged", "--mark-bad", "-e", "x"},
       RETURNS,
       "",
       "action=1 path=x read_back=1 skip_unchanged=1 mark_bad=1"},
      {"prefixes no existing option shares",
       {"--rea", "--skip-", "--ma", "-e", "x"},
       RETURNS,
       "",
       "s=0 read_back=1 skip_unchanged=1 mark_bad=1"},
      {"--skip and --skipb stay --skipbad",
       {"--skip", "--skipb", "-e", "x"},
       RETURNS,
       "",
       "s=1 read_back=0 skip_unchanged=0 mark_bad=0"},
      {"--re stays ambiguous among the old ones",
       {"--re", "-e", "x"},
       2,
       usage,
       "",
       "'--re' is ambiguous"},
      // No option of the first release begins with "m".
      {"--m was unknown and is --mark-bad", {"--m", "-e", "x"}, RETURNS, "", "m=0 mark_bad=1"},
      {"an argument where none is taken, for each",
       {"-e", "x", "--skip-unchanged=yes"},
       2,
       "option takes no argument,'--skip-unchanged=yes'\n" + usage,
       ""},
      {"--board-file alone: an action that needs no image",
       {"--board-file"},
       RETURNS,
       "",
       "action=0 path=(null) board_file=1"},
      {"--board-file with the options that change nothing",
       {"-V", "--bo", "--preflight"},
       RETURNS,
       "",
       "V=1 preflight=1 board_file=1"},
      {"--b stays ambiguous among the old ones",
       {"--b", "--board-file"},
       2,
       usage,
       "",
       "'--b' is ambiguous"},
      {"--board-file with an image action",
       {"-i", "x", "--board-file"},
       2,
       "option --board-file goes with none of -e, -i, -I, -x, -k, -r, -q, -h\n" + usage,
       ""},
      {"--board-file with -q, which would reboot",
       {"--board-file", "-q"},
       2,
       "option --board-file goes with none of -e, -i, -I, -x, -k, -r, -q, -h\n" + usage,
       ""},
      {"--board-file takes no argument",
       {"--board-file=mtd0"},
       2,
       "option takes no argument,'--board-file=mtd0'\n" + usage,
       ""},
      {"--mark-bad= is refused too",
       {"--mark-bad=", "-e", "x"},
       2,
       "option takes no argument,'--mark-bad='\n" + usage,
       ""},
      // The actions of a board with two slots need no image of -e, -i or -x.
      {"--update with its image",
       {"--update", "u.rom", "-k", "-r"},
       RETURNS,
       "",
       "path=(null) r=1 h=0 k=1 b=0 m=0 z=0 g=0 preflight=0"},
      {"--update and the others, with their prefixes",
       {"--up=u.rom", "--config=c.conf", "--js"},
       RETURNS,
       "",
       "ab=1 update=u.rom config=c.conf json=1"},
      {"--status",
       {"--status", "--config", "s.conf", "--json"},
       RETURNS,
       "",
       "ab=2 update=(null) config=s.conf json=1"},
      {"--confirm", {"--confirm"}, RETURNS, "", "ab=3"},
      {"--reject", {"--rej"}, RETURNS, "", "ab=4"},
      {"--sta stays --standalone", {"--sta", "-e", "x"}, RETURNS, "", "r=1 h=0 k=1"},
      {"--con is two added options",
       {"--con"},
       2,
       "ambiguous option,'--con':--confirm,--config\n" + usage,
       ""},
      {"two actions",
       {"--status", "--confirm"},
       2,
       "conflicting actions,'--status' and '--confirm'\n" + usage,
       ""},
      {"an action beside -e",
       {"--status", "-e", "x"},
       2,
       "conflicting actions,'--status' and an image action (-e,-i,-I,-x)\n" + usage,
       ""},
      {"--update without its image",
       {"--update"},
       2,
       "option needs an argument,'--update'\n" + usage,
       ""},
      {"--config alone",
       {"--config", "c", "-e", "x"},
       2,
       "option needs an action,'--config':--update,--status,--confirm,--reject\n" + usage,
       ""},
      {"--json with --confirm",
       {"--confirm", "--json"},
       2,
       "option does not apply,'--json' with '--confirm'\n" + usage,
       ""},
      {"-s with --update",
       {"--update", "u", "-s"},
       2,
       "option does not apply,'-s' with '--update'\n" + usage,
       ""},
      {"--pubkey with --update",
       {"--update", "u", "--pubkey", "k"},
       2,
       "option does not apply,'--update' takes its checks from the configuration file\n" + usage,
       ""},
  };
  return r;
}

TEST(RomOptsAdded, CommandLines) { check_rows(added_rows()); }

// getopt_long stops at the first word that is no option when POSIXLY_CORRECT
// is set, and so do the added options.
TEST(RomOptsAdded, StopWhereGetoptStops) {
  outcome o = parse({"-e", "x", "stray", "--preflight"}, {}, via::scan, true);
  EXPECT_TRUE(o.returned);
  EXPECT_TRUE(has_words(o.fields, "path=x preflight=0")) << o.fields;
  o = parse({"-e", "x", "--preflight", "stray", "--device", "b"}, {}, via::scan, true);
  EXPECT_TRUE(o.returned);
  EXPECT_TRUE(has_words(o.fields, "preflight=1 device=(null)")) << o.fields;
}

}  // namespace
}  // namespace korvane
