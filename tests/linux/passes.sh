#!/usr/bin/env bash
# The three passes on real loop devices: odd sizes to the last byte, a disk over
# 2 TiB, disks named by number and by path and names of no disk, a user without
# rights, a medium error and a failed transfer at exactly their chunk, flaky
# bytes at their disk positions, each control signal during a slow read, and the
# binary alone in an empty root. No image changes.
# shellcheck source=tests/linux/testlib.sh
. "$(dirname "$0")/testlib.sh"

M=$((1024 * 1024))

# ---- odd sizes: a sector over 100 MiB, and under one 8 MiB chunk -------------------
for size in $((100 * M + 512)) $((3 * M + 512)); do
  image=$out/odd-$size.img
  devices_image "$image" "$size" pattern
  keep_image "$image"
  dev=$(devices_loop "$image")
  number=$(disk_number "$dev")
  run read "$dev" -r
  expect_code read 0
  expect_line read "reading for all of Disk $number ($dev)..."
  expect_line read "size is $(size_text "$size")"
  expect_line read "ok"
  shown read | grep "^$(size_text "$size")  (.*)  -  " >/dev/null || fail "read of $size: no summary of the whole size"
  # By number, in the forms the Windows build takes.
  run twice "disk$number" -R2
  expect_code twice 0
  expect_line twice "1 of 1 volumes locked"
  expect_line twice "reading twice all of Disk $number ($dev)..."
  expect_line twice "ok"
  run verify "\\\\.\\PhysicalDrive$number"
  expect_code verify 6
  expect_line verify "asking the device to verify all of Disk $number ($dev)..."
  expect_line verify "failed with ERROR_INVALID_FUNCTION" err
done

# ---- names of no disk, and a user without rights -------------------------------------
run nopath /dev/sectorsweep-no-such-disk -r
expect_code nopath 5
expect_line nopath "Error FILE_NOT_FOUND opening /dev/sectorsweep-no-such-disk -> abort"
expect_line nopath "Hint: reading from a disk device requires admin privileges."
run nonumber 9999
expect_code nonumber 3
expect_line nonumber "Error FILE_NOT_FOUND opening disk 9999 -> abort"
run nodisk /dev/null -r2
expect_code nodisk 5
expect_line nodisk "Error FILE_NOT_FOUND opening /dev/null -> abort"
cp "$SECTORSWEEP" "$out/sectorsweep"
chmod 755 "$out" "$out/sectorsweep"
user_run() {
  code=0
  setpriv --reuid=nobody --regid=nogroup --clear-groups "$out/sectorsweep" "${@:2}" >"$out/$1.out" 2>"$out/$1.err" ||
    code=$?
}
user_run user "$dev" -r
expect_code user 5
expect_line user "Error ACCESS_DENIED opening $dev -> abort"
# Verify opens query-only, which needs no rights: the size comes from sysfs.
user_run userverify "$dev"
expect_code userverify 6
expect_line userverify "size is $(size_text $((3 * M + 512)))"

# ---- over 2 TiB: the size, the first chunks, a Ctrl+C ---------------------------------
big=$out/big.img
devices_image "$big" $((2 * 1024 * 1024 * M + 512))
keep_image "$big"
dev=$(devices_loop "$big")
start big "$dev" -r
wait_for big "  (" 20 && sleep 0.3
kill -INT "$pid"
finish_run
expect_code big 7
expect_line big "size is 2199 GB"
expect_line big "Ctrl+C pressed -> abort"
shown big | grep -E '^(8 MB|[0-9.]+ GB)  \(' >/dev/null || fail "big: no status line"
[ "$(shown big | grep -c '  -  ETA ')" -ge 3 ] || fail "big: fewer than three chunks before the stop"

# ---- faults at their bytes ---------------------------------------------------------------
image=$out/faults.img
devices_image "$image" 64M pattern
keep_image "$image"
# The first read is slow, so no chunk grows past the first 8 MiB.
served=$(devices_faultfs "$image" "fail 40M+4K ENODATA" "flaky $((20 * M + 4000))+3" "slow 0+4K 100" \
  "slow 8M+4K 1500")
dev=$(devices_loop "$served")
# The last amount shown before the failure is where the failing chunk starts:
# at most the bad byte, and less than 8 MiB (the longest chunk here) before it.
last_amount() { shown "$1" | sed -n 's/^\([0-9]*\) MB  (.*ETA.*/\1/p' | tail -1; }
run medium "$dev" -r
expect_code medium 6
expect_line medium "failed with ERROR_CRC" err
amount=$(last_amount medium)
[ "${amount:-0}" -ge 34 ] && [ "${amount:-0}" -le 42 ] || fail "medium error: last amount ${amount:-none} MB, not 34..42"
# A second file serves a transfer error alone.
served2=$(devices_faultfs "$image" "fail $((52 * M + 512))+512 EIO" "slow 0+4K 100")
dev2=$(devices_loop "$served2")
run transfer "$dev2" -r
expect_code transfer 6
expect_line transfer "failed with ERROR_IO_DEVICE" err
amount=$(last_amount transfer)
[ "${amount:-0}" -ge 47 ] && [ "${amount:-0}" -le 55 ] || fail "transfer error: last amount ${amount:-none} MB, not 47..55"
run flaky "$dev" -r2
expect_code flaky 6
expect_line flaky "difference found -> abort" err
[ "$(shown flaky | grep -cE '^[0-9A-F]{8}: [0-9A-F]{2} [0-9A-F]{2}$')" = 3 ] || fail "flaky: not three differences"
for position in 01400FA0 01400FA1 01400FA2; do
  shown flaky | grep -E "^$position: ([0-9A-F]{2}) ([0-9A-F]{2})$" >/dev/null || fail "flaky: no difference at $position"
done
shown flaky | awk '/^[0-9A-F]{8}: / && $2 == $3 { bad = 1 } END { exit bad }' || fail "flaky: a listed pair does not differ"

# ---- each control signal while a read waits ----------------------------------------------
for signal in INT:"Ctrl+C pressed -> abort" QUIT:"Ctrl+Break pressed -> abort" HUP:"Close Button pressed -> abort" \
  TERM:"System Shutdown -> abort"; do
  name=signal-${signal%%:*} message=${signal#*:}
  start "$name" "$dev" -r
  wait_for "$name" "ETA" 20 && kill "-${signal%%:*}" "$pid"
  finish_run
  expect_code "$name" 7
  # The message on a line of its own, then the empty line of a process that does
  # not own its console; nothing after it.
  tail -c $((${#message} + 4)) "$out/$name.out" | cmp -s - <(printf '%s\r\n\r\n' "$message") ||
    fail "$name: the output does not end in '$message' and an empty line"
done

# ---- alone in an empty root: no C library, no files, only the kernel's -----------------
# No program interpreter and no dynamic section: nothing to load beside it.
if readelf -lW "$SECTORSWEEP" | grep -E 'INTERP|DYNAMIC' >/dev/null; then fail "the binary is not statically linked"; fi
root=$out/root
mkdir -p "$root/dev" "$root/sys" "$root/proc"
cp "$SECTORSWEEP" "$root/sectorsweep"
code=0
chroot "$root" /sectorsweep >"$out/chroot.out" 2>&1 || code=$?
expect_code chroot 1
expect_line chroot "Sectorsweep V1.0.2 - checks that a disk can serve every byte"
for folder in dev sys proc; do
  mount --bind "/$folder" "$root/$folder" && _devices_push _devices_umount "$root/$folder"
done
code=0
chroot "$root" /sectorsweep "$dev2" -r2 >"$out/chrootread.out" 2>&1 || code=$?
expect_code chrootread 6
expect_line chrootread "failed with ERROR_IO_DEVICE"
