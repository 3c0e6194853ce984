#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the kernel's RAM flash driver (mtdram) as an out-of-tree module for
# Debian's armmp kernel, which is configured without it. Nothing of the
# kernel's source is kept: the one file comes from Debian's linux-source
# package, downloaded here and removed with everything else at the end.
#
# The build runs against the unpacked armhf headers of that kernel
# (linux-headers-KVER and the -common package; the headers package cannot be
# installed on a PC, it depends on an armhf compiler) with the PC's own
# kbuild tools (linux-kbuild, amd64) and Debian's cross compiler. The
# driver's two configuration defaults come in as compiler definitions; the
# module parameters set the real sizes.
#
# Usage: build-mtdram.sh --kernel KVER --version VERSION --scratch DIR --out DIR
#   KVER     the kernel's release, e.g. 6.1.0-57-armmp
#   VERSION  the Debian version of its packages, e.g. 6.1.192-3
#   DIR      --scratch: where the packages and the build go (its folder
#            mtdram-build is removed at the end); --out: receives mtdram.ko
set -euo pipefail

kver= version= scratch= out=
while [ $# -gt 0 ]; do
  case "$1" in
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

# The one file, out of the source tarball inside the package; tar stops
# reading at it (the pipes before it then end early).
member="linux-source-$series/drivers/mtd/devices/mtdram.c"
set +o pipefail
dpkg-deb --fsys-tarfile "$source_deb" | tar -xO "./usr/src/linux-source-$series.tar.xz" |
  xz -dc | tar -x -C "$work/src" --occurrence=1 "$member" 2>/dev/null
set -o pipefail
[ -f "$work/src/$member" ] || die "no $member in $(basename "$source_deb")"
rm -rf "$work/dl"
cp "$work/src/$member" "$work/module/mtdram.c"
cat >"$work/module/Kbuild" <<'EOF'
obj-m := mtdram.o
ccflags-y := -DCONFIG_MTDRAM_TOTAL_SIZE=4096 -DCONFIG_MTDRAM_ERASE_SIZE=128
EOF

# The flavour's Makefile includes the common one by its installed path.
headers="$work/root/usr/src/linux-headers-$kver"
[ -f "$headers/Makefile" ] || die "no Makefile in the headers of $kver"
sed -i "s|/usr/src/linux-headers-$abi-common/|$work/root/usr/src/linux-headers-$abi-common/|" \
  "$headers/Makefile"

if ! make -C "$headers" M="$work/module" CROSS_COMPILE="$cross" modules >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log" >&2
  die "the module did not build"
fi
magic=$(tr '\0' '\n' <"$work/module/mtdram.ko" | sed -n 's/^vermagic=//p' | head -n1)
case "$magic" in
  "$kver "*) ;;
  *) die "mtdram.ko was built for '$magic', not $kver" ;;
esac
cp "$work/module/mtdram.ko" "$out/mtdram.ko"
echo "build-mtdram: built mtdram.ko for $flavour ($magic)" >&2
