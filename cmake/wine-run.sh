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

source "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"
wine_template "$WINEPREFIX" win32 || { echo "wine-run: cannot create $WINEPREFIX" >&2; exit 2; }
wine_server_up

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
