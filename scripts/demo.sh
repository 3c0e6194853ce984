#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job, end to end on this machine: set up and build the programs,
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
  say "Setting up and building the three programs (log in $work/build.log)"
  # The packages of the default build (its configuration looks for the test
  # and benchmark libraries too), then only the programs the demo runs: the
  # tests and benchmarks are scripts/test.sh's to build.
  local start=$SECONDS
  if ! { scripts/packages.sh test && cmake --preset default &&
    cmake --build --preset default --target korvane korvane-mkrom korvane-sim; } >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    echo "demo: the build failed" >&2
    exit 1
  fi
  local p
  for p in korvane korvane-mkrom korvane-sim; do
    [ -x "$bin/$p" ] || { echo "demo: $bin/$p was not built" >&2; exit 1; }
  done
  export PATH=$bin:$PATH
  echo "built korvane, korvane-mkrom and korvane-sim in $bin in $((SECONDS - start)) s" \
    "(packages, configuration and compilation)"
}

demo_image() {
  say "Making a sample image with korvane-mkrom"
  cd "$work"
  # Firmware-like inputs: binaries, text, a file system image with OOB data,
  # a script. The block ids are the MTD numbers of the default simulated board.
  head -c 65536 "$bin/korvane-mkrom" >u-boot.bin
  # The kernel: the first 3 MiB of korvane, a binary of a kernel's size that
  # fits the board's 8 MiB partition whatever size this build's korvane has.
  head -c 3145728 "$bin/korvane" >zImage
  tar -cf rootfs.tar -C "$root" scripts rom
  # rootfs.oob: page records for a 2048+64 NAND, each page's data followed by
  # its 64 OOB bytes (0xFF, with a marker in the first free bytes 2..5).
  local oob
  oob=$(mktemp)
  { printf '\377\377KVOB'; head -c 58 /dev/zero | tr '\0' '\377'; } >"$oob"
  split -b 2048 -a 4 rootfs.tar rootfs.page.
  for page in rootfs.page.*; do cat "$page" "$oob"; done >rootfs.oob
  rm -f rootfs.page.* "$oob"
  printf 'bootdelay=3\nbootcmd=nand read 0x80000000 0x100000 0x400000; bootm\n' >env.txt
  printf '#!/bin/sh\necho updating\nsync\n' >update.sh
  head -c 4000 /dev/zero | tr '\0' '\377' >logo.bmp
  ls -l u-boot.bin zImage rootfs.tar rootfs.oob env.txt update.sh logo.bmp

  run korvane-mkrom create sample.rom --dev-id 3 --dev-name demo-board --oem korvane \
    --version 1.0.4.9-demo -f tool
  run korvane-mkrom add sample.rom u-boot.bin -t nand-raw -p none -f crc --id 3 --name u-boot --version 2013.07
  run korvane-mkrom add sample.rom zImage -t nand-raw -p cypher1 -f crc --id 0 --name kernel --version 3.2.0
  run korvane-mkrom add sample.rom rootfs.oob -t nand-oob -p cypher4 -f checksum --id 2 --name rootfs --version 1.0
  run korvane-mkrom add sample.rom env.txt -t nor -p cypher3 -f checksum --id 1 --name env
  run korvane-mkrom add sample.rom update.sh -t script -p AES -f crc --id 5 --name update
  run korvane-mkrom add sample.rom logo.bmp -t file -p cypher2 --id 6 --name logo
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
  same ../u-boot.bin 0-3-nand-raw-u-boot
  same ../zImage 1-0-nand-raw-kernel
  same ../rootfs.oob 2-2-nand-oob-rootfs
  same ../env.txt 3-1-nor-raw-env
  same ../update.sh 4-5-script-update

  say "Extracting every block as stored, with its header (-g -x): each is a block file"
  mkdir -p "$work/stored" && cd "$work/stored"
  run korvane -g -x ../sample.rom
  ls -l
  run korvane -f crc -i 1-0-nand-raw-kernel
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

demo_install() {
  say "Installing the image on a simulated board (korvane-sim, its default board)"
  cd "$work"
  echo "The default board: mtd0 NAND 8 MiB with a bad erase block at 0x40000,"
  echo "mtd1 NOR 4 MiB, mtd2 NAND 8 MiB with a bad erase block at 0x20000,"
  echo "mtd3 small-page NAND 2 MiB. Its flash lives in board/mtdN.data and .oob."
  rm -rf board
  run korvane-sim --state board -- -f crc -e sample.rom
  echo
  echo "The same install of the NOR block alone, verbosely (-V -o 1):"
  run korvane-sim --state board -- -V -o 1 -e sample.rom

  say "Where the bytes landed"
  local block=131072 size
  echo "u-boot (none) at the start of mtd3:"
  cmp -n 65536 u-boot.bin board/mtd3.data && echo "  board/mtd3.data[0, 64 KiB) = u-boot.bin"
  echo "kernel (cypher1, decoded on the fly) on mtd0, stepping over the bad block 2:"
  size=$(stat -c %s zImage)
  cmp -n $((2 * block)) zImage board/mtd0.data && echo "  board/mtd0.data[0, 256 KiB) = zImage[0, 256 KiB)"
  echo "  board/mtd0.data[256 KiB, 384 KiB) is the bad block, not erased nor written" \
    "($(od -An -tx1 -N4 -j $((2 * block)) board/mtd0.data | xargs) ...)"
  cmp -n $((size - 2 * block)) -i $((2 * block)):$((3 * block)) zImage board/mtd0.data &&
    echo "  board/mtd0.data[384 KiB, ...) = zImage[256 KiB, $size)"
  echo "rootfs (cypher4, page records with OOB) on mtd2, stepping over the bad block 1:"
  cmp -n "$block" rootfs.tar board/mtd2.data && echo "  board/mtd2.data[0, 128 KiB) = rootfs.tar[0, 128 KiB)"
  echo "  OOB of its first page (free bytes 2..39 from the image, ECC at 40..63 by the flash):"
  od -An -tx1 -N64 board/mtd2.oob | sed 's/^/   /'
  echo "env (cypher3) at the start of the NOR partition mtd1:"
  cmp -n "$(stat -c %s env.txt)" env.txt board/mtd1.data && echo "  board/mtd1.data = env.txt, then erased bytes"
  echo "update.sh (script) and logo (file) are not flash blocks: the install leaves them alone."
  echo
  echo "The simulated board's event log (board/events.log), first lines and a count:"
  head -n 6 board/events.log | sed 's/^/  /'
  # A run's mark ("run N: korvane ...") counts as "run".
  awk '{n[$1 == "run" ? "run" : $1" "$2]++} END {for (k in n) printf "  %-14s %d\n", k, n[k]}' board/events.log | sort
}

demo_map() {
  say "The simulated board as its board file, and a map of its flash"
  cd "$work"
  echo "What korvane --board-file prints on a board, here on the simulated one:"
  run korvane-sim --state board -- --board-file
  echo
  echo "Every erase block of every partition after the install, and who programmed it:"
  run korvane-sim map --state board --svg board-map.svg
  echo "The same as a picture: $work/board-map.svg"
}

steps=(build image info extract damage install map)
for step in "${steps[@]}"; do
  "demo_$step"
done
say "Done. Sample files: $work$([ $# -gt 0 ] || echo ' (removed now)')"
