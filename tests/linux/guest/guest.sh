#!/usr/bin/env bash
# The Linux build on the kernel's own disk drivers (the disks: README.md), in a
# QEMU guest without acceleration booting Debian's kernel (kernel.sh) and a
# busybox initramfs around the guest's script (init), which reports each run on
# the serial console. Checked: the outputs, exit codes and the commands QEMU's
# disks saw (its trace). No image changes.
#   tests/linux/guest/guest.sh PATH/TO/sectorsweep
# shellcheck source=tests/linux/testlib.sh
. "$(dirname "$0")/../testlib.sh"

guest_dir=$here/guest
cache=$DEVICES_ROOT/build/guest
limit=150 # seconds for the whole guest, boot included

for tool in qemu-system-x86_64 cpio apt-get dpkg; do
  command -v "$tool" >/dev/null || { fail "no $tool (tools/setup installs it)" && exit 1; }
done
busybox=/bin/busybox
if [ ! -x "$busybox" ] || readelf -lW "$busybox" | grep -q INTERP; then
  fail "no static $busybox (tools/setup installs busybox-static)" && exit 1
fi

# What the guest's disks hold, in 512-byte sectors.
M=2048
disk_sectors=$((64 * M)) # each of QEMU's disks
nvme_bad=$((40 * M + 8)) # 40 MiB + 4 KiB
usb_bad=$((24 * M + 8))
# shellcheck disable=SC2034 # the guest's /params
scsi_debug_mb=32 scsi_debug_bad=$((20 * M)) scsi_debug_bad_count=16 \
  null_blk_mb=64 null_blk_bad=$((40 * M)) null_blk_bad_end=$((40 * M + 15))
params="scsi_debug_mb scsi_debug_bad scsi_debug_bad_count null_blk_mb null_blk_bad null_blk_bad_end"
# QEMU's NVMe verify size limit (vsl 7): 2^7 pages of 4 KiB.
nvme_verify_blocks=1024

# The guest's drivers; what they depend on comes along. The generic checksum
# modules go first: the libraries ask the crypto API for them by name, and the
# guest has no modprobe to find them.
modules=(crct10dif_generic crc64_rocksoft_generic ahci sd_mod sg nvme scsi_debug null_blk xhci_pci usb_storage)
kernel=$("$guest_dir/kernel.sh" "$cache" "${modules[@]}") || { fail "no kernel" && exit 1; }

# ---- the disks' images and the initramfs ----------------------------------------
for disk in bad clean sata usb; do
  devices_image "$out/$disk.img" 64M pattern
  keep_image "$out/$disk.img"
done
# blkdebug fails every read of one sector: blkdebug NAME SECTOR.
blkdebug() {
  cat >"$out/$1.conf" <<EOF
[inject-error]
event = "read_aio"
errno = "5"
sector = "$2"
once = "off"
EOF
  echo "driver=blkdebug,config=$out/$1.conf,image=$1-file,node-name=$1-debug"
}
root=$out/root
mkdir -p "$root/bin" "$root/modules"
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$kernel"/modules/*.ko "$root/modules/"
cp "$kernel/modules.order" "$root/modules.order"
cp "$guest_dir/init" "$root/init"
cp "$SECTORSWEEP" "$root/sectorsweep"
for name in $params; do echo "$name=${!name}"; done >"$root/params"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$out/initramfs.cpio"

# ---- the guest ----------------------------------------------------------------------
console=$out/console.log results=$out/results.log trace=$out/trace.log
: >"$console"
# A failure shows what the guest said; the logs of the last run stay in the cache.
show_guest() {
  mkdir -p "$cache/last-run"
  cp "$console" "$results" "$trace" "$out/qemu.log" "$cache/last-run/" 2>/dev/null
  if [ "$failures" -gt 0 ]; then
    echo "---- the guest's console ($cache/last-run/console.log)"
    cat "$console"
    echo "---- QEMU"
    cat "$out/qemu.log" 2>/dev/null
  fi
  _end
}
trap show_guest EXIT

blockdev() { echo "driver=file,filename=$out/$1.img,node-name=$1-file"; }
code=0
timeout --kill-after=5 "$limit" qemu-system-x86_64 -nodefaults -no-user-config -display none -no-reboot \
  -m 1024 -smp 2 -kernel "$kernel/vmlinuz" -initrd "$out/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 loglevel=6 printk.devkmsg=on" -serial "file:$console" \
  -blockdev "$(blockdev bad)" -blockdev "$(blkdebug bad "$nvme_bad")" -blockdev driver=raw,file=bad-debug,node-name=bad \
  -device nvme,id=nvme-bad,serial=SWEEPBAD,drive=bad,smart_critical_warning=4 \
  -blockdev "$(blockdev clean)" -blockdev driver=raw,file=clean-file,node-name=clean \
  -device nvme,id=nvme-clean,serial=SWEEPOK -device nvme-ns,bus=nvme-clean,drive=clean,nsid=2 \
  -blockdev "$(blockdev sata)" -blockdev driver=raw,file=sata-file,node-name=sata \
  -device ahci,id=ahci -device ide-hd,drive=sata,bus=ahci.0,model=SweepSATA \
  -blockdev "$(blockdev usb)" -blockdev "$(blkdebug usb "$usb_bad")" -blockdev driver=raw,file=usb-debug,node-name=usb \
  -device qemu-xhci,id=xhci -device usb-storage,bus=xhci.0,drive=usb \
  -D "$trace" -trace enable=pci_nvme_io_cmd -trace enable=pci_nvme_verify -trace enable=pci_nvme_err_req_status \
  -trace enable=ide_exec_cmd -trace enable=handle_cmd_fis_dump >"$out/qemu.log" 2>&1 || code=$?
if [ "$code" = 124 ] || [ "$code" = 137 ]; then
  fail "the guest did not finish within $limit s"
elif [ "$code" != 0 ]; then
  fail "QEMU ended with $code"
fi
# The guest's reports: its records on the console, without their times.
tr -d '\r' <"$console" | sed -n 's/^\[ *[0-9.]*\] \(@@\)/\1/p' >"$results"
if ! grep -qx '@@done' "$results"; then
  # The run that never ended, if one began.
  running=$(awk '/^@@run / { name = $2 } /^@@code / { name = "" } END { print name }' "$results")
  fail "the guest did not report its end${running:+ (it was running $running)}"
  exit 1
fi

# ---- its reports ---------------------------------------------------------------------
# Each run's output becomes $out/NAME.out and NAME.err (lines as the guest split
# them), its exit code $out/NAME.code; each disk's device path $out/ROLE.disk.
awk -v dir="$out" '
  /^@@run / { printf "" >(dir "/" $2 ".out"); printf "" >(dir "/" $2 ".err") }
  /^@@(out|err) / {
    kind = substr($1, 3); name = $2; text = $0
    sub(/^@@[a-z]+ [^ ]+ ?/, "", text)
    print text >>(dir "/" name "." kind)
  }
  /^@@code / { print $3 >(dir "/" $2 ".code") }
  /^@@disk / { print $3 >(dir "/" $2 ".disk") }' "$results"

disk() { cat "$out/$1.disk" 2>/dev/null; }
# ran NAME CODE [LINE...]: as expect, of a run the guest reported.
ran() {
  code=none
  if [ -f "$out/$1.code" ]; then code=$(cat "$out/$1.code"); else fail "$1: no report of this run"; fi
  expect "$@"
}
# A failed pass stopped at the chunk holding sector BAD: the last amount shown is
# where that chunk starts. A chunk is at most 8 MiB longer than the bytes before
# it (the first is 8 MiB, each at most doubles), so it starts after half of the
# bytes before BAD less 8 MiB.
stopped_at() {
  local bad=$(($2 * 512))
  expect_stop_within "$1" $((((bad - 8 * 1048576) / 2 - 500000 + 999999) / 1000000)) $(((bad + 500000) / 1000000))
}
header() { echo "asking the device to verify all of Disk $(listed_number list "$(disk "$1")") ($2)..."; }

# The table: every disk with its bus and size.
ran list 0
for row in "nvme_bad NVMe 67 MB" "nvme_clean NVMe 67 MB" "sata SATA 67 MB" "usb USB 67 MB" "scsi_debug SCSI 34 MB" \
  "null_blk Virtual 67 MB"; do
  read -r role bus size <<<"$row"
  shown list | grep -E "^Disk[0-9]+ +$(disk "$role") +$bus +$size" >/dev/null || fail "list: no $bus row of $size for $role"
done

# NVMe with a bad LBA: the Verify command fails at it, a read there too; the
# controller's critical warning is the failure prediction.
ran nvme-bad-verify 6 "disk predicts failure!" "$(header nvme_bad "QEMU NVMe Ctrl")" "size is 67 MB" \
  "err:failed with ERROR_IO_DEVICE"
stopped_at nvme-bad-verify "$nvme_bad"
ran nvme-bad-read 6 "disk predicts failure!" "err:failed with ERROR_CRC"
stopped_at nvme-bad-read "$nvme_bad"

# A clean NVMe namespace (number 2) verifies to the end, with no warning.
ran nvme-clean-verify 0 "$(header nvme_clean "QEMU NVMe Ctrl")" ok
expect_summary nvme-clean-verify "67 MB"

# The Verify commands a disk got, as "LBA BLOCKS" lines in order, from QEMU's
# trace: an NVMe namespace's Verify commands, or the READ VERIFY SECTORS (EXT)
# commands (0x40, 0x42) in the AHCI disk's command frames (LBA in bytes 4-6 and
# 8-10, or 24-27 in the device byte's low half; count in bytes 12-13, 0 the most).
nvme_verifies() {
  awk -v nsid="$1" '/(^|:)pci_nvme_verify / {
      for (i = 1; i < NF; i++) field[$i] = $(i + 1)
      if (field["nsid"] == nsid) print field["slba"], field["nlb"] + 0
    }' "$trace" | while read -r lba blocks; do echo "$((lba)) $blocks"; done
}
sata_verifies() {
  awk '/^0x00: 27 / && ($4 == "40" || $4 == "42") { print $4, $6, $7, $8, $9, $10, $11, $12, $14, $15 }' "$trace" |
    while read -r command b4 b5 b6 b7 b8 b9 b10 b12 b13; do
      lba=$((0x$b4 + 0x$b5 * 256 + 0x$b6 * 65536)) count=$((0x$b12))
      if [ "$command" = 42 ]; then
        lba=$((lba + (0x$b8 + 0x$b9 * 256 + 0x$b10 * 65536) * 16777216)) count=$((count + 0x$b13 * 256))
        echo "$lba $((count ? count : 65536))"
      else
        echo "$((lba + (0x$b7 % 16) * 16777216)) $((count ? count : 256))"
      fi
    done
}
# Commands on standard input ("LBA BLOCKS"): one run from LBA 0 with no gap or
# overlap, each of at most MOST blocks, ending at LBA END (or empty), the last
# holding LBA HOLDS (or empty). Prints what is wrong (the first gap and the first
# oversized command only).
one_run() {
  awk -v most="$1" -v end="$2" -v holds="$3" '
    {
      count++
      if ($1 != next_lba && !gap) { printf "command %d starts at LBA %d, not %d; ", count, $1, next_lba; gap = bad = 1 }
      if (($2 < 1 || $2 > most) && !size) { printf "command %d has %d blocks; ", count, $2; size = bad = 1 }
      next_lba = $1 + $2; last = $1
    }
    END {
      if (count == 0) { print "no command"; exit 1 }
      if (holds != "" && !(last <= holds && holds < next_lba)) {
        printf "the last (LBA %d, up to %d) does not hold LBA %d; ", last, next_lba, holds; bad = 1 }
      if (end != "" && next_lba != end) { printf "they end at LBA %d, not %d; ", next_lba, end; bad = 1 }
      if (bad) printf "%d commands\n", count
      exit bad
    }'
}
problem=$(nvme_verifies 1 | one_run "$nvme_verify_blocks" "" "$nvme_bad") ||
  fail "NVMe namespace 1's Verify commands: $problem"
problem=$(nvme_verifies 2 | one_run "$nvme_verify_blocks" "$disk_sectors" "") ||
  fail "NVMe namespace 2's Verify commands: $problem"
# Only reads and verifies reached the NVMe disks.
others=$(grep -a 'pci_nvme_io_cmd' "$trace" | grep -avE ' opc 0x(2|c) ')
if [ -n "$others" ]; then
  fail "NVMe commands other than read and verify:"
  head -5 <<<"$others"
fi

# scsi_debug: VERIFY(16) passes everywhere; a read of its medium error range fails.
ran scsi-debug-verify 0 "$(header scsi_debug "Linux scsi_debug")" ok
expect_summary scsi-debug-verify "34 MB"
ran scsi-debug-read 6 "err:failed with ERROR_CRC"
stopped_at scsi-debug-read "$scsi_debug_bad"

# SATA through libata: each VERIFY(16) of at most 65,535 sectors becomes one
# READ VERIFY SECTORS (EXT); the failure prediction is SMART (0xB0).
ran sata-verify 0 "$(header sata "ATA SweepSATA")" ok
expect_summary sata-verify "67 MB"
problem=$(sata_verifies | one_run 65535 "$disk_sectors" "") || fail "the SATA disk's READ VERIFY SECTORS: $problem"
grep -aq 'ide_exec_cmd .*cmd 0xb0$' "$trace" || fail "the SATA disk was never asked SMART"

# A disk behind a USB bridge (QEMU's, like many) passes VERIFY without looking
# at the media: the pass is "ok" over the sector that a read cannot get.
ran usb-verify 0 "$(header usb "QEMU HARDDISK")" ok
expect_summary usb-verify "67 MB"
ran usb-read 6 "err:failed with ERROR_IO_DEVICE"
stopped_at usb-read "$usb_bad"

# null_blk: a read fails at its bad range; with no SCSI or NVMe commands there is
# no Verify.
ran null-blk-read 6 "err:failed with ERROR_IO_DEVICE"
stopped_at null-blk-read "$null_blk_bad"
ran null-blk-verify 6 "err:failed with ERROR_INVALID_FUNCTION"

# Only the NVMe controller with the critical warning predicts a failure (SMART
# on the SATA disk answered that all is well); every disk is awake, or keeps no
# runtime power state, so none is woken.
for name in nvme-bad-verify nvme-bad-read nvme-clean-verify scsi-debug-verify scsi-debug-read sata-verify \
  usb-verify usb-read null-blk-read null-blk-verify; do
  case $name in nvme-bad-*) ;; *) expect_no_line "$name" "disk predicts failure!" ;; esac
  expect_no_line "$name" "waking disk up..."
done
