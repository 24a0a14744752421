# shellcheck shell=bash
# What the Linux device tests share; sourced by TEST.sh [PATH/TO/sectorsweep].
# Skips without root (exit 77), brings devices.sh in, and at the end takes every
# device down and fails if an image given to keep_image has changed. A run NAME
# leaves its output in $out/NAME.out and .err and its exit code in $code.
if [ "$(id -u)" != 0 ]; then
  echo "skipped: needs root (loop devices, FUSE, mounts)"
  exit 77
fi
# Under pipefail a pipe into grep must let grep read all of it (no -q): a writer
# cut off by an early exit would fail the pipe by chance.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=linux/devices.sh
. "$here/../../linux/devices.sh"

SECTORSWEEP=${1:+$(realpath "$1")}
failures=0
code=0
pid=
declare -A kept_images=()

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# An image's checksum, or for a sparse one too large to read here, its size,
# allocated blocks and modification time.
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

# run NAME ARGS...: the program with ARGS, started through $RUN_WITH if set.
run() {
  local name=$1
  shift
  code=0
  # shellcheck disable=SC2086
  ${RUN_WITH:-} "$SECTORSWEEP" "$@" >"$out/$name.out" 2>"$out/$name.err" || code=$?
}

# start NAME ARGS...: the same in the background ($pid); finish_run waits for it.
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

# wait_for NAME TEXT: until NAME's standard output holds TEXT, 20 s at most.
wait_for() {
  local tenths=200
  until grep -qF -- "$2" "$out/$1.out" 2>/dev/null; do
    if [ "$tenths" -eq 0 ]; then
      fail "$1: no '$2' in time"
      return 1
    fi
    tenths=$((tenths - 1))
    sleep 0.1
  done
}

# shown NAME [err]: the output as lines; CR LF and lone CRs end lines.
shown() {
  local file=$out/$1.out
  [ "${2:-}" = err ] && file=$out/$1.err
  sed 's/\r$//' "$file" | tr '\r' '\n'
}

# expect_line NAME TEXT [err]: some line is exactly TEXT.
expect_line() {
  shown "$1" "${3:-}" | grep -xF -- "$2" >/dev/null || {
    fail "$1: no line '$2' in"
    shown "$1" "${3:-}" | sed 's/^/    /' | tail -20
  }
}

# expect NAME CODE [LINE...]: the exit code of NAME's run, and each LINE among
# its output's (a LINE that starts with "err:" among its standard error's).
expect() {
  local name=$1 line
  [ "$code" = "$2" ] || fail "$1: exit code $code, expected $2"
  for line in "${@:3}"; do
    if [ "${line#err:}" != "$line" ]; then expect_line "$name" "${line#err:}" err; else expect_line "$name" "$line"; fi
  done
}

expect_no_line() {
  if shown "$1" | grep -F -- "$2" >/dev/null; then fail "$1: a line holds '$2'"; fi
}

# expect_summary NAME SIZE: the summary of a pass over SIZE (its text).
expect_summary() {
  shown "$1" | grep -E "^$2  \(.*\)  -  " >/dev/null || fail "$1: no summary of the whole $2"
}

# expect_stop_within NAME LOW HIGH: the last amount a status line showed, where
# the failing chunk starts, is LOW..HIGH MB.
expect_stop_within() {
  local amount
  amount=$(shown "$1" | sed -n 's/^\([0-9]*\) MB  (.*ETA.*/\1/p' | tail -1)
  if [ "${amount:-0}" -lt "$2" ] || [ "${amount:-0}" -gt "$3" ]; then fail "$1: last amount ${amount:-none} MB, not $2..$3"; fi
}

# listed_number NAME DEV: DEV's number in the table of the -ld run NAME.
listed_number() {
  shown "$1" | sed -n "s|^Disk\([0-9]*\) *$2 .*|\1|p"
}
