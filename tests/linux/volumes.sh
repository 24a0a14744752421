#!/usr/bin/env bash
# ReadTwice and a disk's volumes: of two partitions, the mounted one cannot be
# locked and stays mounted with its files as they were; the other is held
# exclusively for the pass, so it cannot be mounted meanwhile, and is given back
# at the end, and, in a pass stopped by Ctrl+C, before the stop is reported.
# shellcheck source=tests/linux/testlib.sh
. "$(dirname "$0")/testlib.sh"

image=$out/parts.img
devices_image "$image" 64M
devices_sfdisk "$image" "label: dos
start=2048, size=40960, type=83
start=43008, type=83"
mkdir "$out/files"
echo "sectorsweep was here" >"$out/files/note.txt"
head -c 300000 /dev/urandom >"$out/files/noise.bin"
devices_mkfs "$image" 1 -d "$out/files"
devices_mkfs "$image" 2
keep_image "$image"
# The second chunk reads slowly: a pass lasts long enough to look at it, and a
# signal sent after the first status line arrives while a read waits.
served=$(devices_faultfs "$image" "slow 8M+4K 2500")
dev=$(devices_loop "$served")
mapfile -t parts < <(devices_partitions "$dev")
[ "${#parts[@]}" = 2 ] || fail "partitions: ${parts[*]}"
mounted=$(devices_mount "${parts[0]}" "" ro)
files_before=$(cd "$mounted" && sha256sum note.txt noise.bin)
other=$out/other
mkdir "$other"

# Mounting the second partition; unmounts it again if that worked.
mounts_other() {
  mount -o ro "${parts[1]}" "$other" 2>/dev/null || return 1
  umount "$other"
}

start twice "$dev" -r2
wait_for twice "reading twice all of Disk"
if mounts_other; then fail "the second partition could be mounted during the pass"; fi
findmnt --mountpoint "$mounted" >/dev/null || fail "the first partition was unmounted during the pass"
finish_run
expect twice 0 "1 of 2 volumes locked" ok
mounts_other || fail "the second partition cannot be mounted after the pass"
findmnt --mountpoint "$mounted" >/dev/null || fail "the first partition is no longer mounted"
[ "$(cd "$mounted" && sha256sum note.txt noise.bin)" = "$files_before" ] || fail "the mounted files changed"

start stopped "$dev" -r2
wait_for stopped "ETA" && kill -INT "$pid"
wait_for stopped "Ctrl+C pressed -> abort"
mounts_other || fail "the second partition was not given back before the stop was reported"
finish_run
expect stopped 7 "1 of 2 volumes locked"
