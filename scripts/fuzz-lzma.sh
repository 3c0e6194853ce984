#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The cypher1 decoder's differential fuzz target (fuzz/lzma_diff.cc): builds
# it with clang and libFuzzer, makes seed streams with the peer coders, and
# runs it. Every difference from the LZMA SDK's decoder or from liblzma
# stops the run with the input saved (crash-*) in the build folder.
# Usage: scripts/fuzz-lzma.sh [--asan] [RUNS] [LIBFUZZER-OPTION...]
#   --asan   also with the address and undefined-behaviour sanitizers
#   RUNS     inputs to try (default 1000000; 0 or -1 runs until stopped)
# Build folder: build/fuzz-lzma (build/fuzz-lzma-asan); the corpus grows in
# its corpus/ folder between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=fuzzer-no-link dir=build/fuzz-lzma
if [ "${1:-}" = --asan ]; then
  sanitize=fuzzer-no-link,address,undefined dir=build/fuzz-lzma-asan
  shift
fi
runs=${1:-1000000}
[ $# -gt 0 ] && shift
scripts/packages.sh test fuzzdiff

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="-fsanitize=$sanitize" -DCMAKE_CXX_FLAGS="-fsanitize=$sanitize" \
  -DBUILD_TESTING=OFF -DKORVANE_BENCH=OFF -DKORVANE_STATIC=OFF -DKORVANE_FUZZ_LZMA=ON >/dev/null
cmake --build "$dir" --target lzma_diff

# Seeds: streams of binary code, text, erased flash and noise from the SDK's
# own coder (sizes known, some with an end marker, several lc/lp/pb and
# small dictionaries so the window wraps) and from xz (size unknown, end
# marker). Each seed is one byte for the splits followed by the stream.
seeds="$dir/seeds"
if [ ! -d "$seeds" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  head -c 40000 "$(command -v cmake)" >"$tmp/code"
  for i in $(seq 400); do echo "flash block $i erased, offset 0x$((i * 4096)) written"; done >"$tmp/text"
  { head -c 3000 /dev/zero | tr '\0' '\377'; printf 'env=1\0'; head -c 9000 /dev/zero | tr '\0' '\377'; } >"$tmp/erased"
  head -c 3000 /dev/urandom >"$tmp/noise"
  cat "$tmp/code" "$tmp/erased" "$tmp/text" >"$tmp/mixed"
  mkdir -p "$seeds"
  n=0
  for data in code text erased noise mixed; do
    for opts in "-d12 -lc3 -lp0 -pb2" "-d13 -lc0 -lp2 -pb0" "-d14 -lc8 -lp0 -pb4" \
      "-d12 -lc3 -lp0 -pb2 -eos" "-d16 -lc4 -lp4 -pb1 -a0"; do
      # shellcheck disable=SC2086
      lzma_alone e "$tmp/$data" "$tmp/s.lzma" $opts >/dev/null 2>&1
      { printf '\0'; cat "$tmp/s.lzma"; } >"$seeds/alone-$((n += 1))"
    done
    xz --format=lzma --lzma1=dict=4KiB,lc=1,lp=3,pb=1 -c "$tmp/$data" >"$tmp/x.lzma"
    { printf '\1'; cat "$tmp/x.lzma"; } >"$seeds/xz-$((n += 1))"
  done
fi
mkdir -p "$dir/corpus"
cd "$dir"
exec bin/lzma_diff -runs="$runs" -max_len=32768 -close_fd_mask=1 -print_final_stats=1 \
  "$@" corpus seeds
