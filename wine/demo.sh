#!/usr/bin/env bash
# The real sectorsweep.exe on the test disks of wine/driver under Wine, shown as
# it runs: the disk listing, a clean Verify pass over a small disk, and a
# ReadTwice pass over a disk with flaky bytes that finds and lists them (its
# volume locked meanwhile).
#   wine/demo.sh BUILD_WINDOWS_DIR [TESTDISK_DIR]
# TESTDISK_DIR (default <repo>/build/wine) receives the driver and its prefix.
# Exits 0 when all three runs behaved as expected.
set -u
win=${1:?usage: demo.sh BUILD_WINDOWS_DIR [TESTDISK_DIR]}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
exe=$(cd "$win" && pwd)/sectorsweep.exe
build=${2:-$root/build/wine}
[ -f "$exe" ] || { echo "demo: $exe missing (cmake --preset windows && cmake --build --preset windows)" >&2; exit 1; }

"$root/wine/build.sh" "$build" || exit 1
. "$root/wine/env.sh"
echo "== starting Wine with the test disk driver"
testdisk_prefix_up "$build" || exit 1
trap testdisk_down EXIT
work=$build/demo
rm -rf "$work" && mkdir -p "$work"

# A USB stick that serves every byte, and a card reader whose four bytes at
# 0x1234500 read back differently every time (each request costs some time, so
# the status line can be watched).  Both are disks the device setup API lists,
# each with a volume and a drive letter, and the mount manager knows only them.
testdisk_ctl mountmgr serve \; \
    disk 1 size=64M bus=usb vendor=Generic- "product=Flash Disk" latency-us=60000 \; \
    disk 2 size=32M bus=sd vendor=Generic- "product=Card Reader" latency-us=60000 flaky=0x1234500+4 \; \
    interface 1 \; interface 2 \; \
    volume '\\?\Volume{5ec70000-0000-0000-0000-000000000001}\' type=removable disk=1 letter=E \; \
    volume '\\?\Volume{5ec70000-0000-0000-0000-000000000002}\' type=removable disk=2 letter=F || exit 1

failed=0
check() { # WHAT CONDITION...
    local what=$1
    shift
    if "$@"; then echo "   ok: $what"; else echo "   NOT AS EXPECTED: $what"; failed=$((failed + 1)); fi
}

# show NAME ARGS...: runs the exe, its output on the terminal and in $work/NAME.out/.err/.rc
show() {
    local name=$1
    shift
    echo
    echo "== sectorsweep $*"
    { wine "$exe" "$@" 2>"$work/$name.err"; echo $? >"$work/$name.rc"; } | tee "$work/$name.out"
    cat "$work/$name.err" >&2
    echo "   (exit $(cat "$work/$name.rc"))"
}
banner='Sectorsweep V1.0.2 - checks that a disk can serve every byte'

show list -ld
check "the listing ends with exit 0" [ "$(cat "$work/list.rc")" = 0 ]
check "it starts with the banner" [ "$(head -n 1 "$work/list.out" | tr -d '\r')" = "$banner" ]
check "a row for the stick: bus, size, description and letter" \
    grep -q 'Disk1    USB  67 MB  Generic Flash Disk   E:' "$work/list.out"
check "a row for the card reader" grep -q $'Disk2    SD   34 MB  Generic Card Reader  F:' "$work/list.out"

show verify 1
check "the Verify pass ends with exit 0" [ "$(cat "$work/verify.rc")" = 0 ]
check "it names the disk" grep -q 'calling IOCTL_DISK_VERIFY for all of Disk 1 (Generic Flash Disk)' "$work/verify.out"
check "it gives the size" grep -q '^size is 67 MB' "$work/verify.out"
check "it ends in ok" [ "$(tail -c 4 "$work/verify.out" | od -An -c | tr -d ' ')" = 'ok\r\n' ]
check "every byte was verified" [ "$(testdisk_stat 1 verify_bytes)" = $((64 * 1048576)) ]
check "nothing was written to the disk" [ "$(testdisk_stat 1 writes)" = 0 ]

show read_twice 2 -r2
check "the ReadTwice pass fails with exit 6" [ "$(cat "$work/read_twice.rc")" = 6 ]
# Into a pipe the first of them follows the status line's carriage return.
check "it lists the four flaky bytes" \
    [ "$(grep -aoE '0123450[0-3]: [0-9A-F]{2} [0-9A-F]{2}'$'\r' "$work/read_twice.out" | wc -l)" = 4 ]
check "its volume was locked first" grep -q '^1 of 1 volumes locked' "$work/read_twice.out"
check "it says so on standard error" [ "$(cat "$work/read_twice.err")" = $'\ndifference found -> abort' ]
check "it stopped at the chunk with the flaky bytes" [ "$(testdisk_stat 2 read_bytes)" -lt $((2 * 32 * 1048576)) ]
check "nothing was written to the disk" [ "$(testdisk_stat 2 writes)" = 0 ]

echo
if [ "$failed" -eq 0 ]; then echo "demo: all three runs behaved as expected"; else echo "demo: $failed checks failed"; fi
[ "$failed" -eq 0 ]
