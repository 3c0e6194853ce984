#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Power cuts over a two-slot update on the simulated board: builds a board
# file, a configuration and two images in build/sweep/KIND, then runs
# korvane-sim sweep over them (every cut point of the update into slot B,
# every environment store of the boots after it) and prints its table.
#
# Usage: scripts/sweep.sh [--realistic] [--every K] [--seed S] [nand|nor]
#   nand, nor      the small boards of the CI test (default nand)
#   --realistic    a NAND board with a 4 MiB kernel and a 64 MiB root file
#                  system per slot (the benchmark-style run: long)
#   --every K      cut at every K-th operation of the update only, and its
#                  last three (default 1; the realistic board: 256)
#   --seed S       the seed of the torn patterns (default 0)
# The work folders go to /dev/shm when it exists (TMPDIR otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
kind=nand every= seed=0
while [ $# -gt 0 ]; do
  case "$1" in
    --realistic) kind=realistic; shift ;;
    --every) every=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    nand|nor) kind=$1; shift ;;
    *) echo "usage: scripts/sweep.sh [--realistic] [--every K] [--seed S] [nand|nor]" >&2; exit 2 ;;
  esac
done
bin=$top/build/default/bin
if [ ! -x "$bin/korvane-sim" ] || [ ! -x "$bin/korvane-mkrom" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target korvane-sim korvane-mkrom
fi
dir=$top/build/sweep/$kind
mkdir -p "$dir"
cd "$dir"

case "$kind" in
  nand)
    kernel=20000 root=6666 ktype=nand-raw rtype=nand-oob
    cat > board <<'B'
mtd0 nand size=512K erase=128K page=2048 oob=64 name=kernel_a
mtd1 nand size=512K erase=128K page=2048 oob=64 bad=1 name=kernel_b
mtd2 nand size=128K erase=16K page=512 oob=16 name=root_a
mtd3 nand size=128K erase=16K page=512 oob=16 name=root_b
env size=4K redundant
slot A mtd0 mtd2
slot B mtd1 mtd3
B
    ;;
  nor)
    kernel=20000 root=6666 ktype=nor rtype=nor
    cat > board <<'B'
mtd0 nor size=256K erase=4K name=kernel_a
mtd1 nor size=256K erase=4K name=kernel_b
mtd2 nor size=64K erase=4K name=root_a
mtd3 nor size=64K erase=4K name=root_b
env size=4K redundant
slot A mtd0 mtd2
slot B mtd1 mtd3
B
    ;;
  realistic)
    kernel=$((4 * 1024 * 1024)) root=$((64 * 1024 * 1024)) ktype=nand-raw rtype=nand-raw
    every=${every:-256}
    cat > board <<'B'
mtd0 nand size=8M erase=128K page=2048 oob=64 name=kernel_a
mtd1 nand size=8M erase=128K page=2048 oob=64 bad=5 name=kernel_b
mtd2 nand size=80M erase=128K page=2048 oob=64 bad=100 name=root_a
mtd3 nand size=80M erase=128K page=2048 oob=64 bad=17,300 name=root_b
env size=128K redundant
slot A mtd0 mtd2
slot B mtd1 mtd3
B
    ;;
esac
cat > system.conf <<'C'
[board]
device = board
device-id = 7
[slot.A]
0 = kernel_a
1 = root_a
[slot.B]
0 = kernel_b
1 = root_b
[bootloader]
type = u-boot
boot-attempts = 2
C
for v in 1 2; do
  if [ ! -s "image$v.rom" ]; then
    head -c "$kernel" /dev/urandom > kernel$v
    head -c "$root" /dev/urandom > root$v
    "$bin/korvane-mkrom" create image$v.rom --dev-id 7 --dev-name board --version "1.0.$v" >/dev/null
    "$bin/korvane-mkrom" add image$v.rom kernel$v -t "$ktype" -p none --id 0 --name kernel -f crc >/dev/null
    "$bin/korvane-mkrom" add image$v.rom root$v -t "$rtype" -p none --id 1 --name root -f crc >/dev/null
    rm -f kernel$v root$v
  fi
done
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
exec "$bin/korvane-sim" sweep --board board --config system.conf --image image2.rom \
  --from image1.rom --seed "$seed" --every "${every:-1}"
