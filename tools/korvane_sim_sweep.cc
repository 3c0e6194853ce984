// SPDX-License-Identifier: MIT
// korvane-sim sweep. Every run is korvane-sim itself in a process of its
// own over a copy of a state folder, exactly as a person would replay it:
//
//   base      slot A holds the --from image, confirmed and running; slot B
//             the same image, good (two updates, boots and confirms)
//   reference base + the update without a cut: the number of operations
//             and the digest slot B must end with
//   update N  base + the update cut at operation N, then boots until the
//             system comes up: on A, good, with its record as before, or on
//             B, pending, with the new digest; then the update again without
//             a cut (when on A), a boot into B and --confirm
//   boot      the reference after F failed boots (F from 0 to bootlimit),
//             and the confirmed systems: a boot cut at each of its
//             environment stores, then boots until the system comes up
//
// A failure is any cut after which no complete slot comes up, or comes up
// in a state the environment does not describe, or from which the update
// or the confirmation does not finish.
#include "tools/korvane_sim_sweep.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_board.h"
#include "sim/sim_env.h"

#include <zlib.h>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using korvane::bootenv_vars;

constexpr const char *SWEEP_USAGE =
    "usage: korvane-sim sweep --board FILE --config FILE --image FILE [--from IMAGE]\n"
    "                         [--seed S] [--every K] [--work DIR]\n";

constexpr const char *SWEEP_HELP =
    "  --board FILE   a board with slots A and B and a redundant environment\n"
    "  --config FILE  korvane's configuration file for the board (--config)\n"
    "  --image FILE   the image the update writes into slot B\n"
    "  --from IMAGE   the image slot A holds at the start (default: --image)\n"
    "  --seed S       the seed of the torn patterns (default 0)\n"
    "  --every K      cut the update at every K-th operation only (1, 1+K, ...),\n"
    "                 and at its last three (default 1: every operation)\n"
    "  --work DIR     keep the state folders here (default: a temporary folder,\n"
    "                 removed at the end unless a cut failed)\n"
    "\n"
    "Cuts the power at every flash operation of a clean update of slot B, and at\n"
    "every environment store of the boots after it, and boots the board after\n"
    "each cut as the boot loader would. Prints a table of where the board came\n"
    "up, one \"sweep: failure\" line with a replay command for each cut after\n"
    "which no complete, verified slot boots, and a \"sweep: result=\" line.\n"
    "Exit status: 0 no failure, 1 failures (or a run that went wrong), 2 a\n"
    "mistake in the options.\n";

struct outcome {
  int status = -1;
  std::string out, err;
};

struct sweep {
  std::string self, board, config, image, from, work;
  uint64_t seed = 0;
  uint64_t every = 1;  // cut the update at every K-th operation
  korvane::sim_board b;
  unsigned serial = 0;

  // korvane-sim with args, over state folder state.
  outcome sim(const std::string &state, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {self, "--board", board, "--state", state};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string out = work + "/.out", err = work + "/.err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    outcome o;
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), &fa, nullptr, cargv.data(), environ) != 0) {
      posix_spawn_file_actions_destroy(&fa);
      o.err = "cannot start " + self;
      return o;
    }
    posix_spawn_file_actions_destroy(&fa);
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    o.out = slurp(out);
    o.err = slurp(err);
    return o;
  }

  static std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  outcome korvane(const std::string &state, const std::vector<std::string> &words,
                  const std::vector<std::string> &own = {}) {
    std::vector<std::string> args = own;
    args.insert(args.end(), {"--", "--config", config});
    args.insert(args.end(), words.begin(), words.end());
    return sim(state, args);
  }

  bootenv_vars env(const std::string &state) {
    bootenv_vars vars;
    std::string error;
    if (korvane::sim_env_load(b.env, state, &vars, &error) != 0) vars.clear();
    return vars;
  }

  static void copy_state(const std::string &from, const std::string &to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
  }
};

std::string get(const bootenv_vars &v, const std::string &name) {
  auto it = v.find(name);
  return it == v.end() ? std::string() : it->second;
}

// The digest word of a slot record.
std::string digest_of(const std::string &record) {
  std::istringstream in(record);
  for (std::string w; in >> w;) {
    if (w.rfind("digest=", 0) == 0) return w.substr(7);
  }
  return "";
}

// "korvane-sim: flash operations: N" on standard error, or -1.
long long ops_of(const std::string &err) {
  const char *key = "korvane-sim: flash operations: ";
  auto at = err.rfind(key);
  if (at == std::string::npos) return -1;
  return std::atoll(err.c_str() + at + std::strlen(key));
}

// The value of word key= in a "boot:" line.
std::string boot_word(const std::string &err, const std::string &key) {
  auto line_at = err.rfind("boot: ");
  if (line_at == std::string::npos) return "";
  std::istringstream in(err.substr(line_at, err.find('\n', line_at) - line_at));
  for (std::string w; in >> w;) {
    if (w.rfind(key + "=", 0) == 0) return w.substr(key.size() + 1);
  }
  return "";
}

std::string shell_word(const std::string &word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789/._-+=:,") == std::string::npos)
    return word;
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string first_line(const std::string &text) {
  std::string line = text.substr(0, text.find('\n'));
  for (char &c : line) {
    if (c == '\r' || c == '\t') c = ' ';
  }
  return line;
}

// The CRC-32 of partition m's good erase blocks in state folder dir, as
// the boot step computes it: the board's bad blocks and those marked since
// (mtdN.bad) left out, a missing or short file read as erased.
uint32_t partition_crc(const std::string &dir, const korvane::sim_mtd &board_mtd) {
  korvane::sim_mtd m = board_mtd;
  const std::string base = dir + "/mtd" + std::to_string(m.number);
  std::ifstream marks(base + ".bad");
  for (std::string line; m.is_nand() && std::getline(marks, line);) {
    char *end = nullptr;
    const unsigned long block = std::strtoul(line.c_str(), &end, 10);
    if (end != line.c_str() && *end == '\0' && block < m.size / m.erasesize)
      m.bad.push_back(static_cast<uint32_t>(block));
  }
  std::string bytes = sweep::slurp(base + ".data");
  bytes.resize(m.size, '\xff');
  uLong crc = 0;
  for (uint32_t block = 0; block < m.size / m.erasesize; ++block) {
    if (m.is_bad(block)) continue;
    crc =
        ::crc32(crc, reinterpret_cast<const Bytef *>(bytes.data()) + uint64_t{block} * m.erasesize,
                m.erasesize);
  }
  return static_cast<uint32_t>(crc);
}

// Every slot the environment calls good or pending must hold what its
// record names, whichever slot runs: the fallback, --reject and the next
// update rely on it. @return "" or which slot does not.
std::string bootable_slots_whole(const std::string &dir, const korvane::sim_board &b,
                                 const bootenv_vars &e) {
  for (char slot : {'A', 'B'}) {
    const std::string var = std::string("korvane_") + slot;
    const std::string state = get(e, var);
    if (state != "good" && state != "pending") continue;
    std::istringstream in(digest_of(get(e, var + "_rec")));
    for (std::string entry; std::getline(in, entry, ',');) {
      const auto colon = entry.find(':');
      const korvane::sim_mtd *m =
          colon == std::string::npos ? nullptr : b.find(std::atoi(entry.c_str() + 3));
      char shown[16];
      if (m) std::snprintf(shown, sizeof shown, "%08x", partition_crc(dir, *m));
      if (!m || entry.substr(colon + 1) != shown)
        return std::string("slot ") + slot + " is " + state +
               " in the environment but its partitions do not hold its record (" + entry + ")";
    }
  }
  return "";
}

struct tally {
  unsigned points = 0, a_good = 0, b_pending = 0, b_good = 0, failures = 0;
};

}  // namespace

int korvane_sim_sweep(int argc, char **argv) {
  sweep s;
  bool have_work = false;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(SWEEP_USAGE, stdout);
      std::fputs(SWEEP_HELP, stdout);
      return 0;
    }
    std::string *into = nullptr;
    std::string name = arg, value;
    const auto eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    std::string seed, every;
    if (name == "--board") into = &s.board;
    if (name == "--config") into = &s.config;
    if (name == "--image") into = &s.image;
    if (name == "--from") into = &s.from;
    if (name == "--work") into = &s.work;
    if (name == "--seed") into = &seed;
    if (name == "--every") into = &every;
    if (!into) {
      std::fprintf(stderr, "korvane-sim sweep: unknown argument '%s'\n%s", arg.c_str(),
                   SWEEP_USAGE);
      return 2;
    }
    if (eq == std::string::npos) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvane-sim sweep: %s needs a value\n%s", arg.c_str(), SWEEP_USAGE);
        return 2;
      }
      value = argv[++i];
    }
    *into = value;
    if (name == "--work") have_work = true;
    if (name == "--seed" || name == "--every") {
      const std::string &text = name == "--seed" ? seed : every;
      char *end = nullptr;
      errno = 0;
      const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || *end || errno || text[0] == '-' || (name == "--every" && v == 0)) {
        std::fprintf(stderr, "korvane-sim sweep: %s takes a number%s, not '%s'\n%s", name.c_str(),
                     name == "--every" ? " of 1 or more" : "", text.c_str(), SWEEP_USAGE);
        return 2;
      }
      (name == "--seed" ? s.seed : s.every) = v;
    }
  }
  if (s.board.empty() || s.config.empty() || s.image.empty()) {
    std::fprintf(stderr, "korvane-sim sweep: --board, --config and --image are required\n%s",
                 SWEEP_USAGE);
    return 2;
  }
  if (s.from.empty()) s.from = s.image;
  std::string error;
  if (korvane::sim_board_load(s.board, &s.b, &error) != 0) {
    std::fprintf(stderr, "korvane-sim: %s\n", error.c_str());
    return 2;
  }
  if (s.b.slots.empty() || s.b.env.size == 0) {
    std::fprintf(stderr, "korvane-sim sweep: %s: the board needs slot lines and an env line\n",
                 s.board.c_str());
    return 2;
  }
  std::error_code ec;
  for (std::string *p : {&s.board, &s.config, &s.image, &s.from}) {
    fs::path abs = fs::absolute(*p, ec);
    if (!ec) *p = abs.lexically_normal().string();
  }
  // The korvane-sim each step runs: this one, or the command that
  // KORVANE_SIM_SELF names (a launcher, where this program runs under an
  // emulator that its own children would not go through).
  const char *given = std::getenv("KORVANE_SIM_SELF");
  if (given && *given) {
    s.self = given;
  } else {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
      std::fprintf(stderr, "korvane-sim sweep: cannot find korvane-sim itself\n");
      return 1;
    }
    s.self.assign(self, static_cast<size_t>(n));
  }
  if (have_work) {
    fs::create_directories(s.work, ec);
    fs::path abs = fs::absolute(s.work, ec);
    s.work = abs.lexically_normal().string();
  } else {
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvane-sweep-XXXXXX";
    if (!mkdtemp(templ.data())) {
      std::fprintf(stderr, "korvane-sim sweep: %s: %s\n", templ.c_str(), std::strerror(errno));
      return 1;
    }
    s.work = templ;
  }
  if (!fs::is_directory(s.work)) {
    std::fprintf(stderr, "korvane-sim sweep: %s: cannot be used as the work folder\n",
                 s.work.c_str());
    return 1;
  }
  const auto started = std::chrono::steady_clock::now();

  // Stops the sweep on a run that must not go wrong (the setup).
  auto broken = [&](const std::string &what, const outcome &o) {
    std::printf("sweep: error step=%s status=%d output=%s\n", what.c_str(), o.status,
                first_line(o.err.empty() ? o.out : o.err).c_str());
    std::printf("sweep: result=error work=%s\n", shell_word(s.work).c_str());
    return 1;
  };

  // The base: the --from image in both slots, A confirmed and running.
  const std::string base = s.work + "/base";
  fs::remove_all(base, ec);
  for (const char *slot : {"B", "A"}) {
    outcome o = s.korvane(base, {"--update", s.from});
    if (o.status != 0) return broken(std::string("base-update-") + slot, o);
    o = s.sim(base, {"--boot"});
    if (o.status != 0 || boot_word(o.err, "slot") != slot)
      return broken(std::string("base-boot-") + slot, o);
    o = s.korvane(base, {"--confirm"});
    if (o.status != 0) return broken(std::string("base-confirm-") + slot, o);
  }
  const bootenv_vars base_env = s.env(base);
  const std::string a_digest = digest_of(get(base_env, "korvane_A_rec"));

  // The reference: the update without a cut.
  const std::string ref = s.work + "/reference";
  sweep::copy_state(base, ref);
  outcome o = s.korvane(ref, {"--update", s.image}, {"--count-ops"});
  const long long total = ops_of(o.err);
  if (o.status != 0 || total <= 0) return broken("reference-update", o);
  const bootenv_vars ref_env = s.env(ref);
  const std::string b_digest = digest_of(get(ref_env, "korvane_B_rec"));
  const unsigned bootlimit = static_cast<unsigned>(std::atoi(get(ref_env, "bootlimit").c_str()));
  std::printf(
      "sweep: board=%s config=%s image=%s seed=%llu every=%llu update-operations=%lld "
      "bootlimit=%u\n",
      shell_word(s.board).c_str(), shell_word(s.config).c_str(), shell_word(s.image).c_str(),
      static_cast<unsigned long long>(s.seed), static_cast<unsigned long long>(s.every), total,
      bootlimit);
  std::fflush(stdout);

  std::vector<std::string> failures;
  const std::string point = s.work + "/point";
  auto sim_words = [&](const std::string &state) {
    return shell_word(s.self) + " --board " + shell_word(s.board) + " --state " + shell_word(state);
  };
  auto replay = [&](const std::string &from_state, const std::string &cut_run) {
    const std::string r = s.work + "/replay";
    return "rm -rf " + shell_word(r) + " && cp -a " + shell_word(from_state) + " " + shell_word(r) +
           " && " + sim_words(r) + " " + cut_run + "; " + sim_words(r) + " --boot";
  };

  // Boots point until the system comes up, as the board would after each
  // reset. @return "" with *slot and *state set, or why it never came up.
  auto boot_up = [&](char *slot, std::string *state) -> std::string {
    std::string last;
    for (unsigned k = 0; k < bootlimit + 3; ++k) {
      outcome b = s.sim(point, {"--boot"});
      if (b.status == 0) {
        *slot = boot_word(b.err, "slot")[0];
        *state = boot_word(b.err, "state");
        return "";
      }
      last = first_line(b.err);
      if (b.status == 2) break;  // no environment: no boot will come up
    }
    return "no slot came up after " + std::to_string(bootlimit + 3) + " boots: " + last;
  };

  // Whether the slot that came up is one the environment describes whole:
  // A good with its record as before, or B pending with the new digest
  // (or, with b_good, B confirmed with it). @return "" or why not.
  auto check_up = [&](char slot, const std::string &state, bool b_good) -> std::string {
    const bootenv_vars e = s.env(point);
    const std::string whole = bootable_slots_whole(point, s.b, e);
    if (!whole.empty()) return whole;
    if (slot == 'A') {
      if (state != "good" || get(e, "korvane_A") != "good" || get(e, "korvane_good") != "A")
        return "slot A came up as " + state + ", not good";
      if (digest_of(get(e, "korvane_A_rec")) != a_digest)
        return "slot A's record changed: " + get(e, "korvane_A_rec");
      return "";
    }
    if (slot == 'B') {
      const std::string want = b_good ? "good" : "pending";
      if (state != want && !(b_good && state == "pending"))
        return "slot B came up as " + state + ", not " + want;
      if (digest_of(get(e, "korvane_B_rec")) != b_digest)
        return "slot B's record does not name the new image: " + get(e, "korvane_B_rec");
      return "";
    }
    return "no slot named";
  };

  // After a cut update: on to a confirmed slot B.
  auto finish = [&](char slot) -> std::string {
    if (slot == 'A') {
      outcome u = s.korvane(point, {"--update", s.image});
      if (u.status != 0) return "the update after the cut failed: " + first_line(u.out);
      outcome b = s.sim(point, {"--boot"});
      if (b.status != 0 || boot_word(b.err, "slot") != "B")
        return "slot B did not come up after the update: " + first_line(b.err);
    }
    outcome c = s.korvane(point, {"--confirm"});
    if (c.status != 0) return "--confirm failed: " + first_line(c.out);
    const bootenv_vars e = s.env(point);
    if (get(e, "korvane_B") != "good" || get(e, "korvane_good") != "B" ||
        digest_of(get(e, "korvane_B_rec")) != b_digest)
      return "slot B is not the confirmed slot after --confirm";
    return "";
  };

  auto count = [](tally *t, char slot, const std::string &state) {
    if (slot == 'A') t->a_good++;
    if (slot == 'B') (state == "pending" ? t->b_pending : t->b_good)++;
  };

  // The update, cut at every operation; where it is, on a terminal.
  const bool progress = isatty(STDERR_FILENO) != 0;
  tally upd;
  const std::string seed_s = std::to_string(s.seed);
  for (long long cut = 1; cut <= total; ++cut) {
    if ((cut - 1) % static_cast<long long>(s.every) != 0 && cut < total - 2) continue;
    upd.points++;
    if (progress)
      std::fprintf(stderr, "\rsweep: update cut-at=%lld of %lld failures=%u ", cut, total,
                   upd.failures);
    sweep::copy_state(base, point);
    const std::vector<std::string> cut_opts = {"--cut-at", std::to_string(cut), "--cut-seed",
                                               seed_s};
    outcome u = s.korvane(point, {"--update", s.image}, cut_opts);
    std::string why;
    char slot = 0;
    std::string state;
    if (u.status != 3) {
      why = "the update was not cut (exit status " + std::to_string(u.status) + ")";
    } else if ((why = boot_up(&slot, &state)).empty() &&
               (why = check_up(slot, state, false)).empty()) {
      count(&upd, slot, state);
      why = finish(slot);
    }
    if (!why.empty()) {
      upd.failures++;
      failures.push_back("sweep: failure phase=update cut-at=" + std::to_string(cut) +
                         " reason=" + why + "\nsweep: replay: " +
                         replay(base, "--cut-at " + std::to_string(cut) + " --cut-seed " + seed_s +
                                          " -- --config " + shell_word(s.config) + " --update " +
                                          shell_word(s.image)));
    }
  }

  // The boots: while B is pending (after 0 up to bootlimit failed boots),
  // and once a slot is confirmed (B after --confirm, A after the fallback).
  tally bts;
  struct boot_start {
    std::string name;
    bool fail;    // the boot cut is one that would not come up
    char expect;  // the slot a confirmed system boots, or 0 while pending
  };
  std::vector<boot_start> starts;
  {
    const std::string pending = s.work + "/boot-pending-0";
    sweep::copy_state(ref, pending);
    starts.push_back({"boot-pending-0", true, 0});
    for (unsigned f = 1; f <= bootlimit; ++f) {
      const std::string next = s.work + "/boot-pending-" + std::to_string(f);
      sweep::copy_state(s.work + "/boot-pending-" + std::to_string(f - 1), next);
      outcome b = s.sim(next, {"--boot-fail"});
      if (b.status != 1) return broken("boot-fail-" + std::to_string(f), b);
      starts.push_back({"boot-pending-" + std::to_string(f), true, 0});
    }
    // B confirmed.
    const std::string good_b = s.work + "/boot-good-B";
    sweep::copy_state(ref, good_b);
    outcome b = s.sim(good_b, {"--boot"});
    if (b.status != 0) return broken("boot-B", b);
    b = s.korvane(good_b, {"--confirm"});
    if (b.status != 0) return broken("confirm-B", b);
    starts.push_back({"boot-good-B", false, 'B'});
    // A confirmed again after the fallback.
    const std::string good_a = s.work + "/boot-good-A";
    sweep::copy_state(s.work + "/boot-pending-" + std::to_string(bootlimit), good_a);
    b = s.sim(good_a, {"--boot-fail"});
    if (b.status != 1 || boot_word(b.err, "fallback") != "yes") return broken("fallback", b);
    starts.push_back({"boot-good-A", false, 'A'});
  }
  for (const boot_start &st : starts) {
    const std::string from = s.work + "/" + st.name;
    sweep::copy_state(from, point);
    const bootenv_vars before = s.env(point);
    outcome b = s.sim(point, {st.fail ? "--boot-fail" : "--boot", "--count-ops"});
    const long long ops = ops_of(b.err);
    if (st.expect && (ops != 0 || s.env(point) != before)) {
      // A confirmed system's boot leaves the environment alone: there is
      // nothing for a cut to tear, and no attempt to use up.
      bts.failures++;
      failures.push_back("sweep: failure phase=boot start=" + st.name +
                         " reason=the boot of a confirmed slot wrote the environment (" +
                         std::to_string(ops) +
                         " operations)\nsweep: replay: " + replay(from, "--count-ops --boot"));
    }
    for (long long cut = 1; cut <= ops; ++cut) {
      bts.points++;
      sweep::copy_state(from, point);
      const std::string cut_s = std::to_string(cut);
      outcome c = s.sim(point, {"--cut-at", cut_s, "--cut-seed", seed_s, "--boot"});
      std::string why;
      char slot = 0;
      std::string state;
      const unsigned counted =
          static_cast<unsigned>(std::atoi(get(s.env(point), "bootcount").c_str()));
      const unsigned counted_before =
          static_cast<unsigned>(std::atoi(get(before, "bootcount").c_str()));
      if (c.status != 3) {
        why = "the boot was not cut (exit status " + std::to_string(c.status) + ")";
      } else if ((why = boot_up(&slot, &state)).empty() &&
                 (why = check_up(slot, state, st.expect == 'B')).empty()) {
        count(&bts, slot, state);
        if (st.expect && slot != st.expect) {
          why = std::string("the confirmed slot ") + st.expect + " did not come up";
        } else if (!st.expect && slot == 'A' && counted == counted_before &&
                   counted_before < bootlimit) {
          why = "the cut boot used up an attempt of the pending slot";
        }
      }
      if (!why.empty()) {
        bts.failures++;
        failures.push_back("sweep: failure phase=boot start=" + st.name + " cut-at=" + cut_s +
                           " reason=" + why + "\nsweep: replay: " +
                           replay(from, "--cut-at " + cut_s + " --cut-seed " + seed_s + " --" +
                                            (st.fail ? "boot-fail" : "boot")));
      }
    }
  }

  if (progress) std::fputs("\n", stderr);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%-8s %8s %8s %10s %8s %9s\n", "phase", "points", "A-good", "B-pending", "B-good",
              "failures");
  for (const auto &[name, t] : {std::pair<const char *, tally>{"update", upd}, {"boot", bts}}) {
    std::printf("%-8s %8u %8u %10u %8u %9u\n", name, t.points, t.a_good, t.b_pending, t.b_good,
                t.failures);
  }
  for (const std::string &f : failures) std::printf("%s\n", f.c_str());
  const unsigned failed = upd.failures + bts.failures;
  std::printf("sweep: result=%s points=%u failures=%u seconds=%.1f", failed ? "failed" : "ok",
              upd.points + bts.points, failed, seconds);
  fs::remove_all(point, ec);
  fs::remove(s.work + "/.out", ec);
  fs::remove(s.work + "/.err", ec);
  if (failed || have_work) {
    std::printf(" work=%s\n", shell_word(s.work).c_str());
  } else {
    std::printf("\n");
    fs::remove_all(s.work, ec);
  }
  return failed ? 1 : 0;
}
