#!/usr/bin/env bash
# The real sectorsweep.exe under Wine, on the paths that need no test disk:
# the usage text and its exit codes, and the opens that find no disk.
set -u
exe=${1:?path of sectorsweep.exe}
work=${2:?folder for the Wine prefix and outputs}
mkdir -p "$work"
work=$(realpath "$work")
exe=$(realpath "$exe")
. "$(dirname "$0")/../../wine/env.sh"
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine wineboot -i >/dev/null 2>&1
  wineserver -w
fi
wineserver -p30
passed=0 failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# run NAME EXPECTED_EXIT EXPECTED_STDOUT ARGS...; stdout and stderr go to files.
run() {
  local name=$1 code=$2 expected=$3
  shift 3
  wine "$exe" "$@" >"$work/$name.out" 2>"$work/$name.err"
  local rc=$?
  local ok=1
  [ "$rc" -eq "$code" ] || { fail "$name: exit $rc, expected $code"; ok=0; }
  if ! printf '%b' "$expected" | cmp -s - "$work/$name.out"; then
    fail "$name: standard output differs"
    printf '%b' "$expected" | od -c | head -20 >"$work/$name.expected"
    diff <(od -c "$work/$name.out") "$work/$name.expected" | head -20
    ok=0
  fi
  [ $ok -eq 1 ] && passed=$((passed + 1))
}

banner='Sectorsweep V1.0.2 - checks that a disk can serve every byte\r\n'
usage='Calls IOCTL_DISK_VERIFY over a whole disk device.\r\nEffect seems to depend on the device!\r\nUsage:\r\nSectorsweep [disknumber] | [-ld]\r\ndisknumber  a disk'"'"'s number as shown in the disk management\r\n-ld         list disks\r\n\r\n'

run no_arguments 1 "$banner$usage"
run three_arguments 2 "$banner$usage" 1 r 3
run bad_disk_argument 1 "$banner$usage" 1x
run disk_number_too_large 1 "$banner$usage" 4294967297
run long_command_line 1 "$banner$usage" "$(printf '1%.0s' $(seq 1 520))"
# Wine has no disk interfaces: the banner, then the listing's cleared status row.
run list_disks 0 "$banner"'\r' -ld
run list_disks_capitals 0 "$banner"'\r' -LD anything
run no_such_disk_verify 3 "$banner"'Error FILE_NOT_FOUND opening \\\\.\\PhysicalDrive77 -> abort\r\n' 77
run no_such_disk_read 5 "$banner"'Error FILE_NOT_FOUND opening \\\\.\\PhysicalDrive77 -> abort\r\nHint: reading from a disk device requires admin privileges.\r\n' 77 -r

# A drive link to an image file opens and reads, but answers neither size request.
image=$work/disk9.img
head -c 1048576 /dev/zero >"$image"
ln -sfn "$image" "$WINEPREFIX/dosdevices/physicaldrive9"
run size_unknown 4 "$banner"'\r\ngetting size failed with ERROR_50\r\n' 9 -r
run size_unknown_verify 4 "$banner"'\r\ngetting size failed with ERROR_50\r\n' 9
rm -f "$WINEPREFIX/dosdevices/physicaldrive9"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
