#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets (preset `fuzz`) and runs them with libFuzzer.
#
# Usage:
#   scripts/fuzz.sh TARGET [SECONDS]    fuzz one target (default 60 s)
#   scripts/fuzz.sh all [SECONDS]       every target in turn, SECONDS each
#                                       (--together N: N targets at a time)
#   scripts/fuzz.sh --replay [TARGET]...
#                                       run every input of the seed, regression
#                                       and working corpora once (all targets
#                                       when none is named); no fuzzing
#   scripts/fuzz.sh --list              the targets
# Options before TARGET, for long campaigns:
#   --jobs N        N fuzzing processes at once (libFuzzer's -fork=N)
#   --runs N        stop after N executions instead of after SECONDS
#                   (SECONDS 0 and no --runs: until stopped)
#   --fast          targets built without the address and undefined-behaviour
#                   sanitizers (preset fuzz-fast, build/fuzz-fast): many times
#                   the executions per second, for long campaigns; the same
#                   corpora, findings and logs
#   --background    detach; the log goes to build/fuzz/logs/, whose name and
#                   the process id are printed, and the summary is its last line
#   --summary LOG   print the summary of a log (also while it is running)
#   --together N    with `all`: N targets side by side, each in one process
#                   (the time per target stays SECONDS; the step takes 1/N)
#
# Corpora: fuzz/corpus/SEEDS (in git; SEEDS is `images` for the four image
# targets), fuzz/regress/TARGET (in git: every input that once found a fault),
# and build/fuzz/corpus/TARGET (the working corpus, where new inputs go).
# Findings land in build/fuzz/findings/TARGET/; the run then fails. Each run
# ends with one line:
#   fuzz TARGET: executions N, exec/s N, cov N, ft N, corpus N files, time N s, findings N
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
preset=fuzz
targets=(image_info image_extract image_preflight preflight_mutations image_list cypher1 blkfmt options board uboot_env mkrom_options lzma_diff signature)

die() { echo "fuzz.sh: $*" >&2; exit 2; }
seeds_of() { case $1 in image_*) echo images ;; *) echo "$1" ;; esac; }
known() { local t; for t in "${targets[@]}"; do [ "$t" = "$1" ] && return 0; done; return 1; }

build() {
  scripts/packages.sh fuzz
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null || cmake --build --preset "$preset"
}

# Reads a libFuzzer log and prints the summary line. Plain runs end with
# "#N DONE cov: ..." or a last "#N ... cov: ... corp: C/..." status line; runs
# with --jobs print "#N: cov: C ft: F corp: C exec/s E ...".
summary() {
  local target=$1 log=$2 findings=${3:-0}
  awk -v t="$target" -v found="$findings" '
    /^#[0-9]+:?[ \t]/ && / cov: / {
      runs = substr($1, 2); sub(/:$/, "", runs)
      for (i = 2; i <= NF; i++) {
        if ($i == "cov:") cov = $(i + 1)
        if ($i == "ft:") ft = $(i + 1)
        if ($i == "corp:") { corp = $(i + 1); sub(/\/.*/, "", corp) }
        if ($i == "exec/s:" || $i == "exec/s") rate = $(i + 1)
        if ($i == "time:") secs = $(i + 1)
      }
    }
    /^stat::number_of_executed_units:/ { runs = $2 }
    /^stat::average_exec_per_sec:/ { rate = $2 }
    /^Done [0-9]+ runs in [0-9]+ second/ { secs = $5 }
    /^INFO: exiting: .* time: / { secs = $NF }
    END {
      sub(/s$/, "", secs)
      if (runs == "") { print "fuzz " t ": no status line in the log"; exit 1 }
      printf "fuzz %s: executions %s, exec/s %s, cov %s, ft %s, corpus %s files, time %s s, findings %d\n",
             t, runs, rate, cov, ft, corp, secs, found
    }' "$log"
}

# fuzz TARGET SECONDS: one run in the foreground, its log on standard error
# and in build/fuzz/logs/.
fuzz() {
  local target=$1 seconds=$2
  known "$target" || die "unknown target '$target' (scripts/fuzz.sh --list)"
  local work=$root/build/fuzz/corpus/$target findings=$root/build/fuzz/findings/$target
  local logs=$root/build/fuzz/logs
  mkdir -p "$work" "$findings" "$logs"
  local log=${LOG:-$logs/$target-$(date +%Y%m%d-%H%M%S).log}
  local corpora=("$work" "fuzz/corpus/$(seeds_of "$target")")
  [ -d "fuzz/regress/$target" ] && corpora+=("fuzz/regress/$target")
  local args=(-artifact_prefix="$findings/" -timeout=30 -print_final_stats=1)
  [ "$seconds" -gt 0 ] && args+=(-max_total_time="$seconds")
  [ -n "$runs" ] && args+=(-runs="$runs")
  [ "$jobs" -gt 1 ] && args+=(-fork="$jobs")
  local before status=0
  before=$(find "$findings" -type f | wc -l)
  echo "fuzz.sh: $root/build/$preset/bin/fuzz_$target ${args[*]} ${corpora[*]}" >&2
  "$root/build/$preset/bin/fuzz_$target" "${args[@]}" "${corpora[@]}" >"$log" 2>&1 || status=$?
  local found=$(($(find "$findings" -type f | wc -l) - before))
  [ $status -ne 0 ] && tail -n 60 "$log" >&2
  summary "$target" "$log" "$found" | tee -a "$log"
  [ $status -eq 0 ] && [ $found -eq 0 ]
}

# replay TARGET: every corpus input once (libFuzzer runs each input of its
# corpus folders when it starts; -runs=0 then stops it).
replay() {
  local target=$1
  known "$target" || die "unknown target '$target' (scripts/fuzz.sh --list)"
  local dirs=() d count=0
  for d in "fuzz/corpus/$(seeds_of "$target")" "fuzz/regress/$target" \
           "$root/build/fuzz/corpus/$target"; do
    [ -d "$d" ] || continue
    dirs+=("$d")
    count=$((count + $(find "$d" -type f ! -name 'README*' | wc -l)))
  done
  local log=$root/build/fuzz/logs/replay-$target.log
  mkdir -p "$root/build/fuzz/logs"
  if "$root/build/$preset/bin/fuzz_$target" -runs=0 -timeout=30 "${dirs[@]}" >"$log" 2>&1; then
    echo "fuzz $target: replayed $count inputs"
  else
    tail -n 60 "$log" >&2
    echo "fuzz $target: FAILED on a corpus input (log $log)"
    return 1
  fi
}

jobs=1 runs="" background=0 together=1
while [ $# -gt 0 ]; do
  case "$1" in
    --list) printf '%s\n' "${targets[@]}"; exit 0 ;;
    --summary)
      [ $# -eq 2 ] || die "--summary LOG"
      t=$(basename "$2"); t=${t%-*-*.log}
      summary "$t" "$2"
      exit ;;
    --replay)
      shift
      [ $# -gt 0 ] || set -- "${targets[@]}"
      build
      status=0
      for t in "$@"; do replay "$t" || status=1; done
      exit $status ;;
    --jobs) [ $# -ge 2 ] || die "--jobs N"; jobs=$2; shift 2 ;;
    --together) [ $# -ge 2 ] || die "--together N"; together=$2; shift 2 ;;
    --runs) [ $# -ge 2 ] || die "--runs N"; runs=$2; shift 2 ;;
    --background) background=1; shift ;;
    --fast) preset=fuzz-fast; shift ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] && [ $# -le 2 ] || die "usage: scripts/fuzz.sh [--jobs N] [--runs N] [--together N] [--fast] [--background] TARGET|all [SECONDS]"
target=$1 seconds=${2:-60}
[[ $seconds =~ ^[0-9]+$ ]] || die "SECONDS must be a number"
[[ $jobs =~ ^[1-9][0-9]*$ ]] || die "--jobs needs a positive number"
[[ $together =~ ^[1-9][0-9]*$ ]] || die "--together needs a positive number"
[ -z "$runs" ] || [[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs needs a positive number"
[ "$target" = all ] || known "$target" || die "unknown target '$target' (scripts/fuzz.sh --list)"

if [ $background = 1 ]; then
  mkdir -p build/fuzz/logs
  export LOG=$root/build/fuzz/logs/$target-$(date +%Y%m%d-%H%M%S).log
  args=(--jobs "$jobs")
  [ -n "$runs" ] && args+=(--runs "$runs")
  [ $preset = fuzz-fast ] && args+=(--fast)
  nohup setsid "$0" "${args[@]}" "$target" "$seconds" >"$LOG.out" 2>&1 </dev/null &
  echo "fuzz.sh: running in the background as process $!; log $LOG"
  echo "fuzz.sh: figures so far: scripts/fuzz.sh --summary $LOG"
  exit 0
fi

build
if [ "$target" = all ]; then
  status=0 running=0
  for t in "${targets[@]}"; do
    if [ "$together" -eq 1 ]; then
      LOG= fuzz "$t" "$seconds" || status=1
      continue
    fi
    LOG= fuzz "$t" "$seconds" &
    running=$((running + 1))
    if [ $running -ge "$together" ]; then
      wait -n || status=1
      running=$((running - 1))
    fi
  done
  while [ $running -gt 0 ]; do
    wait -n || status=1
    running=$((running - 1))
  done
  exit $status
fi
fuzz "$target" "$seconds"
