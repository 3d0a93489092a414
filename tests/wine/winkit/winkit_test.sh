#!/usr/bin/env bash
# The Windows test kit, made by scripts/winkit.sh from this build tree and
# run as a Windows machine would run it: unpacked into a fresh prefix that
# holds no simulated machine, run.cmd under Wine's cmd. Passes when run.cmd
# passes; and a kit that lacks a file must make run.cmd fail.
#
# usage: winkit_test.sh BUILD_DIR
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../../cmake/wine-lib.sh"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
build="$(realpath "$1")"
version="$(sed -n 's/^project(tolvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
kitname="tolvane-winkit-$version"

wine_env win32
prefix="$build/wine/winkit"
dist="$build/wine/winkit.dist"
wine_prefix_new "$build" win32 "$prefix" || { fail "a fresh Wine prefix"; checks_done; exit 1; }
export WINEPREFIX="$prefix"
trap 'wine_prefix_drop "$prefix"; rm -rf "$dist"' EXIT
trap 'exit 1' INT TERM
rm -rf "$dist"

bash "$root/scripts/winkit.sh" --build "$build" --out "$dist" >"$build/wine/winkit.out" 2>&1
check "kit made" $? "$(cat "$build/wine/winkit.out")"
zip="$dist/$kitname.zip"
check_eq "kit contents" \
    "$(printf '%s\n' contract_tests.exe run.cmd "tolvane-$version.msi" tolvane-check.exe tolvane.exe unit_tests.exe)" \
    "$(python3 -c 'import sys, zipfile
print("\n".join(sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' \
        "$zip" 2>&1)"
python3 -m zipfile -e "$zip" "$prefix/drive_c/"
kit="$prefix/drive_c/$kitname"
winkit="C:\\$kitname"

wine_server_up

# run.cmd under Wine's cmd, as an administrator runs it on Windows.
run_exe cmd /c "$winkit\\run.cmd"
printf '%s\n' "$RUN_OUT" | sed 's/^/    /'
check_eq "run.cmd: exit code" 0 "$RUN_RC"
last="$(tail -n 1 <<<"$RUN_OUT")"
case "$last" in
    *" passed, 0 failed") pass "run.cmd: $last" ;;
    *) fail "run.cmd: last line [$last]" ;;
esac
check_eq "log ends as the run did" "$last" "$(tr -d '\r' <"$kit/tolvane-winkit.log" | tail -n 1)"
grep -q '^Windows: ' "$kit/tolvane-winkit.log"
check "log names the Windows version" $?
grep -q '"exitCode"' "$kit/tolvane-winkit.log"
check "log holds the check tool's /json" $?
check_eq "nothing left in C:\\TolvaneWinkit" "no" "$([ -e "$prefix/drive_c/TolvaneWinkit" ] && echo yes || echo no)"

# A failure reaches the last line and the exit code.
rm "$kit/contract_tests.exe"
run_exe cmd /c "$winkit\\run.cmd"
check_eq "kit without its contract tests: exit code" 1 "$RUN_RC"
check_eq "kit without its contract tests: last line" "1 passed, 1 failed" "$(tail -n 1 <<<"$RUN_OUT")"

checks_done
