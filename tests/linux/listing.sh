#!/usr/bin/env bash
# "-ld" on this machine against lsblk: the same disks in the program's numbering
# with their device paths, sizes, vendor and model texts, transports where lsblk
# knows one, and mount points: a partition's and a whole disk's, one of them
# with a blank in its path (mountinfo escapes it).
# shellcheck source=tests/linux/testlib.sh
. "$(dirname "$0")/testlib.sh"

image=$out/parts.img
devices_image "$image" 24M
devices_sfdisk "$image" "label: dos
start=2048, size=20480, type=83
start=22528, type=83"
devices_mkfs "$image" 1
whole=$out/whole.img
devices_image "$whole" 16M
mkfs.ext4 -q -F "$whole"
keep_image "$image"
keep_image "$whole"
dev=$(devices_loop "$image")
devices_partitions "$dev" >/dev/null
mkdir "$out/my disk"
devices_mount "${dev}p1" "$out/my disk" ro >/dev/null
devices_mount "$(devices_loop "$whole")" "" ro >/dev/null

# The size text of a byte count, as the table prints it.
size_text() {
  local b=$1
  if [ "$b" -lt 1000 ]; then
    echo "$b "
  elif [ "$b" -lt 2000000 ]; then
    echo "$(((b + 500) / 1000)) KB"
  elif [ "$b" -lt 1000000000 ]; then
    echo "$(((b + 500000) / 1000000)) MB"
  else
    echo "$(((b + 500000000) / 1000000000)) GB"
  fi
}

# One line per disk with a size: name, bytes, transport, the description the
# program builds from vendor and model, and the first mount point of each of its
# partitions (of the disk itself when it has none).
lsblk_disks() {
  lsblk -J -b -o NAME,SIZE,TRAN,VENDOR,MODEL,MOUNTPOINTS | jq -r '
    def trim: (. // "") | sub("^[ \t]+"; "") | sub("[ \t]+$"; "");
    def first_mount: [.mountpoints[]? | select(. != null)] | .[0] // empty;
    .blockdevices[] | select(.size > 0)
    | (.vendor | trim) as $v | (.model | trim) as $m
    | (if $v == "" then $m elif ($m | startswith($v)) then $m elif $m == "" then $v else "\($v) \($m)" end) as $d
    | (if (.children // []) == [] then [first_mount] else [.children[] | first_mount] end | join(", ")) as $mounts
    | [.name, (.size | tostring), (.tran // ""), $d, $mounts] | join("\u001f")' | sort -V
}

# The listing and lsblk at one moment: lsblk the same before and after.
for attempt in 1 2 3; do
  before=$(lsblk_disks)
  run list -ld
  [ "$before" = "$(lsblk_disks)" ] && break
done
expect list 0
declare -A buses=([nvme]=NVMe [usb]=USB [sata]=SATA [ata]=SATA [sas]=SAS [mmc]=MMC [virtio]=Virtual [iscsi]=iSCSI
  [spi]=SCSI [fc]=SCSI)
number=0
while IFS=$'\x1f' read -r name bytes transport description mounts; do
  path=/dev/${name//!//}
  size=$(size_text "$bytes")
  row=$(shown list | grep -E "^Disk$number +$path ")
  if [[ ! $row =~ ^Disk"$number"\ +"$path"\ +([A-Za-z0-9]*)\ +"$size"\ \ (.*)$ ]]; then
    fail "$name: no row 'Disk$number $path ... $size ...' in"
    shown list | sed 's/^/    /'
    number=$((number + 1))
    continue
  fi
  bus=${BASH_REMATCH[1]} rest=${BASH_REMATCH[2]}
  if [ -n "$transport" ] && [ "${buses[$transport]:-SCSI}" != "$bus" ] && [ "$transport$bus" != mmcSD ]; then
    fail "$name: bus $bus for transport $transport"
  fi
  [ "${rest#"$description"}" != "$rest" ] || [ -z "$description" ] || fail "$name: description not '$description': $rest"
  rest=${rest#"$description"}
  rest=${rest#"${rest%%[! ]*}"}
  rest=${rest%"${rest##*[! ]}"}
  [ "$rest" = "$mounts" ] || fail "$name: mount points '$rest', expected '$mounts'"
  number=$((number + 1))
done <<<"$before"
[ "$(shown list | grep -c '^Disk')" = "$number" ] || fail "the table has $(shown list | grep -c '^Disk') rows, lsblk $number disks"
shown list | grep -F "$out/my disk" >/dev/null || fail "no mount point with a blank"
