// SPDX-License-Identifier: MIT
/* Runs a program and prints the peak resident set of that program alone, in
 * KiB. A child's peak starts at what the forking process held, so the
 * benchmark (tens of MiB) forks this small static program, whose own
 * footprint stays far below the program measured.
 * Usage: korvane_bench_peak DIR PROGRAM ARGS...  (the program's output is
 * discarded; exit status 1 when it fails) */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s DIR PROGRAM ARGS...\n", argv[0]);
    return 2;
  }
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || dup2(null_fd, 1) < 0 || chdir(argv[1]) != 0) _exit(126);
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid) return 1;
  printf("%ld\n", ru.ru_maxrss);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
