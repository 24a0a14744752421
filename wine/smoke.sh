#!/bin/bash
# End-to-end check of testdisk.sys under Wine: builds, brings the prefix up,
# configures disks and asserts on what probe.exe sees through the Win32 API.
#   wine/smoke.sh [BUILD_DIR]
set -u

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$(dirname "$here")/build/wine}
started=$(date +%s%N)
pass=0
fail=0

"$here/build.sh" "$build" || { echo "0 passed, 1 failed"; exit 1; }
. "$here/env.sh"
testdisk_prefix_up "$build" || { echo "0 passed, 1 failed"; exit 1; }
trap testdisk_down EXIT
work=$WINEPREFIX/smoke
rm -rf "$work" && mkdir -p "$work"

group() { echo "== $*"; }
expect() { # LABEL ACTUAL WANTED
    if [ "$2" = "$3" ]; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAIL $1: got '$2', want '$3'"; fi
}
field() { # OUTPUT KEY
    printf '%s\n' "$1" | K="$2=" awk 'index($0, ENVIRON["K"]) == 1 { print substr($0, length(ENVIRON["K"]) + 1); exit }'
}
has() { # OUTPUT KEY=VALUE ...
    local out=$1 kv
    shift
    for kv in "$@"; do expect "${kv%%=*}" "$(field "$out" "${kv%%=*}")" "${kv#*=}"; done
}
stat_is() { # DISK KEY=VALUE ...
    local out
    out=$(testdisk_stats "$1")
    shift
    has "$out" "$@"
}

MiB=1048576
size=$((256 * MiB))

group "disk 1: answers, faults and counters"
testdisk_add 1 size=256M seed=0x5eed bus=sata vendor=ACME "product=Disk 9" revision=1.0 serial=SN-0042 \
    predict=yes read-fault=0x100000+0x1000:crc read-fault=0x180000+512:data-error read-fault=0x200000+512:sector \
    fault=0x280000+512:io verify-fault=0x300000+0x10000:io flaky=0x400000+1024
out=$(testdisk_probe 1 info seed:0x5eed read:0:$MiB read:0x100000:4096 read:0xFF000:8192 read:0x180000:512 \
    read:0x200000:512 read:0x280000:512 read:0x300000:0x10000 verify:0x300000:0x10000 verify:0x310000:512 \
    verify:0x280000:512 verify:0:$MiB read:0x400000:1024 read:0x400000:1024 read:0x400400:512 \
    read:$((size - 512)):512 read:$size:512 read:$((size - 512)):1024 read:$size:0 read:512:512 read:7:512 read:0:100 \
    plainread:512 seek write:0:512)
has "$out" open.read.err=0 open.query.err=0 \
    read.length.err=0 read.length=$size read.geometry.size=$size read.geometry.bps=512 read.geometry.bytes=32 \
    read.property.bus=11 read.property.vendor=ACME "read.property.product=Disk 9" read.property.revision=1.0 \
    read.property.serial=SN-0042 read.property.removable=0 read.header.bytes=8 \
    read.predict.err=0 read.predict=1 read.number.type=7 read.number.disk=1 read.number.partition=0 \
    query.geometry.err=0 query.geometry.size=$size query.property.vendor=ACME \
    query.predict=1 query.number.disk=1
# Wine's server itself refuses a FILE_READ_ACCESS ioctl on a handle opened with no access.
has "$out" query.length.err=5
expect "descriptor size from the header query" "$(field "$out" read.header.size)" "$(field "$out" read.property.size)"
# Wine's GetDevicePowerState is a stub: success without touching the result.
has "$out" power.ret=1 power.on=0x5555
has "$out" read:0:$MiB.err=0 read:0:$MiB.bytes=$MiB read:0:$MiB.pattern=ok \
    read:0x100000:4096.err=23 read:0xFF000:8192.err=23 read:0x180000:512.err=23 read:0x200000:512.err=27 \
    read:0x280000:512.err=1117 read:0x300000:0x10000.err=0 read:0x300000:0x10000.pattern=ok \
    verify:0x300000:0x10000.err=1117 verify:0x310000:512.err=0 verify:0x280000:512.err=1117 verify:0:$MiB.err=0
has "$out" read:0x400000:1024.pattern=bad@0x400000 read:0x400400:512.pattern=ok
sums=$(printf '%s\n' "$out" | sed -n 's/^read:0x400000:1024.sum=//p' | sort -u | wc -l)
expect "flaky range reads back differently" "$sums" 2
has "$out" read:$((size - 512)):512.pattern=ok read:$size:512.err=27 read:$((size - 512)):1024.err=27 \
    read:$size:0.err=0 read:$size:0.bytes=0 read:512:512.pattern=ok read:7:512.err=87 read:0:100.err=87
# Wine cannot move a device's file pointer; a read without an offset reaches the disk at 0.
has "$out" seek.err=66 plainread:512.err=0 plainread:512.origin=0x0 write:0:512.err=19
stat_is 1 creates=3 closes=3 open_handles=0 creates_refused=0 writes=1 \
    reads=18 read_errors=9 read_bytes=$((MiB + 0x10000 + 1024 * 2 + 512 * 4)) \
    verifies=4 verify_errors=2 verify_bytes=$((MiB + 512)) last_read_offset=0 last_read_length=512 \
    last_verify_offset=0 last_verify_length=$MiB geometry_queries=2 property_queries=4 \
    predict_queries=2 number_queries=2 ioctls=15 last_create_options=0x68
# The refused length query never reached the driver; Wine passes no requested access with a create.
stat_is 1 length_queries=1 last_create_access=unknown

group "disk 2: 4K sectors, user without admin rights, failing queries"
testdisk_add 2 size=16M sector=4096 open=read-denied geometry=fail:not-supported property=fail:io predict=no
out=$(testdisk_probe 2 info read:0:4096 write:0:4096)
# The refused open still yields a handle under Wine; everything done with it is denied.
has "$out" open.read.err=0 read.length.err=5 read.geometry.err=5 read.number.err=5 read:0:4096.err=5 \
    write:0:4096.err=5 query.length.err=5 query.geometry.err=50 query.property.err=1117 query.predict.err=0 \
    query.predict=0 query.number.err=0 query.number.disk=2
stat_is 2 creates=3 creates_refused=2 refused_requests=8 reads=0 writes=1 open_handles=0 property_queries=2 \
    last_create_options=0x68
testdisk_add 2 size=16M sector=4096 geometry=ok
out=$(testdisk_probe 2 info read:0:4096 read:512:4096 read:0:512 read:0xFFF000:4096)
has "$out" read.geometry.bps=4096 read.geometry.size=$((16 * MiB)) read:0:4096.pattern=ok read:512:4096.err=87 \
    read:0:512.err=87 read:0xFFF000:4096.err=0 read.predict.err=0 read.predict=0

group "disk 3: image file, zero sizes, latency"
head -c $((2 * MiB)) /dev/urandom >"$work/image.bin"
testdisk_add 3 "image=$work/image.bin" length=zero geometry=zero predict=fail:timeout latency-us=5000 \
    past-end=invalid-parameter
out=$(testdisk_probe 3 info "save:0x1000:0x3000:$(testdisk_winpath "$work/out.bin")" read:$((2 * MiB)):512 \
    scan:0x20000)
has "$out" read.length.err=0 read.length=0 read.geometry.size=0 read.predict.err=121 "read.property.vendor=(none)" \
    save:0x1000:0x3000:$(testdisk_winpath "$work/out.bin").err=0 read:$((2 * MiB)):512.err=87
tail -c +$((0x1000 + 1)) "$work/image.bin" | head -c $((0x3000)) >"$work/want.bin"
cmp -s "$work/want.bin" "$work/out.bin"
expect "image data read back" $? 0
# A zero length ends the scan at once; read the configured size instead.
testdisk_add 3 "image=$work/image.bin" latency-us=5000
out=$(testdisk_probe 3 scan:0x20000)
ms=$(field "$out" scan:0x20000.ms)
expect "16 reads at 5 ms each take at least 75 ms (took $ms)" "$([ "${ms:-0}" -ge 75 ] && echo yes)" yes
stat_is 3 reads=16 read_bytes=$((2 * MiB)) length_queries=1

group "disk 4: opens refused"
testdisk_add 4 size=1M open=denied
out=$(testdisk_probe 4 info read:0:512)
has "$out" open.read.err=0 open.query.err=0 read.length.err=5 query.geometry.err=5 read:0:512.err=5
stat_is 4 creates=2 creates_refused=2 reads=0 ioctls=0
testdisk_deny_opens 4
out=$(testdisk_probe 4 info read:0:512)
has "$out" open.read.err=5 open.query.err=5 read:0:512.err=5
testdisk_allow_opens 4
testdisk_add 4 size=1M
has "$(testdisk_probe 4 read:0:512)" read:0:512.err=0

group "disk 6: flaky bytes"
# Only the bytes of a flaky range change, not the rest of their sector (the
# pattern check names the first 8-byte word that differs).
testdisk_add 6 size=1M flaky=0x1009+2
has "$(testdisk_probe 6 read:0x1000:512 read:0x1200:512)" read:0x1000:512.pattern=bad@0x1008 read:0x1200:512.pattern=ok

group "control requests"
testdisk_ctl add 5 size=1000 2>/dev/null
expect "size that is not whole sectors is refused" $? 2
testdisk_ctl add 5 size=1M colour=blue 2>/dev/null
expect "unknown key is refused" $? 2
testdisk_ctl add 5 size=1M read-fault=0x1000 2>/dev/null
expect "fault without a length is refused" $? 2
testdisk_ctl add 5 "image=$work/missing.bin" 2>/dev/null
expect "missing image is refused" $? 2
testdisk_remove 4
has "$(testdisk_probe 4 read:0:512)" read:0:512.err=2
testdisk_ctl stats 4 2>/dev/null
expect "stats of a removed disk fail" $? 2
stat_is 1 writes=1
testdisk_reset
has "$(testdisk_probe 1 read:0:512)" read:0:512.err=2

echo "smoke: $(( ($(date +%s%N) - started) / 1000000 )) ms"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
