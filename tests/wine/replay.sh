#!/usr/bin/env bash
# Replays every scenario file on the real exe under Wine (tests/wine/replay.cpp).
#   tests/wine/replay.sh SECTORSWEEP_EXE HOST_SECTORSWEEP WINE_REPLAY TESTDISK_DIR [SCENARIO ...]
# Builds the test disk driver into TESTDISK_DIR, brings its prefix up there
# (made once, reused by later runs) and down again at the end, so that no
# wineserver outlives the test.  Without SCENARIO arguments: all of scenarios/,
# and first the cases of must_fail.scn, each of which must fail: a replay that
# let one through would be comparing nothing.
set -u
exe=${1:?sectorsweep.exe} sim=${2:?host sectorsweep} replay=${3:?wine_replay} build=${4:?folder for the driver}
shift 4
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

[ -f "$exe" ] || { echo "$exe missing: cmake --build --preset windows"; exit 1; }
"$root/wine/build.sh" "$build" || exit 1
. "$root/wine/env.sh"
testdisk_prefix_up "$build" || exit 1
trap testdisk_down EXIT
replay() { "$replay" "$exe" "$build" "$sim" "$build/replay" "$@"; }

status=0
if [ $# -eq 0 ]; then
  wrong=$(grep -c '^case ' "$here/must_fail.scn")
  summary=$(replay "$here/must_fail.scn" | tail -n 1)
  if [ "$summary" != "0 passed, $wrong failed, 0 skipped" ]; then
    echo "FAIL must_fail.scn: $summary (every one of its $wrong cases should fail)"
    status=1
  fi
  mapfile -t files < <(find "$root/scenarios" -name '*.scn' | sort)
else
  files=("$@")
fi
replay "${files[@]}" || status=1
exit $status
