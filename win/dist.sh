#!/usr/bin/env bash
# Makes the driver disks from a zarn.sys build: for the version V of the build,
#   zarn-V.img          a 1.44 MB FAT12 floppy labelled ZARN: ZARN.INF, ZARN.SYS, INSTALL.TXT
#   zarn-V.iso          an ISO 9660 image with Joliet names holding the same files
#   zarn-V.zip          the same files and the link map ZARN.MAP
#   zarn-V-checked.zip  the checked build as ZARN.SYS with its link map, the same INF and INSTALL.TXT
# usage: win/dist.sh WIN_BUILD_DIR OUTPUT_DIR
set -euo pipefail
build=$1
mkdir -p "$2"
out=$(cd "$2" && pwd)
version=$(cat "$build/version.txt")
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/release" "$stage/checked"
cp "$build/zarn.inf" "$stage/release/ZARN.INF"
cp "$build/zarn.sys" "$stage/release/ZARN.SYS"
cp "$build/INSTALL.TXT" "$stage/release/INSTALL.TXT"
cp "$build/zarn.inf" "$stage/checked/ZARN.INF"
cp "$build/zarn-checked.sys" "$stage/checked/ZARN.SYS"
cp "$build/INSTALL.TXT" "$stage/checked/INSTALL.TXT"

img="$out/zarn-$version.img"
rm -f "$img"
mkfs.fat -C -F 12 -n ZARN -i 5A41524E "$img" 1440 >/dev/null
for f in ZARN.INF ZARN.SYS INSTALL.TXT; do mcopy -i "$img" "$stage/release/$f" "::$f"; done

iso="$out/zarn-$version.iso"
rm -f "$iso"
# xorriso speaks on standard error even when all is well: shown only when it fails.
xorriso -as mkisofs -quiet -J -V ZARN -o "$iso" "$stage/release" 2>"$stage/xorriso.log" || { cat "$stage/xorriso.log" >&2; exit 1; }

cp "$build/zarn.map" "$stage/release/ZARN.MAP"
cp "$build/zarn-checked.map" "$stage/checked/ZARN.MAP"
rm -f "$out/zarn-$version.zip" "$out/zarn-$version-checked.zip"
(cd "$stage/release" && zip -q -X "$out/zarn-$version.zip" ZARN.INF ZARN.SYS INSTALL.TXT ZARN.MAP)
(cd "$stage/checked" && zip -q -X "$out/zarn-$version-checked.zip" ZARN.INF ZARN.SYS INSTALL.TXT ZARN.MAP)
echo "$out: zarn-$version.img zarn-$version.iso zarn-$version.zip zarn-$version-checked.zip"
