#!/bin/sh
# Builds the test disk driver and its user-mode helpers.
#   wine/build.sh [BUILD_DIR]      (default: <repo>/build/wine)
# Produces BUILD_DIR/testdisk.sys, testdiskctl.exe and launch.exe; does nothing
# when they are newer than the sources.  A rebuilt file whose content did not
# change is left in place, so a loaded driver keeps its image.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$(dirname "$here")/build/wine}
src=$here/driver
cc=${MINGW_CC:-x86_64-w64-mingw32-gcc}
warn="-Wall -Wextra -Werror"

ddk=
for d in /usr/x86_64-w64-mingw32/include/ddk /usr/share/mingw-w64/include/ddk; do
    if [ -f "$d/ntddk.h" ]; then ddk=$d; break; fi
done
[ -n "$ddk" ] || { echo "build.sh: mingw-w64 DDK headers (ntddk.h) not found" >&2; exit 1; }

outputs="testdisk.sys testdiskctl.exe launch.exe"
stale=
for f in $outputs; do
    for s in "$src"/* "$0"; do [ "$out/$f" -nt "$s" ] || stale=1; done
done
[ -n "$stale" ] || exit 0

mkdir -p "$out"
tmp=$(mktemp -d "$out/.build.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# install NAME: move the fresh build of NAME into place unless it is unchanged
install_new() {
    if cmp -s "$tmp/$1" "$out/$1"; then touch "$out/$1"; else mv -f "$tmp/$1" "$out/$1"; fi
}

$cc -I"$ddk" $warn -O2 -fno-stack-protector -fno-builtin -mno-red-zone -shared -nostdlib \
    -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x10000 -Wl,--no-insert-timestamp \
    -o "$tmp/testdisk.sys" "$src/testdisk.c" -lntoskrnl -lgcc
$cc $warn -O2 -s -Wl,--no-insert-timestamp -o "$tmp/testdiskctl.exe" "$src/testdiskctl.c"
$cc $warn -O2 -s -Wl,--no-insert-timestamp -o "$tmp/launch.exe" "$src/launch.c"

for f in $outputs; do install_new $f; done
