#!/usr/bin/env bash
# The Windows test kit, made by scripts/winkit.sh from this build tree and
# run as a Windows machine would run it: unpacked into a fresh prefix that
# holds no simulated machine, run.cmd under Wine's cmd, from a folder whose
# name has a space and a "&". Passes when run.cmd passes: after a run cut
# short left the package installed, and with sc printing translated labels;
# and nothing is left behind. A kit that lacks a file, or lies in a folder
# with a "!", must make run.cmd fail.
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
folder='Tolvane kit & co'
mkdir -p "$prefix/drive_c/$folder"
python3 -m zipfile -e "$zip" "$prefix/drive_c/$folder/"
kit="$prefix/drive_c/$folder/$kitname"
winkit="C:\\$folder\\$kitname"
log="$kit/tolvane-winkit.log"

wine_server_up

# left_behind: what a run left of its own: services, the package's
# remembered properties and folder, the scratch folder. Asked of reg, not
# of sc, which one of the runs replaces.
left_behind() {
    local key
    for key in Services\\Tolvane_WINKIT Services\\Tolvane_WINKIT2 Services\\Tolvane_WINKITLONG \
               Services\\Tolvane_WINKITLONG2 Services\\Tolvane_WINKITPKG; do
        run_exe reg query "HKLM\\System\\CurrentControlSet\\$key"
        [ "$RUN_RC" != 0 ] || echo "$key"
    done
    run_exe reg query 'HKLM\Software\Verdin\Tolvane'
    [ "$RUN_RC" != 0 ] || echo 'the package remembered properties'
    [ ! -e "$prefix/drive_c/TolvaneWinkit" ] || echo 'C:\TolvaneWinkit'
    [ ! -e "$prefix/drive_c/Program Files/Tolvane" ] || echo 'C:\Program Files\Tolvane'
}

# kit_run NAME: judges the run of run.cmd in RUN_OUT and RUN_RC; COUNTS:
# its checks passed or tolerated, and its skips.
kit_run() {
    local last skipped tolerated
    printf '%s\n' "$RUN_OUT" | sed 's/^/    /'
    check_eq "$1: exit code" 0 "$RUN_RC"
    last="$(tail -n 1 <<<"$RUN_OUT")"
    case "$last" in
        *" passed, 0 failed") pass "$1: $last" ;;
        *) fail "$1: last line [$last]" ;;
    esac
    check_eq "$1: log ends as the run did" "$last" "$(tr -d '\r' <"$log" | tail -n 1)"
    read -r skipped tolerated < <(tr -d '\r' <"$log" |
        sed -n 's/^\([0-9]*\) skipped, \([0-9]*\) Wine differences tolerated$/\1 \2/p')
    COUNTS="$((${last%% *} + ${tolerated:-0})) passed or tolerated, ${skipped:-?} skipped"
    check_eq "$1: nothing left behind" "" "$(left_behind)"
}

# No installer run of the kit may restart the machine by itself.
check_eq "every msiexec in run.cmd with /norestart" "3 3" \
    "$(grep -ic '^ *msiexec ' "$kit/run.cmd") $(grep -i '^ *msiexec ' "$kit/run.cmd" | grep -c ' /norestart ')"

# A package left installed by a run cut short: removed first, by the
# installer, and the package step still runs.
run_exe msiexec /i "$winkit\\tolvane-$version.msi" /qn /norestart MODEL=WINKITPKG
check_eq "a package left installed before the run" 0 "$RUN_RC"

# run.cmd under Wine's cmd, as an administrator runs it on Windows.
run_exe cmd /c call "$winkit\\run.cmd"
kit_run "run.cmd"
counts="$COUNTS"
grep -q '^  the package an earlier run left installed: removing {' "$log"
check "the package left installed removed by its product code" $?
grep -q '^PASS: package install: exit code' "$log"
check "the package step ran" $?
grep -q '^Windows: ' "$log"
check "log names the Windows version" $?
grep -q '"exitCode"' "$log"
check "log holds the check tool's /json" $?
for f in msi-cleanup.log msi-install.log msi-remove.log; do
    [ -s "$kit/$f" ]
    check "the installer's $f kept beside the log" $?
done

# sc as a non-English Windows prints it, its labels translated and the state
# names not: a sc.cmd in the working folder, which cmd runs before sc.exe.
mkdir -p "$prefix/drive_c/sc-de"
sed 's/$/\r/' >"$prefix/drive_c/sc-de/sc.cmd" <<'EOF'
@echo off
>>"%~dp0calls.txt" echo %*
for /f "delims=" %%L in ('%SystemRoot%\system32\sc.exe %*') do call :out "%%L"
exit /b 0
:out
set "L=%~1"
set "L=%L:SERVICE_NAME=DIENSTNAME%"
set "L=%L:STATE=STATUS%"
set "L=%L:TYPE=TYP%"
echo.%L%
EOF
run_exe cmd /c cd /d 'C:\sc-de' '&&' call "$winkit\\run.cmd"
kit_run "run.cmd, sc translated"
check_eq "sc translated: the same checks as untranslated" "$counts" "$COUNTS"
grep -q '^query Tolvane_WINKIT' "$prefix/drive_c/sc-de/calls.txt"
check "sc translated: the one run.cmd asked" $?

# A "!" in the kit's folder, which delayed expansion would eat: refused.
mkdir -p "$prefix/drive_c/kit!1"
cp "$kit/run.cmd" "$prefix/drive_c/kit!1/"
run_exe cmd /c call 'C:\kit!1\run.cmd'
check_eq "kit in a folder with a !: exit code" 1 "$RUN_RC"
check_eq "kit in a folder with a !: last line" "0 passed, 1 failed" "$(tail -n 1 <<<"$RUN_OUT")"
grep -qF "FAIL: the kit's folder C:\\kit!1\\ has a ! in its name" "$prefix/drive_c/kit!1/tolvane-winkit.log"
check "kit in a folder with a !: refused by name in its log" $?

# A failure reaches the last line and the exit code.
rm "$kit/contract_tests.exe"
run_exe cmd /c call "$winkit\\run.cmd"
check_eq "kit without its contract tests: exit code" 1 "$RUN_RC"
check_eq "kit without its contract tests: last line" "1 passed, 1 failed" "$(tail -n 1 <<<"$RUN_OUT")"

checks_done
