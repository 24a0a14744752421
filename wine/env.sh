# Shell functions (bash) to run the test disk driver under Wine.  Source this file:
#
#   . wine/env.sh
#   testdisk_prefix_up [BUILD_DIR]    start Wine with testdisk.sys loaded
#   testdisk_ctl COMMAND ... [; COMMAND ...]
#                                     set up disks, volumes, interfaces (see driver/testdiskctl.c)
#   testdisk_stat N KEY               one counter of disk N
#   testdisk_reset                    remove everything the driver set up
#   testdisk_down                     stop Wine (and the driver)
#
# BUILD_DIR defaults to <repo>/build/wine and must hold the output of
# wine/build.sh.  The Wine prefix lives in BUILD_DIR/prefix and is reused.

TESTDISK_SERVICE=SectorsweepTestDisk
TESTDISK_BUILD=${TESTDISK_BUILD:-$(cd "$(dirname "${BASH_SOURCE[0]:-$0}")/.." && pwd)/build/wine}

# Every Wine program of the tests starts through wine/bin (see the reason there).
TESTDISK_WINE_BIN=$(cd "$(dirname "${BASH_SOURCE[0]:-$0}")" && pwd)/bin
case ":$PATH:" in *":$TESTDISK_WINE_BIN:"*) ;; *) export PATH=$TESTDISK_WINE_BIN:$PATH ;; esac
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# testdisk_within [-q] SECONDS WHAT COMMAND...: runs COMMAND (with -q, its output
# to /dev/null) for at most SECONDS; when they run out it is stopped, and WHAT
# is named on standard error as what did not end.
testdisk_within() {
    local quiet= seconds what status
    if [ "$1" = -q ]; then
        quiet=1
        shift
    fi
    seconds=$1 what=$2
    shift 2
    if [ -n "$quiet" ]; then
        timeout -k 5 "$seconds" "$@" >/dev/null 2>&1
    else
        timeout -k 5 "$seconds" "$@"
    fi
    status=$?
    if [ $status -eq 124 ] || [ $status -eq 137 ]; then
        echo "testdisk: $what did not end within $seconds s" >&2
    fi
    return $status
}

# Windows path of a Unix path, through drive Z:
testdisk_winpath() {
    printf 'Z:%s' "$1" | tr / '\\'
}

testdisk_prefix_up() {
    TESTDISK_BUILD=$(cd "${1:-$TESTDISK_BUILD}" && pwd) || return 1
    export WINEPREFIX=$TESTDISK_BUILD/prefix
    local sys=$TESTDISK_BUILD/testdisk.sys image
    [ -f "$sys" ] || { echo "testdisk: $sys missing, run wine/build.sh" >&2; return 1; }
    image='\??\'$(testdisk_winpath "$sys")

    # The driver lives only as long as the Wine session: a persistent server
    # keeps it loaded between the test programs.  Restarting the server also
    # loads a freshly built driver.
    wineserver -k 2>/dev/null || true
    testdisk_within -q 60 "the previous wineserver" wineserver -w || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        # Set up in a session of its own, left to end before the test session.
        testdisk_within -q 300 "wineboot -i" wineboot -i || { echo "testdisk: wineboot failed" >&2; return 1; }
        testdisk_within 60 "the wineserver of wineboot's session" wineserver -w || true
    fi
    wineserver -p || return 1

    # The registry file is up to date while no server runs: a service that is
    # registered with this image needs no Wine program to say so.
    local escaped
    escaped=$(printf '%s' "$image" | sed 's/\\/\\\\/g')
    if ! grep -qF "\"ImagePath\"=\"$escaped\"" "$WINEPREFIX/system.reg"; then
        if ! testdisk_within -q 60 "sc query" wine sc query "$TESTDISK_SERVICE"; then
            testdisk_within 60 "sc create" wine sc create "$TESTDISK_SERVICE" type= kernel start= demand \
                error= normal binPath= "$image" >/dev/null ||
                { echo "testdisk: cannot register the driver service" >&2; return 1; }
        fi
        # The build folder may have moved since the service was registered.
        testdisk_within 60 "reg add" wine reg add "HKLM\\System\\CurrentControlSet\\Services\\$TESTDISK_SERVICE" \
            /v ImagePath /t REG_SZ /d "$image" /f >/dev/null || return 1
    fi

    # Disk links Wine made for the host's disks would hide the test disks.
    rm -f "$WINEPREFIX"/dosdevices/physicaldrive*
    testdisk_within 60 "sc start" wine sc start "$TESTDISK_SERVICE" >/dev/null || true
    testdisk_within 60 "testdiskctl reset" wine "$TESTDISK_BUILD/testdiskctl.exe" reset ||
        { echo "testdisk: driver did not start" >&2; return 1; }
}

testdisk_down() {
    # What the driver took over (Wine's drive letters, the mount manager's
    # link) and the registry keys of its interfaces go back as they were.
    WINEPREFIX=$TESTDISK_BUILD/prefix testdisk_within -q 60 "testdiskctl reset" \
        wine "$TESTDISK_BUILD/testdiskctl.exe" reset
    WINEPREFIX=$TESTDISK_BUILD/prefix wineserver -k 2>/dev/null
    WINEPREFIX=$TESTDISK_BUILD/prefix testdisk_within -q 60 "the wineserver" wineserver -w
    return 0
}

testdisk_ctl() {
    testdisk_within 60 "testdiskctl $1" wine "$TESTDISK_BUILD/testdiskctl.exe" "$@"
}

testdisk_reset() {
    rm -f "$WINEPREFIX"/dosdevices/physicaldrive*
    testdisk_ctl reset
}

testdisk_stat() {
    testdisk_ctl stats | sed -n "s/^disk\.$1\.$2=//p"
}
