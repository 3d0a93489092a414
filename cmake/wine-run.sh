#!/usr/bin/env bash
# Runs a Windows executable under Wine in the build tree's own prefix.
# The prefix is created once (guarded by a lock) and its server is kept
# alive briefly between runs so consecutive tests don't pay for a restart.
set -euo pipefail

exe="$1"; shift
build_dir="${TOLVANE_BUILD_DIR:-$(cd "$(dirname "$exe")" && pwd)}"
# Test exes live in subfolders of the build tree; find its root by the cache file.
while [ ! -f "$build_dir/CMakeCache.txt" ] && [ "$build_dir" != "/" ]; do
    build_dir="$(dirname "$build_dir")"
done
[ -f "$build_dir/CMakeCache.txt" ] || { echo "wine-run: no build tree above $exe" >&2; exit 2; }

export WINEPREFIX="$build_dir/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# The lock's descriptor is closed for every Wine process started under it:
# they outlive this script and would hold the lock.
(
    flock 9
    if [ ! -f "$WINEPREFIX/.tolvane-ready" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1 9>&-
        wineserver -w 9>&-
        touch "$WINEPREFIX/.tolvane-ready"
    fi
    # Attached value: keep the server 60 s after the last client.
    wineserver -p60 </dev/null >/dev/null 2>&1 9>&- || true
    # Wine's own helper processes (service manager, device host) start with
    # the first client and live as long as the server; start them here with
    # no pipes attached, or ctest would wait on them for the captured output.
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$build_dir/.wineprefix.lock"

# Output goes through a file: a helper process Wine starts on demand while
# the test runs would otherwise hold ctest's pipe open after the test ends.
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
set +e
wine "$exe" "$@" </dev/null >"$out" 2>&1
rc=$?
set -e
cat "$out"
exit $rc
