# shellcheck shell=bash
# What the Linux device tests share. Source it from a test run as
#   TEST.sh PATH/TO/sectorsweep
# It skips the test (exit 77) without root, brings the devices helpers in
# (devices.sh) and takes them down at the end whatever happens, and checks at
# the end that no image the test registered has changed.
#
#   run NAME ARGS...            the program with ARGS: stdout to $out/NAME.out,
#                               stderr to $out/NAME.err, exit code in $code
#   start NAME ARGS...          the same in the background ($pid), then finish_run NAME
#   wait_for NAME TEXT [SECS]   waits until NAME's stdout holds TEXT
#   shown NAME [err]            the output as lines: CR LF and lone CRs end lines
#   expect_code NAME CODE       the exit code of NAME's run
#   expect_line NAME TEXT [err] some line of the output is exactly TEXT
#   expect_no_line NAME TEXT    no line of stdout holds TEXT
#   keep_image PATH             checks PATH is unchanged when the test ends
#   fail TEXT                   counts a failure
if [ "$(id -u)" != 0 ]; then
  echo "skipped: needs root (loop devices, FUSE, mounts)"
  exit 77
fi
# Under pipefail a pipe into grep must let grep read all of it (no -q): a writer
# cut off by an early exit would fail the pipe by chance.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/linux/devices.sh
. "$here/devices.sh"

SECTORSWEEP=$(realpath "${1:?usage: $0 PATH/TO/sectorsweep}")
failures=0
code=0
pid=
declare -A kept_images=()

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The fingerprint of an image: its bytes' checksum, or for a sparse image too
# large to read here, its size, its allocated blocks and its modification time.
_fingerprint() {
  if [ "$(stat -c %s "$1")" -gt $((1024 * 1024 * 1024)) ]; then
    stat -c '%s %b %Y' "$1"
  else
    sha256sum <"$1"
  fi
}

keep_image() {
  kept_images[$1]=$(_fingerprint "$1")
}

_end() {
  local image
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null; fi
  for image in "${!kept_images[@]}"; do
    [ "$(_fingerprint "$image")" = "${kept_images[$image]}" ] || fail "$image changed"
  done
  devices_down
  if [ "$failures" -gt 0 ]; then
    echo "$failures failed"
    exit 1
  fi
  echo "all passed"
  exit 0
}
trap _end EXIT

out=$(devices_tempdir)

run() {
  local name=$1
  shift
  code=0
  "$SECTORSWEEP" "$@" >"$out/$name.out" 2>"$out/$name.err" || code=$?
}

start() {
  local name=$1
  shift
  "$SECTORSWEEP" "$@" >"$out/$name.out" 2>"$out/$name.err" &
  pid=$!
}

finish_run() {
  code=0
  wait "$pid" || code=$?
  pid=
}

wait_for() {
  local name=$1 text=$2 tenths=$((${3:-20} * 10))
  until grep -qF -- "$text" "$out/$name.out" 2>/dev/null; do
    if [ "$tenths" -eq 0 ]; then
      fail "$name: no '$text' in time"
      return 1
    fi
    tenths=$((tenths - 1))
    sleep 0.1
  done
}

shown() {
  local file=$out/$1.out
  [ "${2:-}" = err ] && file=$out/$1.err
  sed 's/\r$//' "$file" | tr '\r' '\n'
}

expect_code() {
  [ "$code" = "$2" ] || fail "$1: exit code $code, expected $2"
}

expect_line() {
  shown "$1" "${3:-}" | grep -xF -- "$2" >/dev/null || {
    fail "$1: no line '$2' in"
    shown "$1" "${3:-}" | sed 's/^/    /' | tail -20
  }
}

expect_no_line() {
  if shown "$1" | grep -F -- "$2" >/dev/null; then fail "$1: a line holds '$2'"; fi
}

# The size text of a byte count, as the table and the size line print it.
size_text() {
  local bytes=$1
  if [ "$bytes" -lt 1000 ]; then
    echo "$bytes "
  elif [ "$bytes" -lt 2000000 ]; then
    echo "$(((bytes + 500) / 1000)) KB"
  elif [ "$bytes" -lt 1000000000 ]; then
    echo "$(((bytes + 500000) / 1000000)) MB"
  else
    echo "$(((bytes + 500000000) / 1000000000)) GB"
  fi
}

# The program's number of a device: its place among the whole block devices of
# /sys/block with a size, in natural order.
disk_number() {
  local name=${1#/dev/} n=0 disk
  for disk in $(ls /sys/block | sort -V); do
    [ "$(cat "/sys/block/$disk/size")" != 0 ] || continue
    if [ "$disk" = "$name" ]; then
      echo "$n"
      return 0
    fi
    n=$((n + 1))
  done
  return 1
}
