// SPDX-License-Identifier: MIT
// The A/B boot with a real boot loader: U-Boot (build-uboot.sh) boots
// qemu's 32-bit ARM virt board from two CFI NOR flash banks, slots A and B
// chosen by the shipped script (uboot/korvane.env) from U-Boot's redundant
// environment, with U-Boot's own boot counting. Linux sees the flash
// through the kernel's CFI drivers, partitioned by mtdparts=, and writes
// the environment with libubootenv (uboot/fw_env.config).
//
// A plan is one scenario script, tests/kernel/uboot/scenarios/PLAN.sh, run
// at every boot of one VM until it stops asking for a reboot (vm.sh
// --uboot); each plan starts from fresh flash. What each boot left (the
// U-Boot console, the kernel command line, fw_printenv, the environment's
// raw digests) is checked here, boot by boot.
//
// Environment, each with a default set by the build: KORVANE_VM_BIN_DIR
// (korvane-static of the armhf build), KORVANE_BIN_DIR (korvane-mkrom of
// this build), KORVANE_VM_SCRIPTS (tests/kernel), KORVANE_VM_CACHE,
// KORVANE_VM_WORK, KORVANE_VM_TIMEOUT (seconds per boot, default 120),
// KORVANE_UBOOT_PLANS (the plans to run, separated by commas).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using e2e::read_file;
using e2e::write_file;

std::string env(const char *name, const char *fallback = "") {
  const char *v = std::getenv(name);
  return v && *v ? v : fallback;
}

bool plan_wanted(const std::string &plan) {
  std::string list = "," + env("KORVANE_UBOOT_PLANS", "bootloader") + ",";
  return list.find("," + plan + ",") != std::string::npos;
}

// ---- one VM run -----------------------------------------------------------

struct boot_record {
  std::string how;      // "reboot", "results" or "no-results ..."
  std::string console;  // U-Boot's and the kernel's console
  std::string dir;      // the plan's results folder of this boot
};

struct plan_run {
  bool ran = false;
  std::string failure;
  std::string out;  // vm.sh's --out
  std::vector<boot_record> boots;

  const boot_record &boot(size_t n) const { return boots.at(n - 1); }
  std::string file(size_t n, const std::string &name) const {
    return read_file(boot(n).dir + "/" + name);
  }
};

// What a plan needs besides its script and the shipped fw_env.config: it
// adds to the payload and may give vm.sh a hook (--hook). Throws when it
// cannot.
struct plan_setup {
  std::string payload, work, kernel_dir;
  std::string hook;  // set by the plan
};
using prepare_fn = void (*)(plan_setup &);

void prepare_nothing(plan_setup &) {}

plan_run run_plan(const std::string &plan, prepare_fn prepare = prepare_nothing) {
  plan_run r;
  std::string scripts = env("KORVANE_VM_SCRIPTS", KORVANE_VM_SCRIPTS);
  std::string cache = env("KORVANE_VM_CACHE", KORVANE_VM_CACHE);
  std::string work = env("KORVANE_VM_WORK", KORVANE_VM_WORK) + "/" + plan;
  std::string vm_bin = env("KORVANE_VM_BIN_DIR", KORVANE_ARMHF_BIN_DIR);
  std::string payload = work + "/t";
  fs::remove_all(work);
  fs::create_directories(payload + "/scenarios");
  fs::copy_file(scripts + "/uboot/scenarios/" + plan + ".sh",
                payload + "/scenarios/" + plan + ".sh");
  fs::copy_file(scripts + "/../../uboot/fw_env.config", payload + "/fw_env.config");
  fs::copy_file(scripts + "/lib.sh", payload + "/lib.sh");

  e2e::run_result kernel =
      e2e::run({scripts + "/fetch-kernel.sh", "--arch", "armhf", "--nor", cache});
  if (kernel.status != 0) {
    r.failure = "fetching the kernel failed:\n" + kernel.err;
    return r;
  }
  e2e::run_result uboot = e2e::run({scripts + "/build-uboot.sh", cache});
  if (uboot.status != 0) {
    r.failure = "building U-Boot failed:\n" + uboot.err;
    return r;
  }
  auto first_line = [](const std::string &s) { return s.substr(0, s.find('\n')); };
  plan_setup setup{payload, work, first_line(kernel.out), ""};
  try {
    prepare(setup);
  } catch (const std::exception &e) {
    r.failure = "preparing plan " + plan + ": " + e.what();
    return r;
  }
  r.out = work + "/vm";
  std::vector<std::string> argv = {scripts + "/vm.sh",
                                   "--arch",
                                   "arm",
                                   "--uboot",
                                   first_line(uboot.out),
                                   "--env",
                                   scripts + "/uboot/board.env",
                                   "--boots",
                                   "10",
                                   "--kernel",
                                   setup.kernel_dir,
                                   "--korvane",
                                   vm_bin + "/korvane-static",
                                   "--payload",
                                   payload,
                                   "--out",
                                   r.out,
                                   "--timeout",
                                   env("KORVANE_VM_TIMEOUT", "120")};
  if (!setup.hook.empty()) argv.insert(argv.end(), {"--hook", setup.hook});
  e2e::run_result vm = e2e::run(argv);
  std::fprintf(stderr, "%s", vm.err.c_str());
  std::istringstream boots(read_file(r.out + "/boots.txt"));
  std::string line;
  while (std::getline(boots, line)) {
    size_t space = line.find(' ');
    std::string n = line.substr(0, space);
    std::string dir = r.out + "/boot-" + n;
    r.boots.push_back(
        {line.substr(space + 1), read_file(dir + "/console.log"), dir + "/results/" + plan});
  }
  if (vm.status != 0) {
    size_t at = vm.err.rfind("vm: ");
    r.failure = "the U-Boot VM " + (at == std::string::npos ? vm.err : vm.err.substr(at)) +
                "boots:\n" + read_file(r.out + "/boots.txt");
    return r;
  }
  r.ran = true;
  return r;
}

// ---- what a boot left ----------------------------------------------------

// fw_printenv's name=value lines.
std::map<std::string, std::string> parse_env(const std::string &text) {
  std::map<std::string, std::string> vars;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return vars;
}

// The slots U-Boot's script said it booted, in order ("A", or "AB" when A
// did not boot and it fell back to B).
std::string slots_booted(const std::string &console) {
  std::string slots;
  const std::string mark = "korvane: booting slot ";
  for (size_t at = console.find(mark); at != std::string::npos; at = console.find(mark, at + 1))
    slots += console[at + mark.size()];
  return slots;
}

// The slot on the kernel's command line.
std::string cmdline_slot(const std::string &cmdline) {
  size_t at = cmdline.find("korvane.slot=");
  return at == std::string::npos ? "" : cmdline.substr(at + 13, 1);
}

// The environment copies in the flash bank the VM left, as the boot loader
// reads them: for each copy whose CRC holds, its flag and variables.
struct env_copy {
  bool valid = false;
  int flag = -1;
  std::map<std::string, std::string> vars;
};

std::vector<env_copy> flash_env(const std::string &bank) {
  constexpr size_t SIZE = 0x2000;
  std::string flash = read_file(bank);
  std::vector<env_copy> copies;
  for (size_t at : {size_t{0}, size_t{0x40000}}) {
    env_copy c;
    if (flash.size() < at + SIZE) return copies;
    const std::string block = flash.substr(at, SIZE);
    uint32_t stored = 0;
    for (int i = 3; i >= 0; i--) stored = stored << 8 | static_cast<uint8_t>(block[i]);
    c.valid = e2e::reference_crc32(block.data() + 5, SIZE - 5) == stored;
    c.flag = static_cast<uint8_t>(block[4]);
    std::string text;
    for (size_t i = 5; i + 1 < SIZE && !(block[i] == '\0' && block[i + 1] == '\0'); i++)
      text += block[i] == '\0' ? '\n' : block[i];
    c.vars = parse_env(text + "\n");
    copies.push_back(c);
  }
  return copies;
}

// ---- the boot loader's side alone -------------------------------------

const plan_run &bootloader_plan() {
  static plan_run r = run_plan("bootloader");
  return r;
}

TEST(uboot_vm, boot_loader_counts_only_pending_boots_and_falls_back) {
  if (!plan_wanted("bootloader")) GTEST_SKIP() << "plan bootloader not in KORVANE_UBOOT_PLANS";
  const plan_run &r = bootloader_plan();
  ASSERT_TRUE(r.ran) << r.failure;
  // Per boot: how it ended, the slots U-Boot's script booted, and the
  // environment Linux found (what U-Boot left before the kernel).
  struct expected {
    const char *how, *slots;
    std::map<std::string, std::string> vars;
  };
  const std::vector<expected> want = {
      {"reboot", "A", {{"korvane_next", "A"}, {"korvane_A", "good"}, {"upgrade_available", "0"}}},
      // Pending B: U-Boot counted the attempt and saved it.
      {"reboot",
       "B",
       {{"korvane_B", "pending"},
        {"upgrade_available", "1"},
        {"bootcount", "1"},
        {"korvane_B_rec", "version=test key=none"}}},
      {"reboot", "B", {{"korvane_good", "B"}, {"upgrade_available", "0"}, {"bootcount", "0"}}},
      {"reboot", "A", {{"korvane_A", "pending"}, {"bootcount", "1"}}},
      {"reboot", "A", {{"korvane_A", "pending"}, {"bootcount", "2"}}},
      {"reboot", "A", {{"korvane_A", "pending"}, {"bootcount", "3"}}},
      // The fourth attempt ran altbootcmd: A failed, back to the good B.
      {"reboot",
       "B",
       {{"korvane_A", "failed"},
        {"korvane_next", "B"},
        {"korvane_good", "B"},
        {"upgrade_available", "0"},
        {"bootcount", "0"}}},
      // A pending without a kernel: counted, then B at once, nothing saved.
      {"results",
       "AB",
       {{"korvane_A", "pending"},
        {"korvane_next", "A"},
        {"bootcount", "1"},
        {"upgrade_available", "1"}}},
  };
  ASSERT_EQ(r.boots.size(), want.size()) << read_file(r.out + "/boots.txt");
  for (size_t n = 1; n <= want.size(); n++) {
    const expected &w = want[n - 1];
    SCOPED_TRACE("boot " + std::to_string(n));
    EXPECT_EQ(r.boot(n).how, w.how);
    EXPECT_EQ(slots_booted(r.boot(n).console), w.slots) << r.boot(n).console;
    // Linux runs the slot U-Boot booted last.
    EXPECT_EQ(cmdline_slot(r.file(n, "cmdline.txt")), std::string(1, std::string(w.slots).back()));
    std::map<std::string, std::string> vars = parse_env(r.file(n, "env.txt"));
    for (const auto &[name, value] : w.vars) EXPECT_EQ(vars[name], value) << name;
    // Every save of U-Boot's went through.
    EXPECT_EQ(r.boot(n).console.find("Failed ("), std::string::npos) << r.boot(n).console;
  }
  EXPECT_NE(r.boot(7).console.find("Bootlimit (3) exceeded. Using altbootcmd."), std::string::npos);
  EXPECT_NE(r.boot(7).console.find("korvane: slot A used up its 3 attempts"), std::string::npos);
  EXPECT_NE(r.boot(8).console.find("korvane: slot A did not boot"), std::string::npos);
  // Only pending boots write: the confirmed B booted on the environment
  // exactly as the confirmation stored it, and so did the boot after the
  // fallback, which saved before booting B.
  EXPECT_EQ(r.file(3, "env.md5"), r.file(2, "stored.md5"));
  EXPECT_EQ(r.boot(3).console.find("Saving Environment"), std::string::npos);
  EXPECT_EQ(r.boot(1).console.find("Saving Environment"), std::string::npos);

  // The flash bank as U-Boot will read it next: the active copy is whole
  // and holds what Linux last read.
  std::vector<env_copy> copies = flash_env(r.out + "/flash1.img");
  ASSERT_EQ(copies.size(), 2u);
  const env_copy *active = nullptr;
  for (const env_copy &c : copies)
    if (c.valid && c.flag == 1) active = &c;
  ASSERT_NE(active, nullptr) << "no whole active copy of the environment in the flash";
  EXPECT_EQ(active->vars, parse_env(r.file(8, "env.txt")));
}

// ---- korvane's updates through the boot loader -------------------------

// The update images (uboot/make-images.sh): good.rom and bad.rom reach the
// VM in the spare partition, unsigned.rom and foreign.rom in the payload.
void prepare_korvane(plan_setup &s) {
  std::string scripts = env("KORVANE_VM_SCRIPTS", KORVANE_VM_SCRIPTS);
  std::string make = scripts + "/uboot/make-images.sh";
  fs::copy_file(scripts + "/uboot/korvane-ab.ini", s.payload + "/korvane-ab.ini");
  e2e::run_result r = e2e::run(
      {make, "prepare", e2e::bin("korvane-mkrom"), s.work, s.kernel_dir + "/vmlinuz", s.payload});
  if (r.status != 0) throw std::runtime_error("make-images.sh prepare:\n" + r.out + r.err);
  s.hook = make + " hook " + e2e::bin("korvane-mkrom") + " " + s.work;
}

const plan_run &korvane_plan() {
  static plan_run r = run_plan("korvane", prepare_korvane);
  return r;
}

// korvane --status --json against fw_printenv of the same boot and the
// slot on the kernel's command line, read here from the environment alone.
void expect_status_agrees(const plan_run &r, size_t boot, const std::string &status_file,
                          const std::string &env_file) {
  SCOPED_TRACE("boot " + std::to_string(boot) + ": " + status_file + " against " + env_file);
  std::string text = r.file(boot, status_file);
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << "not JSON:\n" << text;
  ASSERT_TRUE(j.is_object()) << text;
  std::map<std::string, std::string> vars = parse_env(r.file(boot, env_file));
  auto slot_or_null = [](const std::string &v) {
    return v.empty() ? nlohmann::json(nullptr) : nlohmann::json(v);
  };
  EXPECT_EQ(j.value("schema", 0), 1) << text;
  EXPECT_EQ(j["running"], nlohmann::json(cmdline_slot(r.file(boot, "cmdline.txt")))) << text;
  EXPECT_EQ(j["next"], slot_or_null(vars["korvane_next"])) << text;
  EXPECT_EQ(j["good"], slot_or_null(vars["korvane_good"])) << text;
  const bool upgrading = vars["upgrade_available"] == "1";
  EXPECT_EQ(j["upgrade_available"], nlohmann::json(upgrading)) << text;
  const unsigned bootcount = std::stoul(vars["bootcount"]),
                 bootlimit = std::stoul(vars["bootlimit"]);
  EXPECT_EQ(j["bootcount"], nlohmann::json(bootcount)) << text;
  EXPECT_EQ(j["bootlimit"], nlohmann::json(bootlimit)) << text;
  for (const std::string slot : {"A", "B"}) {
    SCOPED_TRACE("slot " + slot);
    const nlohmann::json &so = j["slots"][slot];
    const std::string state = vars["korvane_" + slot];
    EXPECT_EQ(so["state"], nlohmann::json(state)) << text;
    // Boots left: only for the pending slot U-Boot is counting.
    nlohmann::json left = nullptr;
    if (state == "pending" && vars["korvane_next"] == slot && upgrading)
      left = bootcount >= bootlimit ? 0u : bootlimit - bootcount;
    EXPECT_EQ(so["attempts_left"], left) << text;
    // The record: the words of korvane_X_rec, or null.
    std::map<std::string, std::string> words;
    std::istringstream rec(vars["korvane_" + slot + "_rec"]);
    for (std::string w; rec >> w;)
      if (size_t eq = w.find('='); eq != std::string::npos)
        words[w.substr(0, eq)] = w.substr(eq + 1);
    if (words.empty()) {
      EXPECT_TRUE(so["record"].is_null()) << text;
    } else {
      EXPECT_EQ(so["record"], nlohmann::json(words)) << text;
    }
  }
}

TEST(uboot_vm, korvane_update_confirm_and_failed_update) {
  if (!plan_wanted("korvane")) GTEST_SKIP() << "plan korvane not in KORVANE_UBOOT_PLANS";
  const plan_run &r = korvane_plan();
  ASSERT_TRUE(r.ran) << r.failure;
  const std::vector<std::pair<std::string, std::string>> want = {
      {"reboot", "A"},     {"reboot", "B"},     {"reboot", "B"}, {"no-results", "A"},
      {"no-results", "A"}, {"no-results", "A"}, {"results", "B"}};
  ASSERT_EQ(r.boots.size(), want.size()) << read_file(r.out + "/boots.txt");
  for (size_t n = 1; n <= want.size(); n++) {
    SCOPED_TRACE("boot " + std::to_string(n));
    EXPECT_EQ(r.boot(n).how.substr(0, want[n - 1].first.size()), want[n - 1].first);
    EXPECT_EQ(slots_booted(r.boot(n).console), want[n - 1].second) << r.boot(n).console;
    if (want[n - 1].first != "no-results") {
      EXPECT_EQ(cmdline_slot(r.file(n, "cmdline.txt")), want[n - 1].second);
      expect_status_agrees(r, n, "status.json", "env.txt");
    }
  }
  // The images reached the VM whole.
  e2e::run_result host_md5 =
      e2e::run({"/bin/sh", "-c",
                "cd '" + fs::path(r.out).parent_path().string() + "' && md5sum good.rom bad.rom"});
  EXPECT_EQ(r.file(1, "images.md5"), host_md5.out);
  // Refused images change neither slot nor the environment.
  for (const auto &[tag, step] : std::map<std::string, std::string>{
           {"unsigned", "signature"}, {"foreign", "signature"}, {"other-board", "device"}}) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(r.file(1, tag + ".status"), "1\n")
        << r.file(1, tag + ".out") << r.file(1, tag + ".err");
    EXPECT_NE((r.file(1, tag + ".out") + r.file(1, tag + ".err"))
                  .find("update: refused step=" + step + " "),
              std::string::npos)
        << r.file(1, tag + ".out") << r.file(1, tag + ".err");
  }
  EXPECT_EQ(r.file(1, "refused.md5"), r.file(1, "before.md5"));
  // The update: B pending, to be tried next, A still the good one.
  EXPECT_EQ(r.file(1, "update.status"), "0\n")
      << r.file(1, "update.out") << r.file(1, "update.err");
  std::map<std::string, std::string> updated = parse_env(r.file(1, "env-updated.txt"));
  for (const auto &[name, value] : std::map<std::string, std::string>{{"korvane_B", "pending"},
                                                                      {"korvane_next", "B"},
                                                                      {"korvane_good", "A"},
                                                                      {"korvane_A", "good"},
                                                                      {"upgrade_available", "1"},
                                                                      {"bootcount", "0"},
                                                                      {"bootlimit", "3"}})
    EXPECT_EQ(updated[name], value) << name;
  for (const char *word : {"version=", "key=", "digest=", "time="})
    EXPECT_NE(updated["korvane_B_rec"].find(word), std::string::npos) << updated["korvane_B_rec"];
  expect_status_agrees(r, 1, "status-updated.json", "env-updated.txt");
  std::string seconds = r.file(1, "update.seconds");
  std::fprintf(stderr, "uboot_vm: the update into slot B took %s s in the VM\n",
               seconds.substr(0, seconds.find('\n')).c_str());
  // B came up pending and counted once; confirmed, and confirmed again
  // without a write; the next boot found the environment as stored.
  EXPECT_EQ(parse_env(r.file(2, "env.txt"))["bootcount"], "1");
  EXPECT_EQ(r.file(2, "confirm.status"), "0\n") << r.file(2, "confirm.err");
  EXPECT_EQ(r.file(2, "confirm-again.status"), "0\n") << r.file(2, "confirm-again.err");
  EXPECT_EQ(r.file(2, "stored.md5"), r.file(2, "confirmed.md5"));
  EXPECT_EQ(r.file(3, "env.md5"), r.file(2, "stored.md5"));
  std::map<std::string, std::string> confirmed = parse_env(r.file(3, "env.txt"));
  EXPECT_EQ(confirmed["korvane_B"], "good");
  EXPECT_EQ(confirmed["korvane_good"], "B");
  EXPECT_EQ(confirmed["upgrade_available"], "0");
  // The update whose init fails: three attempts, then U-Boot's fallback.
  EXPECT_EQ(r.file(3, "update.status"), "0\n")
      << r.file(3, "update.out") << r.file(3, "update.err");
  for (size_t n = 4; n <= 6; n++)
    EXPECT_NE(r.boot(n).console.find("bootcount " + std::to_string(n - 3) + " of 3"),
              std::string::npos)
        << r.boot(n).console;
  EXPECT_NE(r.boot(7).console.find("korvane: slot A used up its 3 attempts"), std::string::npos);
  std::map<std::string, std::string> last = parse_env(r.file(7, "env.txt"));
  EXPECT_EQ(last["korvane_A"], "failed");
  EXPECT_EQ(last["korvane_next"], "B");
  EXPECT_EQ(last["korvane_good"], "B");
  EXPECT_EQ(last["upgrade_available"], "0");
}

}  // namespace
}  // namespace korvane
