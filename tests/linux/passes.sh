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
for size in $((100 * M + 512)):"105 MB" $((3 * M + 512)):"3 MB"; do
  image=$out/odd-${size%%:*}.img text=${size#*:}
  devices_image "$image" "${size%%:*}" pattern
  keep_image "$image"
  dev=$(devices_loop "$image" rw) # writable: a write of the program would change the image
  run list -ld
  number=$(listed_number list "$dev")
  run read "$dev" -r
  expect read 0 "reading for all of Disk $number ($dev)..." "size is $text" ok
  expect_summary read "$text"
  # By number, in the forms the Windows build takes.
  run twice "disk$number" -R2
  expect twice 0 "1 of 1 volumes locked" "reading twice all of Disk $number ($dev)..." ok
  run verify "\\\\.\\PhysicalDrive$number"
  expect verify 6 "asking the device to verify all of Disk $number ($dev)..." "err:failed with ERROR_INVALID_FUNCTION"
done

# ---- names of no disk, and a user without rights -------------------------------------
run nopath /dev/sectorsweep-no-such-disk -r
expect nopath 5 "Error FILE_NOT_FOUND opening /dev/sectorsweep-no-such-disk -> abort" \
  "Hint: reading from a disk device requires admin privileges."
run nonumber 9999
expect nonumber 3 "Error FILE_NOT_FOUND opening disk 9999 -> abort"
run nodisk /dev/null -r2
expect nodisk 5 "Error FILE_NOT_FOUND opening /dev/null -> abort"
cp "$SECTORSWEEP" "$out/sectorsweep"
chmod 755 "$out" "$out/sectorsweep"
nobody="setpriv --reuid=nobody --regid=nogroup --clear-groups"
RUN_WITH=$nobody SECTORSWEEP=$out/sectorsweep run user "$dev" -r
expect user 5 "Error ACCESS_DENIED opening $dev -> abort"
# Verify opens query-only, which needs no rights: the size comes from sysfs.
RUN_WITH=$nobody SECTORSWEEP=$out/sectorsweep run userverify "$dev"
expect userverify 6 "size is 3 MB"

# ---- over 2 TiB: the size, the first chunks, a Ctrl+C ---------------------------------
big=$out/big.img
devices_image "$big" $((2 * 1024 * 1024 * M + 512))
keep_image "$big"
dev=$(devices_loop "$big")
start big "$dev" -r
wait_for big "  (" && sleep 0.3
kill -INT "$pid"
finish_run
expect big 7 "size is 2199 GB" "Ctrl+C pressed -> abort"
shown big | grep -E '^(8 MB|[0-9.]+ GB)  \(' >/dev/null || fail "big: no status line"
[ "$(shown big | grep -c '  -  ETA ')" -ge 3 ] || fail "big: fewer than three chunks before the stop"

# ---- faults at their bytes ---------------------------------------------------------------
image=$out/faults.img
devices_image "$image" 64M pattern
keep_image "$image"
# The first read is slow, so no chunk grows past the first 8 MiB: the failing
# chunk starts at most 8 MiB before the bad byte.
served=$(devices_faultfs "$image" "fail 40M+4K ENODATA" "flaky $((20 * M + 4000))+3" "slow 0+4K 100" \
  "slow 8M+4K 1500")
dev=$(devices_loop "$served")
run medium "$dev" -r
expect medium 6 "err:failed with ERROR_CRC"
expect_stop_within medium 34 42
# A second file serves a transfer error alone.
served2=$(devices_faultfs "$image" "fail $((52 * M + 512))+512 EIO" "slow 0+4K 100")
dev2=$(devices_loop "$served2")
run transfer "$dev2" -r
expect transfer 6 "err:failed with ERROR_IO_DEVICE"
expect_stop_within transfer 47 55
run flaky "$dev" -r2
expect flaky 6 "err:difference found -> abort"
# Exactly the three flaky bytes are listed, each with two values that differ.
differences=$(shown flaky | grep -E '^[0-9A-F]{8}: ' |
  awk '{ print $1, ($0 ~ /: [0-9A-F][0-9A-F] [0-9A-F][0-9A-F]$/ && $2 != $3) }' | xargs)
[ "$differences" = "01400FA0: 1 01400FA1: 1 01400FA2: 1" ] || fail "flaky: the listed differences are $differences"

# ---- each control signal while a read waits ----------------------------------------------
for signal in INT:"Ctrl+C pressed -> abort" QUIT:"Ctrl+Break pressed -> abort" HUP:"Close Button pressed -> abort" \
  TERM:"System Shutdown -> abort"; do
  name=signal-${signal%%:*} message=${signal#*:}
  start "$name" "$dev" -r
  wait_for "$name" "ETA" && kill "-${signal%%:*}" "$pid"
  finish_run
  expect "$name" 7
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
RUN_WITH="chroot $root" SECTORSWEEP=/sectorsweep run chroot
expect chroot 1 "Sectorsweep V1.0.2 - checks that a disk can serve every byte"
for folder in dev sys proc; do
  mount --bind "/$folder" "$root/$folder" && _devices_push _devices_umount "$root/$folder"
done
RUN_WITH="chroot $root" SECTORSWEEP=/sectorsweep run chrootread "$dev2" -r2
expect chrootread 6 "err:failed with ERROR_IO_DEVICE"
