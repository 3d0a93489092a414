# Wine prefixes for the build and its tests (sourced, not run).
#
# Every Wine process started here has descriptor 9 closed: callers hold a
# lock on it, and Wine's helper processes outlive the command that starts
# them, so they would hold the lock too.

# wine_boot PREFIX ARCH: a new prefix, with the service managers of its
# first boot finished. Fails when no prefix of that architecture results.
wine_boot() {
    WINEPREFIX="$1" WINEARCH="$2" wineboot -i </dev/null >/dev/null 2>&1 9>&-
    WINEPREFIX="$1" wineserver -w 9>&-
    [ -f "$1/system.reg" ] || return 1
    [ "$2" != win64 ] || [ -d "$1/drive_c/windows/syswow64" ]
}

# wine_template PREFIX ARCH: the prefix, booted once by whichever caller
# comes first (under a lock beside it) and left for the others to use or
# copy. Fails, leaving nothing behind, when it cannot be made.
wine_template() {
    (
        flock 9
        [ -f "$1/.tolvane-ready" ] && exit 0
        rm -rf "$1"
        if ! wine_boot "$1" "$2"; then
            rm -rf "$1"
            exit 1
        fi
        touch "$1/.tolvane-ready"
    ) 9>"$1.lock"
}

# wine_server_up: for $WINEPREFIX, a server that lingers 60 s after its
# last client (the value attached: "-p 60" would mean forever), and Wine's
# helper processes started now with no pipes of ours attached, or a caller
# capturing output would wait on them.
wine_server_up() {
    wineserver -p60 </dev/null >/dev/null 2>&1 9>&- || true
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
}
