// SPDX-License-Identifier: MIT
/* Runs a program and prints what it cost: "USER SYS REAL" in seconds (CPU
 * time in user and system mode, then wall time). Its standard output goes
 * to OUT, its standard error to /dev/null. The side-by-side runs of
 * scripts/bench.sh time every program, korvane and its peers alike, with it.
 * Usage: korvane_bench_cputime OUT PROGRAM ARGS...  (exit status 1 when the
 * program fails) */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s OUT PROGRAM ARGS...\n", argv[0]);
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open("/dev/null", O_WRONLY);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid) return 1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%.4f %.4f %.4f\n", seconds(ru.ru_utime), seconds(ru.ru_stime),
         (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
