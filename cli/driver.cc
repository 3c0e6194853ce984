#include "cli/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/settings.h"
#include "rom/output.h"
#include "rom/show.h"

namespace korvane {
namespace {

// The steps the driver takes from other subsystems around the info and
// extract actions. A step this build lacks is null; choosing it ends the run
// before anything is done (see missing_steps), so the run never pretends.
struct driver_steps {
  int (*execute)(const char *path, uint32_t flags);  // the install walk
  int (*kill_all)();                                 // stop every other process
  int (*watchdog)(const char *text);                 // before executing with a reboot
  int (*reboot)(int wait_and_exit);                  // after a successful action
};

constexpr driver_steps steps = {
    .execute = nullptr,
    .kill_all = nullptr,
    .watchdog = nullptr,
    .reboot = nullptr,
};

// Names the chosen steps that this build lacks, "" when all are there.
std::string missing_steps(const rom_options &o) {
  std::string names[3];
  int n = 0;
  if (o.action == ROM_ACT_EXECUTE && (!steps.execute || (o.reboot && !steps.watchdog)))
    names[n++] = "execute";
  if (o.kill && !steps.kill_all) names[n++] = "kill";
  if (o.reboot && !steps.reboot) names[n++] = "reboot";
  std::string text;
  for (int i = 0; i < n; ++i) {
    if (i > 0) text += i == n - 1 ? " and " : ", ";
    text += names[i];
  }
  return text;
}

}  // namespace

int daemonize() {
  umask(0);
  setsid();  // failure ignored
  pid_t pid = fork();
  if (pid < 0) {
    // Nothing was detached and no action will run: that is not a success.
    report("failed to fork,%m\n");
    std::exit(1);
  }
  if (pid > 0) std::exit(0);
  setsid();  // the child leads a session of its own; failure ignored
  return 0;
}

int korvane_main(int argc, char **argv) {
  rom_opts_parse(argc, argv);
  const rom_options &o = rom_opts;

  // Checked before the session step, so that a caller of -h sees the status.
  std::string missing = missing_steps(o);
  if (!missing.empty()) {
    bool several = missing.find(' ') != std::string::npos;
    report("%s %s not available in this build\n", missing.c_str(), several ? "are" : "is");
    return 1;
  }

  if (o.background) {
    daemonize();
  } else {
    setsid();  // failure ignored
  }

  if (o.kill) steps.kill_all();

  int r = 0;
  switch (o.action) {
    case ROM_ACT_EXECUTE:
      if (o.verbose) report("execute rom:%s\n", o.rom_path);
      if (o.reboot) steps.watchdog("0");
      r = steps.execute(o.rom_path, o.flags);
      break;
    case ROM_ACT_EXTRACT:
      if (o.verbose) report("extract rom:%s\n", o.rom_path);
      r = rom_show(o.rom_path, "./", o.flags, o.header, 1);
      break;
    default:
      if (o.verbose) report("show info:%s\n", o.rom_path);
      r = rom_show(o.rom_path, nullptr, o.flags, 0, o.all_info);
      break;
  }
  if (r < 0) return 1;  // no reboot after a failed action
  if (o.reboot) steps.reboot(1);
  return 0;
}

}  // namespace korvane
