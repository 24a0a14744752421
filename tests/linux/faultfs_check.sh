#!/usr/bin/env bash
# faultfs through a read-only loop device with direct I/O, as the program meets
# it: each rule shows at its bytes and nowhere else, the image is never written,
# and devices_down leaves no loop device, mount or server behind.
# shellcheck source=tests/linux/testlib.sh
. "$(dirname "$0")/testlib.sh"

M=$((1024 * 1024))
image=$out/disk.img
devices_image "$image" 64M pattern
before=$(sha256sum <"$image")
served=$(devices_faultfs "$image" "fail 8M+4K EIO" "fail $((20 * M + 512))+512 ENODATA" "slow 40M+4K 400" \
  "flaky $((48 * M + 4000))+100")
dev=$(devices_loop "$served")

# Reads COUNT blocks of SIZE at block SKIP of the loop device, direct; prints
# dd's error text, or "ok" and the bytes to $out/got.
read_dev() {
  local size=$1 skip=$2 count=${3:-1} err
  if err=$(dd if="$dev" of="$out/got" bs="$size" skip="$skip" count="$count" iflag=direct 2>&1); then
    echo ok
  else
    sed -n "s|^dd: error reading '$dev': ||p" <<<"$err"
  fi
}
same_as_image() {
  cmp -s "$out/got" <(dd if="$image" bs="$1" skip="$2" count="${3:-1}" 2>/dev/null)
}
expect_read() {
  local want=$1 got
  shift
  got=$(read_dev "$@")
  [ "$got" = "$want" ] || fail "read of $* gave '$got', expected '$want'"
  if [ "$want" = ok ] && ! same_as_image "$@"; then fail "read of $* differs from the image"; fi
}

# Whole 8 MiB chunks, as the program reads them: only those holding a bad range fail.
expect_read ok 8M 0
expect_read "Input/output error" 8M 1
expect_read "No data available" 8M 2
expect_read ok 8M 3
# The edges of the bad ranges, in 512-byte sectors.
expect_read ok 512 $((8 * 2048 - 1))
expect_read "Input/output error" 512 $((8 * 2048 + 7))
expect_read ok 512 $((8 * 2048 + 8))
expect_read ok 512 $((20 * 2048))
expect_read "No data available" 512 $((20 * 2048 + 1))
expect_read ok 512 $((20 * 2048 + 2))

# The slow range: a read touching it waits, one beside it does not.
elapsed_ms() {
  local start=$EPOCHREALTIME
  read_dev "$@" >/dev/null
  echo $(((${EPOCHREALTIME/./} - ${start/./}) / 1000))
}
slow=$(elapsed_ms 4K $((40 * 256)))
quick=$(elapsed_ms 4K $((40 * 256 + 1)))
[ "$slow" -ge 400 ] || fail "a read of the slow range took ${slow} ms"
[ "$quick" -lt 200 ] || fail "a read beside the slow range took ${quick} ms"

# The flaky range: exactly its 100 bytes differ from the image, and differ between two reads.
flaky_diffs() { cmp -l "$1" <(dd if="$image" bs=8K skip=$((48 * 128)) count=1 2>/dev/null) | awk '{print $1}'; }
read_dev 8K $((48 * 128)) >/dev/null
cp "$out/got" "$out/first"
read_dev 8K $((48 * 128)) >/dev/null
want=$(seq 4001 4100)
[ "$(flaky_diffs "$out/first")" = "$want" ] || fail "first read: the differing bytes are not exactly 4000..4099"
[ "$(flaky_diffs "$out/got")" = "$want" ] || fail "second read: the differing bytes are not exactly 4000..4099"
[ "$(cmp -l "$out/first" "$out/got" | wc -l)" = 100 ] || fail "two reads of the flaky range agree somewhere"
# The server's direct_io keeps the served file out of the page cache even for a
# loop device that reads it without direct I/O.
buffered=$(devices_loop "$served" buffered)
flaky_bytes() { dd if="$buffered" bs=8K skip=$((48 * 128)) count=1 iflag=direct 2>/dev/null | sha256sum; }
[ "$(flaky_bytes)" != "$(flaky_bytes)" ] || fail "two reads of the flaky range through a buffered loop device agree"

# Read-only all the way down, and every read reached the server.
if (echo x >"$served") 2>/dev/null; then fail "the served file took a write"; fi
grep -q "^read $((48 * M))+" "$(devices_faultfs_log "$served")" || fail "the flaky reads did not reach the server"
[ "$(sha256sum <"$image")" = "$before" ] || fail "the image changed"

devices_down
! losetup --list --noheadings --output BACK-FILE | grep -F "$served" >/dev/null || fail "a loop device is left over $served"
! findmnt --noheadings --mountpoint "$served" >/dev/null || fail "faultfs is still mounted"
! pgrep -f "faultfs .*$served" >/dev/null || fail "a faultfs server is left running"
