// SPDX-License-Identifier: MIT
// The command line: the one global settings record and its parser.
#pragma once

#include <cstdint>

namespace korvane {

inline constexpr int ROM_ACT_INFO = 0;
inline constexpr int ROM_ACT_EXECUTE = 1;
inline constexpr int ROM_ACT_EXTRACT = 2;

/// The actions of a board with two slots (long options only).
inline constexpr int ROM_AB_NONE = 0;
inline constexpr int ROM_AB_UPDATE = 1;   // --update IMAGE
inline constexpr int ROM_AB_STATUS = 2;   // --status
inline constexpr int ROM_AB_CONFIRM = 3;  // --confirm
inline constexpr int ROM_AB_REJECT = 4;   // --reject

inline constexpr int ROM_OPTION_IDS_MAX = 32;
inline constexpr int ROM_PUBKEYS_MAX = 16;

/// Exit status of a command-line error.
inline constexpr int EXIT_USAGE = 2;

struct rom_options {
  int action;                          // ROM_ACT_*; the last action option wins
  const char *rom_path;                // image or block file; points into argv
  int all_info;                        // -i 1, -I 0
  uint32_t flags;                      // -f: force, tool and a verify kind
  int blk_type;                        // -t (read by no action)
  int cypher_type;                     // -p (read by no action)
  int data_type;                       // -d (read by no action)
  int option_ids[ROM_OPTION_IDS_MAX];  // -o: MTD numbers selected for programming
  int option_count;                    // valid entries of option_ids; 0 selects every block
  int block_align;                     // 1 block-align, 0 page-align
  int pad;                             // pad byte, 0..255
  int retry;                           // -y (read by no action)
  int verify;                          // -v; always 1
  int verbose;                         // -V
  int skip_bad;                        // -s
  int reboot;                          // -r, -q
  int background;                      // -h
  int kill;                            // -k, -q
  int bin;                             // -b (read by no action)
  int simulate;                        // -m
  int discard;                         // -z
  int header;                          // -g
  // The options added since the first release: long only (see added_options
  // in settings.cc).
  int preflight;            // --preflight
  const char *device_name;  // --device NAME: points into argv; null when not given
  int device_id_given;      // --device-id N was given
  uint32_t device_id;       // --device-id N
  int read_back;            // --read-back
  int skip_unchanged;       // --skip-unchanged
  int mark_bad;             // --mark-bad
  int board_file;           // --board-file: print the board's board file, no other action

  const char *pubkeys[ROM_PUBKEYS_MAX];  // --pubkey FILE, each time given: point into argv
  int pubkey_count;                      // valid entries of pubkeys

  int ab_action;            // ROM_AB_*: instead of -e, -i, -I and -x
  const char *update_path;  // --update IMAGE: points into argv
  const char *config_path;  // --config FILE: points into argv; null: the default file
  int json;                 // --json
};

/// Written only by rom_opts_parse; read-only afterwards.
extern rom_options rom_opts;

/// Fills rom_opts from the command line. Returns 0 when it is complete; any
/// error prints its message and the usage text and exits with EXIT_USAGE;
/// --help and --version exit 0.
int rom_opts_parse(int argc, char **argv);

/// rom_opts_parse without ending the process: fills *out (rom_opts is not
/// touched) and prints exactly what rom_opts_parse prints.
/// @return true when the command line is complete; false when the run ends
///         here, with *status the exit status rom_opts_parse would exit with.
bool rom_opts_scan(int argc, char **argv, rom_options *out, int *status);

/// The parser as it was before the added options existed: today's
/// getopt_long loop over the whole command line, with no pre-pass. Every
/// command line that holds none of the added options must give exactly
/// what rom_opts_scan gives; the tests compare the two.
bool rom_opts_scan_classic(int argc, char **argv, rom_options *out, int *status);

/// True when getopt_long would take arg ("--name" or "--name=value") for one
/// of the long options above, written out or abbreviated. korvane-sim tells
/// korvane's options from a mistake in its own with it.
bool rom_opts_long_option(const char *arg);

/// An -a list as korvane reads it (block-align, page-align, pad=0xNN, later
/// tokens over earlier ones) over the values in *block_align and *pad.
/// @return false for a token korvane refuses.
bool rom_parse_align_list(const char *list, int *block_align, int *pad);

[[noreturn]] void usage_and_exit(int status = 0);
[[noreturn]] void version_and_exit();

}  // namespace korvane
