// SPDX-License-Identifier: MIT
// Runs the real process stopping against real processes, as process 1 of a
// fresh PID namespace (started by board_kill_test through
// `unshare --pid --fork --mount-proc`):
//
//   board_kill_helper MODE OUTER_PID_NS
//
// It refuses to do anything unless it is process 1 and its PID namespace
// differs from OUTER_PID_NS (the test's own, as /proc/self/ns/pid names it),
// so no process outside the namespace can ever be signalled. It starts a few
// sleepers with chosen process names and command lines, forks the caller,
// which runs the operation for MODE, and then reports on stdout how the
// caller and each sleeper ended.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"

namespace {

// Process name (as stat shows it) and the one-word command line of each sleeper.
struct sleeper {
  const char *comm;
  const char *cmdline;
  pid_t pid = 0;
  std::string end = "alive";
};

// A sleeper re-executes this program with these set.
constexpr const char *SLEEPER_COMM = "KORVANE_SLEEPER_COMM";
constexpr const char *SLEEPER_READY = "KORVANE_SLEEPER_READY";

[[noreturn]] void be_sleeper(const char *comm) {
  prctl(PR_SET_NAME, comm, 0, 0, 0);
  int ready = std::atoi(std::getenv(SLEEPER_READY));
  (void)!write(ready, "r", 1);
  close(ready);
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);  // the test reads stdout to its end
  for (;;) pause();
}

std::string pid_namespace() {
  char buf[128];
  ssize_t n = readlink("/proc/self/ns/pid", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

void on_alarm(int) { _exit(98); }

int run_mode(const std::string &mode) {
  static const char *const list[] = {"keepstat", "keepcmd"};
  if (mode == "all") return korvane::kill_processes(nullptr, 0, 0);
  if (mode == "spare") return korvane::kill_processes(list, 2, 1);
  if (mode == "only") return korvane::kill_processes(list, 2, 0);
  if (mode == "sequence") return korvane::kill_all_sequence();
  return 97;
}

}  // namespace

int main(int argc, char **argv) {
  if (const char *comm = std::getenv(SLEEPER_COMM)) be_sleeper(comm);

  if (argc != 3) {
    std::fprintf(stderr, "usage: board_kill_helper MODE OUTER_PID_NS\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::string inner = pid_namespace();
  if (getpid() != 1 || inner.empty() || inner == argv[2]) {
    std::printf("refused: pid %d, namespace %s\n", static_cast<int>(getpid()), inner.c_str());
    return 99;
  }
  // Process 1 of a namespace ignores signals it has no handler for; the
  // namespace goes (with every sleeper) when this process ends.
  signal(SIGALRM, on_alarm);
  alarm(30);

  std::vector<sleeper> sleepers = {
      {"keepstat", "/usr/sbin/daemon_a"},     // listed by its process name
      {"daemon_b", "/usr/bin/keepcmd"},       // listed by its command name
      {"victim_c", "/usr/bin/victim_c"},      // not listed
      {"victim_d", "/opt/keepcmd/victim_d"},  // not listed: only a folder matches
  };
  for (auto &s : sleepers) {
    int ready[2];
    if (pipe(ready) != 0) return 3;
    s.pid = fork();
    if (s.pid < 0) return 3;
    if (s.pid == 0) {
      close(ready[0]);
      std::string comm_env = std::string(SLEEPER_COMM) + "=" + s.comm;
      std::string ready_env = std::string(SLEEPER_READY) + "=" + std::to_string(ready[1]);
      char *const args[] = {const_cast<char *>(s.cmdline), nullptr};
      char *const env[] = {comm_env.data(), ready_env.data(), nullptr};
      execve("/proc/self/exe", args, env);
      _exit(127);
    }
    close(ready[1]);
    char c;
    ssize_t n = read(ready[0], &c, 1);  // the sleeper has its names
    close(ready[0]);
    if (n != 1) return 4;
  }

  pid_t caller = fork();
  if (caller < 0) return 3;
  if (caller == 0) {
    // Inside the namespace and not its process 1: the only place the real
    // operation ever runs.
    if (getpid() == 1 || getppid() != 1 || pid_namespace() != inner) _exit(99);
    _exit(run_mode(mode) == 0 ? 0 : 5);
  }
  int status = 0;
  while (waitpid(caller, &status, 0) < 0 && errno == EINTR) {
  }
  std::printf("caller %s %d\n", WIFEXITED(status) ? "exit" : "signal",
              WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));

  // A SIGKILL is delivered at once but the process ends a moment later; give
  // every sleeper a second to be reaped before calling it alive.
  size_t left = sleepers.size();
  for (int tick = 0; tick < 100 && left > 0; tick++) {
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      for (auto &s : sleepers) {
        if (s.pid != pid) continue;
        s.end = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                    : "exit " + std::to_string(WEXITSTATUS(status));
        left--;
      }
    }
    struct timespec pause_10ms = {0, 10 * 1000 * 1000};
    nanosleep(&pause_10ms, nullptr);
  }
  for (const auto &s : sleepers) std::printf("%s %s\n", s.comm, s.end.c_str());
  std::printf("init alive\n");
  return 0;
}
