#!/usr/bin/env bash
# The driver disks read back with the ordinary tools: makes them from a zarn.sys build into a
# scratch directory (as `make dist` does), then lists and extracts each with mdir/mcopy, xorriso and
# unzip, and compares every file byte for byte with the build's outputs. Exactly the expected files
# must be there.
# usage: win/dist_test.sh WIN_BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
version=$(cat "$build/version.txt")
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$here/dist.sh" "$build" "$work/dist" >/dev/null
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The files found (one name a line, sorted) against the expected ones.
expect_names() {
    local what=$1 found=$2; shift 2
    local want
    want=$(printf '%s\n' "$@" | sort)
    [ "$found" = "$want" ] || fail "$what holds [$(echo $found)], not [$(echo $want)]"
}
# Every extracted file equal to its source: pairs of extracted path and build output.
expect_same() {
    local what=$1; shift
    while [ $# -gt 0 ]; do
        cmp -s "$1" "$2" || fail "$what: $(basename "$1") differs from $2"
        shift 2
    done
}

img="$work/dist/zarn-$version.img"
[ "$(stat -c %s "$img")" = 1474560 ] || fail "the floppy image is not 1.44 MB"
label=$(mlabel -i "$img" -s :: | sed 's/^ *Volume label is *//; s/ *$//')
[ "$label" = ZARN ] || fail "the floppy is labelled '$label', not ZARN"
names=$(mdir -i "$img" -b :: | sed 's|^::/||' | sort)
expect_names "the floppy" "$names" ZARN.INF ZARN.SYS INSTALL.TXT
mkdir "$work/img"
mcopy -i "$img" -n ::ZARN.INF ::ZARN.SYS ::INSTALL.TXT "$work/img/"
expect_same "the floppy" "$work/img/ZARN.INF" "$build/zarn.inf" "$work/img/ZARN.SYS" "$build/zarn.sys" \
    "$work/img/INSTALL.TXT" "$build/INSTALL.TXT"

iso="$work/dist/zarn-$version.iso"
# A Joliet tree is announced by a supplementary volume descriptor (type 2, "CD001") whose escape
# sequence at byte 88 starts "%/".
joliet=no
for sector in 17 18 19 20; do
    descriptor=$(dd if="$iso" bs=2048 skip=$sector count=1 2>/dev/null | head -c 91 | od -An -tx1 | tr -d ' \n')
    [ "${descriptor:0:12}" = 024344303031 ] && [ "${descriptor:176:4}" = 252f ] && joliet=yes
done
[ $joliet = yes ] || fail "the CD has no Joliet tree"
names=$(xorriso -read_fs norock -indev "$iso" -find / -type f 2>/dev/null | tr -d "'" | sed 's|^/||' | sort)
expect_names "the CD (Joliet names)" "$names" ZARN.INF ZARN.SYS INSTALL.TXT
xorriso -indev "$iso" -pvd_info 2>/dev/null | grep -q "^Volume Id *: ZARN$" || fail "the CD's volume is not ZARN"
mkdir "$work/iso"
xorriso -osirrox on -indev "$iso" -extract / "$work/iso" >/dev/null 2>&1
expect_same "the CD" "$work/iso/ZARN.INF" "$build/zarn.inf" "$work/iso/ZARN.SYS" "$build/zarn.sys" \
    "$work/iso/INSTALL.TXT" "$build/INSTALL.TXT"

for kind in release checked; do
    if [ $kind = release ]; then zip="$work/dist/zarn-$version.zip" sys=zarn; else zip="$work/dist/zarn-$version-checked.zip" sys=zarn-checked; fi
    names=$(unzip -Z1 "$zip" | sort)
    expect_names "$(basename "$zip")" "$names" ZARN.INF ZARN.SYS INSTALL.TXT ZARN.MAP
    mkdir "$work/$kind"
    unzip -q "$zip" -d "$work/$kind"
    expect_same "$(basename "$zip")" "$work/$kind/ZARN.INF" "$build/zarn.inf" "$work/$kind/ZARN.SYS" "$build/$sys.sys" \
        "$work/$kind/INSTALL.TXT" "$build/INSTALL.TXT" "$work/$kind/ZARN.MAP" "$build/$sys.map"
done

[ $failed = 0 ] && echo "every disk holds exactly the build's files"
exit $failed
