#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the kernel's RAM flash driver (mtdram) as an out-of-tree module for
# Debian's armmp kernel, which is configured without it; with --cfi instead
# the CFI NOR flash drivers the U-Boot VM needs, which the kernel also lacks:
# the CFI probe (cfi_util, gen_probe, cfi_probe), the command set of qemu's
# flash (cfi_cmdset_0001), the memory-mapped flash driver with device tree
# support (physmap_of, the kernel's physmap) and the partition parser of
# the command line (cmdlinepart). Nothing of the kernel's source is kept:
# the few files come from Debian's linux-source package, downloaded here
# and removed with everything else at the end.
#
# The build runs against the unpacked armhf headers of that kernel
# (linux-headers-KVER and the -common package; the headers package cannot be
# installed on a PC, it depends on an armhf compiler) with the PC's own
# kbuild tools (linux-kbuild, amd64) and Debian's cross compiler. The
# driver's two configuration defaults come in as compiler definitions; the
# module parameters set the real sizes.
#
# Usage: build-mtdram.sh [--cfi] --kernel KVER --version VERSION --scratch DIR --out DIR
#   KVER     the kernel's release, e.g. 6.1.0-57-armmp
#   VERSION  the Debian version of its packages, e.g. 6.1.192-3
#   DIR      --scratch: where the packages and the build go (its folder
#            mtdram-build is removed at the end); --out: receives mtdram.ko
#            (with --cfi: the six modules named above)
set -euo pipefail

kver= version= scratch= out= cfi=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cfi) cfi=1; shift ;;
    --kernel) kver=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --scratch) scratch=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "build-mtdram: unknown argument $1" >&2; exit 1 ;;
  esac
done
for v in kver version scratch out; do
  [ -n "${!v}" ] || { echo "build-mtdram: a value for $v is required" >&2; exit 1; }
done
die() { echo "build-mtdram: $*" >&2; exit 1; }

series=$(echo "$kver" | cut -d. -f1,2)  # 6.1
abi=$(echo "$kver" | cut -d- -f1,2)     # 6.1.0-57
flavour=${kver#"$abi"-}                  # armmp
cross=arm-linux-gnueabihf-
command -v "${cross}gcc-12" >/dev/null ||
  die "${cross}gcc-12 not found (scripts/packages.sh kernel-arm installs the cross compiler)"

mkdir -p "$scratch" "$out"
out=$(cd "$out" && pwd)
work="$(cd "$scratch" && pwd)/mtdram-build"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT  # the source file goes, whatever happens
mkdir -p "$work/dl" "$work/root" "$work/src" "$work/module"

echo "build-mtdram: fetching linux-source-$series, the headers and kbuild $version" >&2
(cd "$work/dl" && apt-get download "linux-source-$series=$version" \
  "linux-headers-$kver:armhf=$version" "linux-headers-$abi-common=$version" \
  "linux-kbuild-$series=$version" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2) || true
deb() {
  local f
  f=$(ls "$work/dl/$1"_*.deb 2>/dev/null | head -n1)
  [ -n "$f" ] || die "apt-get download $1=$version failed"
  echo "$f"
}
source_deb=$(deb "linux-source-$series")
for p in "linux-headers-$kver" "linux-headers-$abi-common" "linux-kbuild-$series"; do
  dpkg-deb -x "$(deb "$p")" "$work/root"
done

# The files, out of the source tarball inside the package; tar stops reading
# at the last of them (the pipes before it then end early).
if [ $cfi = 1 ]; then
  files=(chips/cfi_util.c chips/cfi_probe.c chips/gen_probe.c chips/cfi_cmdset_0001.c
    chips/fwh_lock.h maps/physmap-core.c maps/physmap-bt1-rom.h maps/physmap-gemini.h
    maps/physmap-ixp4xx.h maps/physmap-versatile.h parsers/cmdlinepart.c)
  modules=(cfi_util cfi_probe gen_probe cfi_cmdset_0001 physmap_of cmdlinepart)
else
  files=(devices/mtdram.c)
  modules=(mtdram)
fi
members=()
for f in "${files[@]}"; do members+=("linux-source-$series/drivers/mtd/$f"); done
set +o pipefail
dpkg-deb --fsys-tarfile "$source_deb" | tar -xO "./usr/src/linux-source-$series.tar.xz" |
  xz -dc | tar -x -C "$work/src" --occurrence=1 "${members[@]}" 2>/dev/null
set -o pipefail
for member in "${members[@]}"; do
  [ -f "$work/src/$member" ] || die "no $member in $(basename "$source_deb")"
  cp "$work/src/$member" "$work/module/"
done
rm -rf "$work/dl"
if [ $cfi = 1 ]; then
  # The PC's modpost (linux-kbuild, amd64) takes the size of a device tree
  # match entry from the PC and refuses the armhf table; the table only
  # serves module autoloading, which the VM does not do.
  sed -i '/^MODULE_DEVICE_TABLE(of,/d' "$work/module/physmap-core.c"
  # Device tree probing is physmap's optional part; the rest of the CFI
  # configuration (bus widths, interleaves) is the kernel's own.
  cat >"$work/module/Kbuild" <<'EOF'
obj-m := cfi_util.o cfi_probe.o gen_probe.o cfi_cmdset_0001.o physmap_of.o cmdlinepart.o
physmap_of-y := physmap-core.o
ccflags-y := -DCONFIG_MTD_PHYSMAP_OF=1
EOF
else
  cat >"$work/module/Kbuild" <<'EOF'
obj-m := mtdram.o
ccflags-y := -DCONFIG_MTDRAM_TOTAL_SIZE=4096 -DCONFIG_MTDRAM_ERASE_SIZE=128
EOF
fi

# The flavour's Makefile includes the common one by its installed path.
headers="$work/root/usr/src/linux-headers-$kver"
[ -f "$headers/Makefile" ] || die "no Makefile in the headers of $kver"
sed -i "s|/usr/src/linux-headers-$abi-common/|$work/root/usr/src/linux-headers-$abi-common/|" \
  "$headers/Makefile"

if ! make -C "$headers" M="$work/module" CROSS_COMPILE="$cross" modules >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log" >&2
  die "the module did not build"
fi
for m in "${modules[@]}"; do
  magic=$(tr '\0' '\n' <"$work/module/$m.ko" | sed -n 's/^vermagic=//p' | head -n1)
  case "$magic" in
    "$kver "*) ;;
    *) die "$m.ko was built for '$magic', not $kver" ;;
  esac
  cp "$work/module/$m.ko" "$out/$m.ko"
done
echo "build-mtdram: built ${modules[*]} for $flavour ($magic)" >&2
