# shellcheck shell=bash disable=SC2120,SC2119
# Bringing real block devices up and down for tests, the benchmark and the main
# job. Source it (bash), as root:
#
#   . linux/devices.sh
#   trap devices_down EXIT
#   dir=$(devices_tempdir)                          # a folder, removed at the end
#   devices_image "$dir/disk.img" 64M pattern      # sparse, or filled with a pattern
#   served=$(devices_faultfs "$dir/disk.img" "fail 8M+4K EIO" "flaky 16M+100")
#   dev=$(devices_loop "$served")                   # /dev/loopN, read-only, direct I/O
#   ...
#   devices_down                                    # undoes all of the above, in reverse
#
# Every function that brings something up records how to undo it in a file of its
# own ($DEVICES_UNDO), so the functions work inside $(...) too; devices_down runs
# those records newest first, ignores what is already gone, and may run any number
# of times (from a trap as well). Nothing else is ever detached or unmounted: a
# loop device is detached only while it still holds the file it was given.
#
#   devices_tempdir [BASE]                 print a new folder under BASE (default /tmp)
#   devices_image PATH SIZE [pattern]      create PATH of SIZE bytes (K, M, G, T: powers
#                                          of 1024): sparse, or filled with a text pattern
#                                          whose period is no power of two
#   devices_sfdisk IMAGE SCRIPT            write a partition table (sfdisk's script) to IMAGE
#   devices_mkfs IMAGE PARTNO [ARGS...]    make an ext4 filesystem in partition PARTNO of
#                                          IMAGE (ARGS go to mkfs.ext4, e.g. -d FOLDER)
#   devices_faultfs IMAGE [RULE...]        serve IMAGE through faultfs with the rules (see
#                                          faultfs.c); print the served file's path. Every
#                                          read the server gets is logged, "read OFFSET+SIZE",
#                                          in the file named by devices_faultfs_log SERVED
#   devices_loop FILE [rw] [buffered]      attach a loop device, read-only unless rw, with
#                                          direct I/O unless buffered; print its path
#   devices_partitions DEV                 add DEV's partitions (partx -a); print their paths
#   devices_mount DEV [DIR [OPTIONS]]      mount DEV (on a new folder unless DIR); print DIR
#   devices_down                           undo everything above, newest first
#   devices_faultfs_binary                 build faultfs when missing or stale; print its path

DEVICES_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEVICES_UNDO=${DEVICES_UNDO:-/tmp/devices-undo.$$}

_devices_push() {
  printf '%q ' "$@" >>"$DEVICES_UNDO" && printf '\n' >>"$DEVICES_UNDO"
}

devices_down() {
  [ -f "$DEVICES_UNDO" ] || return 0
  local line
  while IFS= read -r line; do
    eval "$line" </dev/null || true
  done < <(tac "$DEVICES_UNDO")
  rm -f "$DEVICES_UNDO"
  return 0
}

_devices_bytes() {
  numfmt --from=iec "$1"
}

# Waits up to $1 tenths of a second for the command to succeed.
_devices_wait() {
  local tenths=$1
  shift
  while ! "$@"; do
    [ "$tenths" -gt 0 ] || return 1
    tenths=$((tenths - 1))
    sleep 0.1
  done
}

devices_tempdir() {
  local dir
  dir=$(mktemp -d "${1:-/tmp}/devices.XXXXXX") || return 1
  _devices_push rm -rf "$dir"
  echo "$dir"
}

devices_image() {
  local path=$1 bytes
  bytes=$(_devices_bytes "$2") || return 1
  rm -f "$path"
  if [ "${3:-}" = pattern ]; then
    head -c "$bytes" <(yes 'sectorsweep test pattern 0123456789abcdef') >"$path"
  else
    truncate -s "$bytes" "$path"
  fi
}

devices_sfdisk() {
  sfdisk --quiet --no-reread --no-tell-kernel "$1" <<<"$2" >/dev/null
}

devices_mkfs() {
  local image=$1 number=$2 start sectors
  shift 2
  read -r start sectors < <(partx --noheadings --raw --output START,SECTORS --nr "$number" "$image") || return 1
  mkfs.ext4 -q -F -E offset=$((start * 512)) "$@" "$image" $((sectors / 2))k
}

devices_faultfs_binary() {
  local source=$DEVICES_ROOT/linux/faultfs.c
  local binary=$DEVICES_ROOT/build/faultfs/faultfs
  if [ ! -x "$binary" ] || [ "$source" -nt "$binary" ]; then
    if ! pkg-config --exists fuse3; then
      echo "faultfs needs libfuse3-dev and fuse3 (tools/setup installs them)" >&2
      return 1
    fi
    mkdir -p "$(dirname "$binary")"
    # shellcheck disable=SC2046
    cc -std=c11 -O2 -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion "$source" \
      $(pkg-config --cflags --libs fuse3) -o "$binary.$$" && mv "$binary.$$" "$binary" || return 1
  fi
  echo "$binary"
}

devices_faultfs_log() {
  echo "$(dirname "$1")/reads.log"
}

_devices_mounted() {
  findmnt --noheadings --mountpoint "$1" >/dev/null
}

_devices_gone() {
  ! kill -0 "$1" 2>/dev/null || ! grep -q faultfs "/proc/$1/cmdline" 2>/dev/null
}

_devices_stop_faultfs() {
  local pid=$1 served=$2
  if _devices_mounted "$served" && ! umount "$served" 2>/dev/null; then
    _devices_gone "$pid" || kill -TERM "$pid"
  fi
  if ! _devices_wait 100 _devices_gone "$pid"; then
    kill -KILL "$pid"
    _devices_wait 20 _devices_gone "$pid"
  fi
  if _devices_mounted "$served"; then umount --lazy "$served"; fi
}

# Waits up to 5 s for the server PID to mount SERVED; gives up at once if it exits.
_devices_wait_up() {
  local tenths=50
  until _devices_mounted "$2"; do
    if grep -qs '^State:.*Z' "/proc/$1/status" || [ ! -e "/proc/$1" ] || [ "$tenths" -eq 0 ]; then return 1; fi
    tenths=$((tenths - 1))
    sleep 0.1
  done
}

devices_faultfs() {
  local image=$1 binary dir rule
  shift
  binary=$(devices_faultfs_binary) || return 1
  dir=$(devices_tempdir) || return 1
  local rules=()
  for rule in "$@"; do rules+=(-r "$rule"); done
  touch "$dir/disk"
  "$binary" -v "${rules[@]}" "$image" "$dir/disk" </dev/null >>"$dir/reads.log" 2>&1 &
  local pid=$!
  _devices_push _devices_stop_faultfs "$pid" "$dir/disk"
  if ! _devices_wait_up "$pid" "$dir/disk"; then
    echo "faultfs did not come up:" >&2
    cat "$dir/reads.log" >&2
    return 1
  fi
  echo "$dir/disk"
}

# Runs the command while DEV still holds FILE (so a device reused by someone else
# is left alone).
_devices_if_holds() {
  local dev=$1 file=$2
  shift 2
  [ "$(losetup --noheadings --output BACK-FILE "$dev" 2>/dev/null)" = "$file" ] && "$@"
}

_devices_released() {
  [ ! -e "/sys/block/${1#/dev/}/loop/backing_file" ]
}

_devices_detach() {
  local dev=$1 file=$2
  _devices_if_holds "$dev" "$file" losetup --detach "$dev" && _devices_wait 50 _devices_released "$dev"
}

devices_loop() {
  local file dev option readonly=--read-only dio=on
  file=$(realpath "$1") || return 1
  for option in "${@:2}"; do
    case $option in
    rw) readonly= ;;
    buffered) dio=off ;;
    *) echo "devices_loop: unknown option $option" >&2 && return 1 ;;
    esac
  done
  dev=$(losetup --find --show --direct-io=$dio $readonly "$file") || return 1
  _devices_push _devices_detach "$dev" "$file"
  if [ "$(cat "/sys/block/${dev#/dev/}/loop/dio")" != "$([ $dio = on ] && echo 1 || echo 0)" ]; then
    echo "$dev over $file: direct I/O is not $dio" >&2
    return 1
  fi
  echo "$dev"
}

devices_partitions() {
  local dev=$1 file
  file=$(losetup --noheadings --output BACK-FILE "$dev") || return 1
  partx --add "$dev" || return 1
  _devices_push _devices_if_holds "$dev" "$file" partx --delete "$dev"
  partx --noheadings --raw --output NR "$dev" | sed "s|^|${dev}p|"
}

_devices_umount() {
  _devices_mounted "$1" || return 0
  _devices_wait 30 umount "$1" 2>/dev/null || umount --lazy "$1"
}

devices_mount() {
  local dev=$1 dir=${2:-}
  if [ -z "$dir" ]; then dir=$(devices_tempdir) || return 1; fi
  mount ${3:+-o "$3"} "$dev" "$dir" || return 1
  _devices_push _devices_umount "$dir"
  echo "$dir"
}
