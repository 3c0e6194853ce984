#!/usr/bin/env bash
# The main job, end to end on this machine: set up and build the project,
# make a small sample image with korvane-mkrom, then look into it and take it
# apart with korvane, the way a user does on the board.
#
# Usage: scripts/demo.sh [FOLDER]
#   FOLDER  where the sample files go, kept afterwards (default: a fresh
#           temporary folder, removed at the end)
#
# The demo is a list of steps: each step is a function demo_<name>, run in
# the order of the `steps` array at the bottom. A later step (a simulated
# install, for one) is added by defining its function and appending its
# name to `steps`.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$root/build/default/bin

if [ $# -gt 0 ]; then
  work=$(mkdir -p "$1" && cd "$1" && pwd)
else
  work=$(mktemp -d /tmp/korvane-demo.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi

say() { printf '\n==== %s\n\n' "$*"; }

# Prints a command as typed in a shell, runs it, and notes a failing status
# without ending the demo (some steps fail on purpose).
run() {
  printf '$ %s\n' "$*"
  local status=0
  "$@" || status=$?
  [ $status -eq 0 ] || printf '(exit status %d)\n' "$status"
  return 0
}

# Fails the demo when a file differs from what it should be.
same() {
  if cmp -s "$1" "$2"; then
    printf '  %-28s = %s\n' "$2" "$1"
  else
    printf 'demo: %s differs from %s\n' "$2" "$1" >&2
    exit 1
  fi
}

demo_build() {
  say "Setting up and building (scripts/build.sh, log in $work/build.log)"
  if ! scripts/build.sh >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    echo "demo: the build failed" >&2
    exit 1
  fi
  local p
  for p in korvane korvane-mkrom; do
    [ -x "$bin/$p" ] || { echo "demo: $bin/$p was not built" >&2; exit 1; }
  done
  export PATH=$bin:$PATH
  echo "built korvane and korvane-mkrom in $bin"
}

demo_image() {
  say "Making a sample image with korvane-mkrom"
  cd "$work"
  # Firmware-like inputs: binaries, text, a file tree, a script.
  head -c 65536 "$bin/korvane-mkrom" >u-boot.bin
  cp "$bin/korvane" zImage
  tar -cf rootfs.tar -C "$root" scripts rom
  printf 'bootdelay=3\nbootcmd=nand read 0x80000000 0x100000 0x400000; bootm\n' >env.txt
  printf '#!/bin/sh\necho updating\nsync\n' >update.sh
  head -c 4000 /dev/zero | tr '\0' '\377' >logo.bmp
  ls -l u-boot.bin zImage rootfs.tar env.txt update.sh logo.bmp

  run korvane-mkrom create sample.rom --dev-id 3 --dev-name demo-board --oem korvane \
    --version 1.0.4.9-demo -f tool
  run korvane-mkrom add sample.rom u-boot.bin -t nand-raw -p none -f crc --id 1 --name u-boot --version 2013.07
  run korvane-mkrom add sample.rom zImage -t nand-raw -p cypher1 -f crc --id 2 --name kernel --version 3.2.0
  run korvane-mkrom add sample.rom rootfs.tar -t nand-oob -p cypher2 -f checksum --id 3 --name rootfs --version 1.0
  run korvane-mkrom add sample.rom env.txt -t nor -p cypher3 -f checksum --id 4 --name env
  run korvane-mkrom add sample.rom update.sh -t script -p cypher4 -f crc --id 5 --name update
  run korvane-mkrom add sample.rom logo.bmp -t bin -p AES --id 6 --name logo
  ls -l sample.rom
}

demo_info() {
  say "Looking into the image: the rom header (-I), then every block with its payload checked (-f crc -i)"
  cd "$work"
  run korvane -I sample.rom
  echo
  run korvane -f crc -i sample.rom
}

demo_extract() {
  say "Extracting every block, decoded (-x), into a folder of its own"
  mkdir -p "$work/plain" && cd "$work/plain"
  run korvane -x ../sample.rom
  ls -l
  echo "decoded blocks against their inputs (cypher2 is extracted in its stored block format):"
  same ../u-boot.bin 0-1-nand-raw-u-boot
  same ../zImage 1-2-nand-raw-kernel
  same ../env.txt 3-4-nor-raw-env
  same ../update.sh 4-5-script-update
  same ../logo.bmp 5-6-bin-logo

  say "Extracting every block as stored, with its header (-g -x): each is a block file"
  mkdir -p "$work/stored" && cd "$work/stored"
  run korvane -g -x ../sample.rom
  ls -l
  run korvane -f crc -i 1-2-nand-raw-kernel
}

demo_damage() {
  say "A damaged image: one flipped byte in the kernel's payload"
  cd "$work"
  cp sample.rom damaged.rom
  # The kernel block follows the rom header (128 bytes) and the u-boot block.
  local kernel=$((128 + 128 + 65536))
  printf '\x55' | dd of=damaged.rom bs=1 seek=$((kernel + 128 + 1000)) conv=notrunc status=none
  run korvane -f crc -i damaged.rom
}

steps=(build image info extract damage)
for step in "${steps[@]}"; do
  "demo_$step"
done
say "Done. Sample files: $work$([ $# -gt 0 ] || echo ' (removed now)')"
