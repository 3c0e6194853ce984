// SPDX-License-Identifier: MIT
// Process stopping against real processes. Every run happens inside a new PID
// namespace with its own /proc, where board_kill_helper is process 1 and
// refuses to run otherwise: nothing outside the namespace is ever signalled.
#include <unistd.h>

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"

namespace korvane {
namespace {

const char *const UNSHARE = "/usr/bin/unshare";

std::string own_pid_namespace() {
  char buf[128];
  ssize_t n = readlink("/proc/self/ns/pid", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

e2e::run_result run_in_namespace(const std::string &mode) {
  const std::string outer = own_pid_namespace();
  EXPECT_FALSE(outer.empty());
  return e2e::run({UNSHARE, "--pid", "--fork", "--mount-proc", "--kill-child",
                   e2e::bin("board_kill_helper"), mode, outer});
}

struct kill_case {
  const char *mode;
  const char *expected;  // how the caller and each sleeper ended
};

void PrintTo(const kill_case &c, std::ostream *os) { *os << c.mode; }

class BoardKillTest : public ::testing::TestWithParam<kill_case> {};

TEST_P(BoardKillTest, SignalsExactlyTheChosenProcesses) {
  // CI runs as root; a machine that cannot make a PID namespace fails here
  // rather than skipping.
  ASSERT_EQ(access(UNSHARE, X_OK), 0) << UNSHARE << " missing (util-linux)";
  e2e::run_result r = run_in_namespace(GetParam().mode);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, GetParam().expected) << r.err;
}

// The sleepers: keepstat (process name listed), daemon_b (command name
// keepcmd listed), victim_c, victim_d (under a folder named keepcmd). The
// list is {"keepstat", "keepcmd"}. A killed sleeper ends by signal 9: SIGKILL
// comes before SIGTERM. The caller and process 1 always survive.
INSTANTIATE_TEST_SUITE_P(
    Namespace, BoardKillTest,
    ::testing::Values(
        kill_case{"all",
                  "caller exit 0\nkeepstat signal 9\ndaemon_b signal 9\nvictim_c signal 9\n"
                  "victim_d signal 9\ninit alive\n"},
        kill_case{"spare",
                  "caller exit 0\nkeepstat alive\ndaemon_b alive\nvictim_c signal 9\n"
                  "victim_d signal 9\ninit alive\n"},
        kill_case{"only",
                  "caller exit 0\nkeepstat signal 9\ndaemon_b signal 9\nvictim_c alive\n"
                  "victim_d alive\ninit alive\n"},
        kill_case{"sequence",
                  "caller exit 0\nkeepstat signal 9\ndaemon_b signal 9\nvictim_c signal 9\n"
                  "victim_d signal 9\ninit alive\n"}),
    [](const auto &info) { return std::string(info.param.mode); });

}  // namespace
}  // namespace korvane
