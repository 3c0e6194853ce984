#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Rebuilds the seed corpora in fuzz/corpus/ from small inputs: images and
# block files from korvane-mkrom (one block of every cypher), cypher1 streams
# from korvane-mkrom, `xz --format=lzma` and `lzma_alone`, block-format
# streams, korvane's and korvane-mkrom's command lines, board files, and the
# decoder's differential target's streams. The seeds are kept in git; run this
# only to change them (needs the default build and the test packages).
# Usage: fuzz/make-seeds.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mkrom=$root/build/default/bin/korvane-mkrom
[ -x "$mkrom" ] || { echo "make-seeds.sh: build korvane-mkrom first (default preset)" >&2; exit 1; }
corpus=$root/fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# An image signed by the first release cannot be made again: kept as it is.
cp "$corpus/signature/old-format.rom" old-format.rom
rm -rf "$corpus"
mkdir -p "$corpus"/{images,preflight_mutations,cypher1,blkfmt,options,board,mkrom_options,lzma_diff,signature}
cp old-format.rom "$corpus/signature/old-format.rom"

# Firmware-like content: text with runs of zeros (every encoder fits it).
for i in $(seq 0 11); do
  printf 'insn %d r%d;\n' $((i * 4)) $((i % 13))
  [ $((i % 4)) -eq 3 ] && head -c 40 /dev/zero
done >content
head -c 300 content >small

quiet() { "$mkrom" "$@" >/dev/null; }
payload() {  # payload of a block file: skip its header, take `length` bytes
  local len
  len=$(od -An -tu1 -j20 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
  tail -c +129 "$1" | head -c "$len"
}

# Images: one block of every cypher, then one image per cypher, block files.
quiet create all.rom --dev-id 7 --dev-name board --oem acme --version 1.2 -f tool
quiet add all.rom small -t nand-raw -p none --id 0 --name uboot -f crc
quiet add all.rom content -t nand-oob -p cypher1 --id 2 --name kernel -f crc
quiet add all.rom content -t nor -p cypher2 --id 1 --name rootfs -f checksum
quiet add all.rom small -t file -p cypher3 --id 3 --name config -f checksum,force
quiet add all.rom small -t script -p cypher4 --id 4 --name script -f crc
quiet add all.rom small -t exe -p AES --id 5 --name logo
cp all.rom "$corpus/images/all-cyphers.rom"
quiet create "$corpus/images/empty.rom"
for c in none cypher1 cypher2 cypher3 cypher4; do
  quiet create one.rom --dev-name board
  quiet add one.rom content -t nand-raw -p $c --id 0 --name $c -f crc
  mv one.rom "$corpus/images/$c.rom"
  quiet block "$corpus/images/$c.blk" content -t bin -p $c --id 9 --name $c -f checksum
done

# cypher1 streams: korvane's own (known size, no end marker), xz's (unknown
# size, end marker), lzma_alone's (known size), and other properties.
payload "$corpus/images/cypher1.blk" >"$corpus/cypher1/korvane.lzma"
xz --format=lzma -c content >"$corpus/cypher1/xz.lzma"
xz --format=lzma -c </dev/null >"$corpus/cypher1/xz-empty.lzma"
xz --format=lzma --lzma1=preset=0,dict=4KiB,lc=0,lp=2,pb=0 -c content >"$corpus/cypher1/xz-props.lzma"
lzma_alone e content "$corpus/cypher1/lzma_alone.lzma" >/dev/null 2>&1
lzma_alone e small "$corpus/cypher1/lzma_alone-eos.lzma" -eos -d12 >/dev/null 2>&1

# The differential target: the byte that chooses how a stream is fed, then
# the stream. Text, erased flash and noise (incompressible bytes: an xz
# stream), up to 12 KiB each, so that a 4 KiB window wraps; sizes known and
# not, with and without an end marker, several lc, lp and pb.
{ head -c 3000 /dev/zero | tr '\0' '\377'; printf 'env=1\0'; head -c 9000 /dev/zero | tr '\0' '\377'; } >erased
for i in $(seq 400); do echo "flash block $i erased, offset 0x$((i * 4096)) written"; done |
  head -c 12288 >text
xz -c text >noise
n=0
for data in text erased noise; do
  for opts in "-d12 -lc3 -lp0 -pb2" "-d12 -lc0 -lp2 -pb0 -eos" "-d13 -lc8 -lp0 -pb4" "-d12 -lc4 -lp4 -pb1 -a0"; do
    # shellcheck disable=SC2086
    lzma_alone e "$data" s.lzma $opts >/dev/null 2>&1
    n=$((n + 1))
    { printf "\\x$(printf %02x $((n * 37 % 256)))"; cat s.lzma; } >"$corpus/lzma_diff/$data-alone-$n"
  done
  xz --format=lzma --lzma1=dict=4KiB,lc=1,lp=3,pb=1 -c "$data" >x.lzma
  { printf '\001'; cat x.lzma; } >"$corpus/lzma_diff/$data-xz"
done

# Block-format streams, each after the byte that chooses how it is fed.
payload "$corpus/images/cypher2.blk" >c2
for b in 00 07 ff; do
  { printf "\\x$b"; cat c2; } >"$corpus/blkfmt/cypher2-$b.bf"
done

# korvane command lines: the words separated by NUL bytes.
words() { local name=$1; shift; printf '%s\0' "$@" | head -c -1 >"$corpus/options/$name"; }
words info -f crc -i a.rom
words execute -e a.rom -o 3,5,7 -a block-align,pad=0x00 -V -s -m -z
words extract --extract=b.rom -g -t nand-raw -p GZIP -d file
words switches --verb -q -h -k -r -b -y 7 -v 1 -I x
words help --help
words version -e x --vers
words bad-list -f force,,crc -x a
words added --preflight -Vfcrc --device board --sk --device-id=0x7 -e a.rom
words added-bad -e a.rom --dev x --pre=1 --device-id 4294967296
words device-empty --device= -e a.rom
words install-checks --read-back --skip --skip-unchanged --ma -s -e a.rom --rea=1
words pubkey --pubkey old.pub --pu=new.pub --preflight -e a.rom --p

# korvane-mkrom command lines: the words after the program's name.
mkwords() { local name=$1; shift; printf '%s\0' "$@" | head -c -1 >"$corpus/mkrom_options/$name"; }
mkwords create create a.rom --dev-id 0x7 --dev-name board --oem acme --version 1.2 -f tool,crc
mkwords add add a.rom - -t nand-raw -p c1 -d file -f crc --id 3 --name kernel --version 2.0 \
  --offset 0x10 --allow-same-id
mkwords block block out.blk in -tnor --cypher=gzip --data-type raw -f checksum,force
mkwords list list a.rom --json
mkwords extract extract a.rom 0x2 out --decode
mkwords check check a.rom --board board.txt -a block-align,pad=0x00
mkwords help add --help
mkwords help-command help sign
mkwords version --version
mkwords keygen keygen board.key board.pub
mkwords sign sign a.rom board.key
mkwords verify verify a.rom old.pub new.pub
mkwords mistakes add a.rom in -t nand -p c9 --name 0123456789abcdefX --id -1

# Signed images: with the fuzz target's own key (fuzz/signature_block.cc),
# with another key, unsigned, and with a block after the signature
# (old-format.rom, signed by the first release, is kept as it was).
(umask 077 && echo "korvane-ed25519-secret 8987f79eebcaf47093f4609417eedc872a57c979b1f2bca935241df3795680bc6057b5a5b478583e3c9644c3d1f6eacd550d79fedfa6e1f2c7a311ac1a196ef5" >fuzz.key)
"$mkrom" keygen other.key other.pub >/dev/null
quiet create s.rom --dev-id 7 --dev-name board
quiet add s.rom small -t nand-raw -p none --id 0 --name uboot -f crc
cp s.rom "$corpus/signature/unsigned.rom"
cp s.rom o.rom
quiet sign o.rom other.key
cp o.rom "$corpus/signature/other-key.rom"
quiet sign s.rom fuzz.key
cp s.rom "$corpus/signature/signed.rom"
quiet add s.rom small -t file -p none --id 3 --name config
cp s.rom "$corpus/signature/block-after.rom"
quiet create e.rom
quiet sign e.rom fuzz.key
cp e.rom "$corpus/signature/signed-empty.rom"

# Edit programs of preflight_mutations (tests/support/image_mutation.h): the
# base image, then edits of a kind byte and its operands. Each base as it is,
# and one edit of each kind.
printf '\000' >"$corpus/preflight_mutations/base-0"
printf '\001' >"$corpus/preflight_mutations/base-1"
printf '\002' >"$corpus/preflight_mutations/base-2"
printf '\000\001\000\000\000\023\210\003' >"$corpus/preflight_mutations/flip"
printf '\001\000\001\000\000\040\000' >"$corpus/preflight_mutations/cut"
printf '\000\001\002\005\102' >"$corpus/preflight_mutations/stream-end"
printf '\001\000\003\002\020' >"$corpus/preflight_mutations/length"
printf '\001\000\004\005\000\000\000\001' >"$corpus/preflight_mutations/id"
printf '\002\000\005\007\377' >"$corpus/preflight_mutations/stream-size"

# Board files.
cat >"$corpus/board/default" <<'BOARD'
mtd0 nand size=8M erase=128K page=2048 oob=64 bad=2
mtd1 nor size=4M erase=64K
mtd2 nand size=8M erase=128K page=2048 oob=64 bad=1
mtd3 nand size=2M erase=16K page=512 oob=16
proc /proc/keypad/watchdog /proc/keypad/lcd_bklight
proc /proc/dsplink/bklight /proc/dsplink/reset
BOARD
cat >"$corpus/board/settings" <<'BOARD'
# every setting once
mtd3 nand size=16M erase=128K page=2048 oob=64 fail=write:3:EIO fail=erase:2+:5 bad=5,9
mtd4 nand size=0x100000 erase=16k page=512 oob=16 refuse=badblock,oobsel ecc=none
mtd5 nand size=1M erase=128K page=2048 oob=64 useecc=1 oobfree=2:38,40:4
mtd6 ram size=1G erase=64K page=1 missing
proc /proc/dsplink/rstsw /proc/dsplink/rsthw
BOARD
cat >"$corpus/board/worn" <<'BOARD'
mtd0 nand size=1M erase=128K page=2048 oob=64 weak=0x10:1,0x11:7 weak=3:0 fail=markbad:1:EIO
mtd1 nor size=64K erase=64K weak=65535:7 refuse=oobread,eccstats
BOARD

chmod 644 "$corpus"/*/*
ls -l "$corpus"/*
