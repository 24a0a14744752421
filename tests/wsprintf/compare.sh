#!/usr/bin/env bash
# Runs the formatter table through the host SimFormatV and through user32's
# wvsprintfA under Wine, and compares the two outputs case by case.
#
#   tests/wsprintf/compare.sh BUILD_DIR
#
# Both programs are (re)built into BUILD_DIR when missing or older than their
# sources.  The Wine prefix lives in BUILD_DIR/wineprefix and is reused; a
# wineserver is kept alive for WSPRINTF_WINESERVER_PERSIST seconds (default
# 300) after the run so that repeated runs skip the Wine start-up cost.
#
# Overridable: CXX (host compiler), MINGW_CXX, WINE, WINESERVER.
# Prints one "FAIL" block per differing case, then "N passed, M failed".
# Exits 0 only if every case matched.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)

. "$root/wine/env.sh"
CXX=${CXX:-g++}
MINGW_CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++}
WINE=${WINE:-wine}
WINESERVER=${WINESERVER:-wineserver}
persist=${WSPRINTF_WINESERVER_PERSIST:-300}

host_bin=$build/wsprintf_table_host
win_bin=$build/wsprintf_table_win.exe
common=("$here/table.inc" "$here/table_runner.h" "$root/sim/escape.h")

# True when $1 is missing or older than any of the remaining files.
stale() {
    local target=$1
    shift
    [[ -e $target ]] || return 0
    local f
    for f in "$@"; do
        [[ $f -nt $target ]] && return 0
    done
    return 1
}

host_srcs=("$root/src/platform/format/wsprintf.cpp" "$here/wsprintf_table_host.cpp")
if stale "$host_bin" "${host_srcs[@]}" "$root/src/platform/format/wsprintf.h" "${common[@]}"; then
    "$CXX" -std=c++17 -O2 -Wall -Wextra -Werror -I"$root" -I"$root/src" "${host_srcs[@]}" -o "$host_bin"
fi
if stale "$win_bin" "$here/wsprintf_table_win.cpp" "${common[@]}"; then
    "$MINGW_CXX" -std=c++17 -O2 -Wall -Wextra -Werror -static -I"$root" \
        "$here/wsprintf_table_win.cpp" -o "$win_bin" -luser32
fi

export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
# No Mono / Gecko installers: nothing here needs them.
export WINEDLLOVERRIDES="mscoree=;mshtml="
# The ANSI code page Wine picks follows the Unix locale; pin it.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

if [[ ! -f $WINEPREFIX/system.reg ]]; then
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot --init >"$build/wineboot.log" 2>&1 || {
        echo "wineboot failed, see $build/wineboot.log" >&2
        exit 1
    }
    # Let the first boot finish and its registry reach the disk.
    "$WINESERVER" -w
fi
# Keep a server around between runs.  This is only a speed-up: it refuses to
# start when a server for this prefix is already running, which is fine.
"$WINESERVER" -p"$persist" 2>/dev/null || true

host_out=$build/wsprintf_host.txt
win_out=$build/wsprintf_win.txt
"$host_bin" >"$host_out"
"$WINE" "$win_bin" >"$win_out" 2>"$build/wine_stderr.txt" || {
    echo "Windows table program failed under Wine, see $build/wine_stderr.txt" >&2
    exit 1
}

# The program writes with WriteFile, so there should be no CR; drop one at a
# line end anyway in case text-mode output sneaks in.  Every CR that belongs
# to a result is escaped as \x0D and cannot be affected.
awk -v host="$host_out" -v win="$win_out" '
function shorten(s) { return length(s) > 200 ? substr(s, 1, 200) "...(" length(s) " chars)" : s }
BEGIN {
    nh = 0; while ((getline line < host) > 0) h[++nh] = line
    nw = 0; while ((getline line < win) > 0) { sub(/\r$/, "", line); w[++nw] = line }
    n = nh > nw ? nh : nw
    passed = 0; failed = 0
    for (i = 1; i <= n; i++) {
        if (i <= nh && i <= nw && h[i] == w[i]) { passed++; continue }
        failed++
        print "FAIL case " (i - 1)
        print "  host: " (i <= nh ? shorten(h[i]) : "(missing)")
        print "  wine: " (i <= nw ? shorten(w[i]) : "(missing)")
    }
    if (n == 0) { print "no cases ran"; failed = 1 }
    print passed " passed, " failed " failed"
    exit failed ? 1 : 0
}'
