#!/usr/bin/env bash
# Runs a Windows executable under Wine in the build tree's own prefix, a
# copy of its prepared prefix made once (under a lock) and shared by the
# test executables; its server is kept alive briefly between runs so
# consecutive tests don't pay for a restart.
#
# TOLVANE_GTEST=1 judges a GoogleTest exe by what it printed, not by its
# exit code alone: a crash under Wine may end with exit code 0.
#
# TOLVANE_WINE_LOCALE runs it under that Unix locale instead (Wine takes the
# ANSI code page from it), in a prefix of its own: Wine rewrites a prefix's
# regional settings when the locale changes, and the shared one stays as it is.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-lib.sh"
wine_crashed() { :; }  # judged below, with the exe's name

exe="$1"; shift
build_dir="${TOLVANE_BUILD_DIR:-$(cd "$(dirname "$exe")" && pwd)}"
# Test exes live in subfolders of the build tree; find its root by the cache file.
while [ ! -f "$build_dir/CMakeCache.txt" ] && [ "$build_dir" != "/" ]; do
    build_dir="$(dirname "$build_dir")"
done
[ -f "$build_dir/CMakeCache.txt" ] || { echo "wine-run: no build tree above $exe" >&2; exit 2; }

wine_env win32
export WINEPREFIX="$build_dir/wine/run-win32"
if [ -n "${TOLVANE_WINE_LOCALE:-}" ]; then
    # locale -a spells the code set in lower case without dashes.
    listed=$(printf '%s' "$TOLVANE_WINE_LOCALE" | sed 's/\.\(.*\)$/.\L\1/; s/-//g')
    if ! locale -a 2>/dev/null | grep -qixF "$listed"; then
        echo "wine-run: locale $TOLVANE_WINE_LOCALE is not generated (scripts/setup.sh makes it)" >&2
        exit 2
    fi
    export LC_ALL="$TOLVANE_WINE_LOCALE"
    WINEPREFIX="$WINEPREFIX-$TOLVANE_WINE_LOCALE"
fi
mkdir -p "$build_dir/wine"
(
    flock 9
    # Made again when another Wine version is installed: Wine would update
    # the copy in place, through the files it shares with the template.
    [ -f "$WINEPREFIX/system.reg" ] && wine_current "$WINEPREFIX" && exit 0
    wine_prefix_new "$build_dir" win32 "$WINEPREFIX"
) 9>"$WINEPREFIX.lock" || { echo "wine-run: cannot create $WINEPREFIX" >&2; exit 2; }
wine_server_up

run_exe "$exe" "$@"
printf '%s' "$RUN_RAW_OUT"
printf '%s' "$RUN_RAW_ERR" >&2
name=$(basename "$exe")
if [ -n "$RUN_CRASH" ]; then
    printf 'wine-run: %s crashed (exit code %s)\n' "$name" "$RUN_RC" >&2
    exit 1
fi
if [ "${TOLVANE_GTEST:-0}" = 1 ] && ! verdict=$(gtest_verdict "$RUN_RAW_OUT"); then
    printf 'wine-run: %s did not pass (exit code %s): %s\n' "$name" "$RUN_RC" "$verdict" >&2
    exit 1
fi
exit $((RUN_RC & 255))
