#!/usr/bin/env bash
# How fast Read goes over a real block device, next to the tools people use
# instead: a loop device with direct I/O over a 1 GiB image in RAM (/dev/shm) and
# over one on the machine's disk, read whole by
#   sectorsweep   build/linux/sectorsweep DEV -r (and, as sectorsweep-own, the speed
#                 its summary gives for its reads alone)
#   dd            dd if=DEV of=/dev/null bs=1M iflag=direct
#   badblocks     badblocks -sv DEV (defaults: read-only, 64 blocks of 1 KiB a read)
#   fio qd1/qd32  fio sequential direct 1 MiB reads at queue depth 1 and 32 (io_uring,
#                 or libaio), and with plain preads (fio-sync: what the program does)
# in turns (each repetition runs every tool on both media before the next), 5
# repetitions; prints the median MB/s (10^6 bytes/s: from the wall time of the
# whole command, but fio's own figure over its I/O time) and the median of each
# repetition's ratio of sectorsweep to dd and fio. Needs root.
#
#   bench/linux-read.sh [--disk-dir DIR] [--size SIZE] [--repetitions N]
#
# Every tool reads with O_DIRECT and the loop devices read their images with
# O_DIRECT, so no page cache holds any of the data and dropping caches between
# runs would change nothing. This is a benchmark, not a test: compare numbers of
# one run only (the machine is shared and its disk is virtual).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
disk_dir=/var/tmp size=1G repetitions=5
while [ $# -gt 0 ]; do
  case $1 in
  --disk-dir) disk_dir=$2 ;;
  --size) size=$2 ;;
  --repetitions) repetitions=$2 ;;
  *) echo "usage: bench/linux-read.sh [--disk-dir DIR] [--size SIZE] [--repetitions N]" >&2 && exit 2 ;;
  esac
  shift 2
done
[ "$(id -u)" = 0 ] || { echo "bench/linux-read.sh needs root (loop devices)" >&2; exit 2; }
sectorsweep=${SECTORSWEEP:-$root/build/linux/sectorsweep}

# shellcheck source=linux/devices.sh
. "$root/linux/devices.sh"
trap devices_down EXIT

# The fastest asynchronous engine fio has here.
engine=
for candidate in io_uring libaio; do
  if fio --name=probe --filename=/dev/zero --readonly --size=1M --bs=64K --ioengine=$candidate \
    --output=/dev/null >/dev/null 2>&1; then
    engine=$candidate
    break
  fi
done
[ -n "$engine" ] || { echo "fio has neither io_uring nor libaio here" >&2; exit 1; }

declare -A device
for medium in shm disk; do
  [ $medium = shm ] && base=/dev/shm || base=$disk_dir
  dir=$(devices_tempdir "$base")
  devices_image "$dir/bench.img" "$size" pattern
  sync "$dir/bench.img"
  device[$medium]=$(devices_loop "$dir/bench.img")
done
bytes=$(blockdev --getsize64 "${device[shm]}")
# One read of each, not counted: the first read after the image was written
# meets the write-back still under way.
for medium in shm disk; do dd if="${device[$medium]}" of=/dev/null bs=1M iflag=direct status=none; done

tools=(sectorsweep sectorsweep-own dd badblocks fio-qd1 fio-qd32 fio-sync)
work=$(devices_tempdir)
log=$work/runs.log
# Runs one tool over one device and prints its speed in MB/s, or "failed".
measure() {
  local tool=$1 dev=$2 start end
  start=$EPOCHREALTIME
  case $tool in
  sectorsweep-own) ;; # read from the sectorsweep run just before
  sectorsweep) "$sectorsweep" "$dev" -r >"$work/sweep.out" && cat "$work/sweep.out" ;;
  dd) dd if="$dev" of=/dev/null bs=1M iflag=direct ;;
  badblocks) badblocks -sv "$dev" ;;
  fio-*)
    local depth=${tool#fio-qd} how=$engine
    [ "$tool" != fio-sync ] || { depth=1 && how=psync; }
    fio --name=read --filename="$dev" --readonly --rw=read --bs=1M --direct=1 --ioengine=$how --iodepth="$depth" \
      --size="$bytes" --output-format=terse --output="$work/fio.out" && cat "$work/fio.out"
    ;;
  esac </dev/null >>"$log" 2>&1 || { echo failed && return; }
  end=$EPOCHREALTIME
  if [ "$tool" = sectorsweep-own ]; then
    # Its own summary, "SIZE  (SPEED)  -  DURATION": the speed over its reads alone.
    tr '\r' '\n' <"$work/sweep.out" | sed -n 's/^.*  (\([0-9.]*\) \([KMG]\)B\/s)  -  .*[0-9] \(seconds\|minutes\)$/\1 \2/p' |
      tail -1 | awk '{printf "%.0f", $1 * ($2 == "G" ? 1000 : $2 == "M" ? 1 : 0.001)}'
  elif [[ $tool == fio-* ]]; then
    # fio's own figure (KiB/s over its I/O time): its start takes longer than a
    # fast run's reads.
    awk -F';' '{printf "%.0f", $7 * 1024 / 1e6}' "$work/fio.out"
  else
    awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN {printf "%.0f", b / (e - s) / 1e6}'
  fi
}

declare -A speeds
have_sectorsweep=1
if [ ! -x "$sectorsweep" ]; then
  have_sectorsweep=0
  echo "no $sectorsweep (cmake --preset linux && cmake --build --preset linux): its row stays empty"
fi
for repetition in $(seq "$repetitions"); do
  line=
  for tool in "${tools[@]}"; do
    [[ $tool != sectorsweep* ]] || [ $have_sectorsweep = 1 ] || continue
    for medium in shm disk; do
      [ "$tool" != sectorsweep-own ] || cp "$work/sweep.$medium" "$work/sweep.out"
      speed=$(measure "$tool" "${device[$medium]}")
      [ "$tool" != sectorsweep ] || cp "$work/sweep.out" "$work/sweep.$medium"
      [ "$speed" != failed ] || { echo "$tool on ${device[$medium]} failed:" && tail -5 "$log"; }
      speeds[$tool.$medium]+="$speed "
      line+=" $tool/$medium $speed"
    done
  done
  echo "repetition $repetition of $repetitions, MB/s:$line"
done

median() { tr ' ' '\n' | awk 'NF' | sort -n | awk '{v[NR] = $1} END {print NR ? v[int((NR + 1) / 2)] : "-"}'; }
declare -A median_of
for tool in "${tools[@]}"; do
  for medium in shm disk; do
    if [[ " ${speeds[$tool.$medium]:-} " == *failed* ]]; then
      median_of[$tool.$medium]=failed
    else
      median_of[$tool.$medium]=$(median <<<"${speeds[$tool.$medium]:-}")
    fi
  done
done
# The median of the ratios within each repetition: runs close in time share the
# machine's other work.
ratio() {
  paste -d' ' <(tr ' ' '\n' <<<"${speeds[$1.$3]:-}") <(tr ' ' '\n' <<<"${speeds[$2.$3]:-}") |
    awk '$1 + 0 > 0 && $2 + 0 > 0 {print $1 / $2}' | sort -g |
    awk '{v[NR] = $1} END {if (NR) printf "%.2f", v[int((NR + 1) / 2)]; else printf "-"}'
}

echo
echo "CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "Read of a $(numfmt --to=iec-i "$bytes")B loop device with direct I/O; MB/s, median of $repetitions, interleaved;"
echo "whole-command wall time, but fio's own I/O time and sectorsweep-own its summary's speed"
echo "(disk: $disk_dir on $(df --output=source "$disk_dir" | tail -1); fio engine: $engine)"
printf '%-22s %10s %10s\n' tool /dev/shm disk
for tool in "${tools[@]}"; do
  printf '%-22s %10s %10s\n' "$tool" "${median_of[$tool.shm]}" "${median_of[$tool.disk]}"
done
echo "ratios (median of the repetitions' own):"
for other in dd fio-qd1 fio-qd32 fio-sync; do
  printf '%-22s %10s %10s\n' "sectorsweep/$other" "$(ratio sectorsweep $other shm)" "$(ratio sectorsweep $other disk)"
done
