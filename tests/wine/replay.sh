#!/usr/bin/env bash
# Replays every scenario file on the real exe under Wine (tests/wine/replay.cpp).
#   tests/wine/replay.sh SECTORSWEEP_EXE HOST_SECTORSWEEP WINE_REPLAY TESTDISK_DIR [SCENARIO ...]
# Builds the test disk driver into TESTDISK_DIR, brings its prefix up there
# (made once, reused by later runs) and down again at the end, so that no
# wineserver outlives the test.  Without SCENARIO arguments: all of scenarios/.
set -u
exe=${1:?sectorsweep.exe}
sim=${2:?host sectorsweep}
replay=${3:?wine_replay}
build=${4:?folder for the driver and its prefix}
shift 4
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
started=$(date +%s%N)

[ -f "$exe" ] || { echo "$exe missing: cmake --build --preset windows"; echo "0 passed, 1 failed"; exit 1; }
"$root/wine/build.sh" "$build" || { echo "0 passed, 1 failed"; exit 1; }
. "$root/wine/env.sh"
testdisk_prefix_up "$build" || { echo "0 passed, 1 failed"; exit 1; }
trap testdisk_down EXIT
echo "replay: prefix up after $(( ($(date +%s%N) - started) / 1000000 )) ms"

status=0
if [ $# -eq 0 ]; then
    # Scenarios that must not pass: a replay that let them through would be
    # comparing nothing.
    mapfile -t wrong < <(find "$here/must_fail" -name '*.scn' | sort)
    summary=$("$replay" --exe "$exe" --testdisk "$build" --sim "$sim" --work "$build/replay" "${wrong[@]}" | tail -n 1)
    if [ "$summary" = "0 passed, ${#wrong[@]} failed, 0 skipped" ]; then
        echo "replay: the ${#wrong[@]} scenarios of must_fail/ failed, as they should"
    else
        echo "FAIL must_fail/: $summary (every one of the ${#wrong[@]} should fail)"
        status=1
    fi
    mapfile -t files < <(find "$root/scenarios" -name '*.scn' | sort)
else
    files=("$@")
fi
"$replay" --exe "$exe" --testdisk "$build" --sim "$sim" --work "$build/replay" "${files[@]}" || status=1
echo "replay: $(( ($(date +%s%N) - started) / 1000000 )) ms"
exit $status
