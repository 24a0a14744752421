#!/usr/bin/env bash
# The Linux build on a real loop device with a bad range: a 64 MiB image served by
# faultfs, whose bytes at 40 MiB fail with a medium error and three bytes at
# 20 MiB read differently every time. Shows the disk table, a Read pass and a
# ReadTwice pass, and leaves nothing behind. Needs root.
#   linux/demo.sh [PATH/TO/sectorsweep]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sectorsweep=$(realpath "${1:-$root/build/linux/sectorsweep}")
# shellcheck source=linux/devices.sh
. "$root/linux/devices.sh"
trap devices_down EXIT
dir=$(devices_tempdir)
devices_image "$dir/disk.img" 64M pattern
served=$(devices_faultfs "$dir/disk.img" "fail 40M+4K ENODATA" "flaky $((20 * 1024 * 1024 + 4000))+3")
dev=$(devices_loop "$served")
echo "($dev: a loop device over $dir/disk.img; a medium error at 40 MiB, flaky bytes at 20 MiB)"
for args in "-ld" "$dev -r" "$dev -r2"; do
  echo "\$ sectorsweep $args"
  # shellcheck disable=SC2086
  "$sectorsweep" $args && code=0 || code=$?
  echo "(exit code $code)"
done
