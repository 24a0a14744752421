#!/usr/bin/env bash
# Runs the formatter table through the host's WsprintfV and through user32's
# wvsprintfA under Wine, and compares the two outputs case by case.
#
#   tests/wsprintf/compare.sh BUILD_DIR
#
# Both programs are (re)built into BUILD_DIR when missing or older than their
# sources; the Wine prefix BUILD_DIR/wineprefix is reused. Prints each differing
# case (host "<", Wine ">"), then "N passed, M failed"; exits 0 only if every
# case matched.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
. "$root/wine/env.sh"

# True when $1 is missing or older than any of the remaining files.
stale() {
    local target=$1 f
    shift
    [[ -e $target ]] || return 0
    for f in "$@"; do [[ $f -nt $target ]] && return 0; done
    return 1
}
common=("$here/table.inc" "$here/table_runner.h" "$root/sim/escape.h")
host_srcs=("$root/src/platform/format/wsprintf.cpp" "$here/wsprintf_table_host.cpp")
if stale "$build/wsprintf_table_host" "${host_srcs[@]}" "$root/src/platform/format/wsprintf.h" "${common[@]}"; then
    g++ -std=c++17 -O2 -Wall -Wextra -Werror -I"$root" -I"$root/src" "${host_srcs[@]}" -o "$build/wsprintf_table_host"
fi
if stale "$build/wsprintf_table_win.exe" "$here/wsprintf_table_win.cpp" "${common[@]}"; then
    x86_64-w64-mingw32-g++ -std=c++17 -O2 -Wall -Wextra -Werror -static -I"$root" "$here/wsprintf_table_win.cpp" \
        -o "$build/wsprintf_table_win.exe" -luser32
fi

export WINEPREFIX=$build/wineprefix
export LC_ALL=C.UTF-8 # the ANSI code page Wine picks follows the Unix locale
unset DISPLAY WAYLAND_DISPLAY
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    wine wineboot --init >"$build/wineboot.log" 2>&1 || { echo "wineboot failed, see $build/wineboot.log" >&2; exit 1; }
    wineserver -w # the first boot's registry reaches the disk
fi

"$build/wsprintf_table_host" >"$build/wsprintf_host.txt"
# A CR that belongs to a result is escaped as \x0D; a bare one is text mode's.
wine "$build/wsprintf_table_win.exe" 2>"$build/wine_stderr.txt" | tr -d '\r' >"$build/wsprintf_win.txt" ||
    { echo "the Windows table program failed under Wine, see $build/wine_stderr.txt" >&2; exit 1; }
cases=$(wc -l <"$build/wsprintf_host.txt")
failed=$(diff "$build/wsprintf_host.txt" "$build/wsprintf_win.txt" | cut -c1-200 | tee /dev/stderr | grep -c '^<' || true)
echo "$((cases - failed)) passed, $failed failed"
[[ $cases -gt 0 && $failed -eq 0 ]] && cmp -s "$build/wsprintf_host.txt" "$build/wsprintf_win.txt"
