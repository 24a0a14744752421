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

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

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
    wineserver -w 2>/dev/null || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        # Set up in a session of its own, left to end before the test session.
        wineboot -i >/dev/null 2>&1 || { echo "testdisk: wineboot failed" >&2; return 1; }
        wineserver -w || true
    fi
    wineserver -p || return 1

    # The registry file is up to date while no server runs: a service that is
    # registered with this image needs no Wine program to say so.
    local escaped
    escaped=$(printf '%s' "$image" | sed 's/\\/\\\\/g')
    if ! grep -qF "\"ImagePath\"=\"$escaped\"" "$WINEPREFIX/system.reg"; then
        if ! wine sc query "$TESTDISK_SERVICE" >/dev/null 2>&1; then
            wine sc create "$TESTDISK_SERVICE" type= kernel start= demand error= normal binPath= "$image" >/dev/null ||
                { echo "testdisk: cannot register the driver service" >&2; return 1; }
        fi
        # The build folder may have moved since the service was registered.
        wine reg add "HKLM\\System\\CurrentControlSet\\Services\\$TESTDISK_SERVICE" /v ImagePath /t REG_SZ \
            /d "$image" /f >/dev/null || return 1
    fi

    # Disk links Wine made for the host's disks would hide the test disks.
    rm -f "$WINEPREFIX"/dosdevices/physicaldrive*
    wine sc start "$TESTDISK_SERVICE" >/dev/null || true
    wine "$TESTDISK_BUILD/testdiskctl.exe" reset || { echo "testdisk: driver did not start" >&2; return 1; }
}

testdisk_down() {
    # What the driver took over (Wine's drive letters, the mount manager's
    # link) and the registry keys of its interfaces go back as they were.
    WINEPREFIX=$TESTDISK_BUILD/prefix timeout 60 wine "$TESTDISK_BUILD/testdiskctl.exe" reset 2>/dev/null
    WINEPREFIX=$TESTDISK_BUILD/prefix wineserver -k 2>/dev/null
    WINEPREFIX=$TESTDISK_BUILD/prefix wineserver -w 2>/dev/null
    return 0
}

testdisk_ctl() {
    wine "$TESTDISK_BUILD/testdiskctl.exe" "$@"
}

testdisk_reset() {
    rm -f "$WINEPREFIX"/dosdevices/physicaldrive*
    testdisk_ctl reset
}

testdisk_stat() {
    testdisk_ctl stats | sed -n "s/^disk\.$1\.$2=//p"
}
