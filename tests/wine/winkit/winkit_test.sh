#!/usr/bin/env bash
# The Windows test kit, made by scripts/winkit.sh from this build tree and
# run as a Windows machine would run it: unpacked into a fresh prefix that
# holds no simulated machine, run.cmd under Wine's cmd, from a folder whose
# name has a space and a "&". Passes when run.cmd passes after a run cut
# short left the package installed, and nothing is left behind, after the
# upgrade steps too (Wine's failed upgrade, which it cannot roll back,
# tolerated by name), run from a folder whose sc, msiexec, find and reg are
# not the system's. A kit that lacks a file, lies in a folder with a "!",
# or whose steps end before their summary must make run.cmd fail. A kit
# made for a release holds the package given and its exes. Its parsers of
# sc's (translated too), gtest's, cmd's, the installer's and the check's
# answers, run on recorded text, give the verdicts in parsers.expected.
#
# usage: winkit_test.sh BUILD_DIR
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../../cmake/wine-lib.sh"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
build="$(realpath "$1")"
version="$(sed -n 's/^project(tolvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
kitname="tolvane-winkit-$version"
newer="${version%.*}.$((${version##*.} + 1))"

wine_env win32
prefix="$build/wine/winkit"
dist="$build/wine/winkit.dist"
wine_prefix_new "$build" win32 "$prefix" || { fail "a fresh Wine prefix"; checks_done; exit 1; }
export WINEPREFIX="$prefix"
trap 'wine_prefix_drop "$prefix"; rm -rf "$dist"; checks_exit' EXIT
trap 'exit 1' INT TERM
rm -rf "$dist"

bash "$root/scripts/winkit.sh" --build "$build" --out "$dist" >"$build/wine/winkit.out" 2>&1
check "kit made" $? "$(cat "$build/wine/winkit.out")"
zip="$dist/$kitname.zip"
check_eq "kit contents" \
    "$(printf '%s\n' contract_tests.exe "failed/tolvane-$newer.msi" run.cmd "tolvane-$version.msi" tolvane-check.exe tolvane.exe unit_tests.exe "upgrade/tolvane-$newer.msi")" \
    "$(python3 -c 'import sys, zipfile
print("\n".join(sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' \
        "$zip" 2>&1)"
folder='Tolvane kit & co'
mkdir -p "$prefix/drive_c/$folder"
python3 -m zipfile -e "$zip" "$prefix/drive_c/$folder/"
kit="$prefix/drive_c/$folder/$kitname"
winkit="C:\\$folder\\$kitname"
log="$kit/tolvane-winkit.log"

# A kit for a release: the package given, and the two exes it holds.
bash "$root/scripts/winkit.sh" --build "$build" --release "$kit" --out "$dist/release" >"$build/wine/winkit.out" 2>&1
check "kit made for a release" $? "$(cat "$build/wine/winkit.out")"
python3 -m zipfile -e "$dist/release/$kitname.zip" "$dist/release/"
same() { cmp -s "$1" "$2" && echo same || echo "$2 differs"; }
check_eq "kit for a release: the package given, the exes in it" "$(printf 'same\nsame\nsame')" \
    "$(same "$kit/tolvane-$version.msi" "$dist/release/$kitname/tolvane-$version.msi"
       same "$build/tolvane.exe" "$dist/release/$kitname/tolvane.exe"
       same "$build/tolvane-check.exe" "$dist/release/$kitname/tolvane-check.exe")"

wine_server_up

# left_behind: what a run left of its own: services, the package's
# remembered properties and folder, the scratch folder. Asked of reg, each
# key's absence as reg says it.
left_behind() {
    local key
    for key in Services\\Tolvane_WINKIT Services\\Tolvane_WINKIT2 Services\\Tolvane_WINKITLONG \
               Services\\Tolvane_WINKITLONG2 Services\\Tolvane_WINKITPKG; do
        reg_key_absent "HKLM\\System\\CurrentControlSet\\$key" || echo "$key"
    done
    reg_key_absent 'HKLM\Software\Verdin\Tolvane' || echo 'the package remembered properties'
    [ ! -e "$prefix/drive_c/TolvaneWinkit" ] || echo 'C:\TolvaneWinkit'
    [ ! -e "$prefix/drive_c/Program Files/Tolvane" ] || echo 'C:\Program Files\Tolvane'
    [ ! -e "$kit/tolvane-winkit-sc-query.txt" ] || echo "sc's answer beside the log"
}

# kit_run NAME: judges the run of run.cmd in RUN_OUT and RUN_RC.
kit_run() {
    local last
    printf '%s\n' "$RUN_OUT" | sed 's/^/    /'
    check_eq "$1: exit code" 0 "$RUN_RC"
    last="$(tail -n 1 <<<"$RUN_OUT")"
    case "$last" in
        *" passed, 0 failed") pass "$1: $last" ;;
        *) fail "$1: last line [$last]" ;;
    esac
    check_eq "$1: log ends as the run did" "$last" "$(tr -d '\r' <"$log" | tail -n 1)"
    # The kit's test exes write into its log: a crash there is Wine's.
    check_eq "$1: no crash in the log" "" "$(wine_crash_lines "$(tr -d '\r' <"$log")")"
    check_eq "$1: nothing left behind" "" "$(left_behind)"
}

# The parsers of what sc, gtest and cmd print, on recorded text: under Wine
# the checks that use sc's are tolerated before sc is asked. A sc.cmd in
# the working folder prints qfailure-NAME.txt for "sc qfailure NAME" and
# qprivs-NAME.txt for "sc qprivs NAME". English and translated texts
# (labels, actions' names and units in the machine's language) pass;
# faults fail, each by name.
pdir="$prefix/drive_c/kit-parsers"
mkdir -p "$pdir"
# crlf_file NAME: standard input to NAME in that folder, as Windows writes it.
crlf_file() { sed 's/\r*$/\r/' >"$pdir/$1"; }
crlf_file sc.cmd <<'EOF'
@echo off
if /i "%2"=="Tolvane_WINKITBROKEN" exit /b 5
if /i not "%2"=="Tolvane_WINKITFR" goto :recorded
echo [SC] EnumQueryServicesStatus:OpenService ÉCHEC 1060 :
echo.
echo Le service spécifié n'existe pas en tant que service installé.
exit /b 1060
:recorded
if exist "%~dp0%1-%2.txt" (
    type "%~dp0%1-%2.txt"
    exit /b 0
)
echo [SC] OpenService FAILED 1060:
exit /b 1060
EOF
# The installer: busy (1618) while a msi-busy-N is left, then the code in
# msi-last.txt. Run in a command processor of its own, as an exe is.
crlf_file msiexec.cmd <<'EOF'
@echo off
for /l %%I in (1,1,9) do if exist "%~dp0msi-busy-%%I" call :busy %%I
set /p CODE=<"%~dp0msi-last.txt"
exit %CODE%
:busy
del "%~dp0msi-busy-%1"
exit 1618
EOF
# Tools of the same name as the system's, first in the working folder:
# the kit must never run them.
for tool in find reg; do printf '@echo off\nexit /b 1\n' | crlf_file "$tool.cmd"; done
# The check's /json: whole, with its exit code 2, 10 or 11, and cut short.
for code in 2 10 11; do
    printf '{\n  "schemaVersion": 1,\n  "checkVersion": "1.0.0.0",\n  "exitCode": %s,\n}\n' $code | crlf_file "check-j$code.json"
done
printf '{\n  "schemaVersion": 1,\n' | crlf_file check-cut.json
qfailure() {  # NAME RESET_LABEL ACTION_LINE...
    local name=$1 reset=$2 first=1 line
    shift 2
    {
        printf '[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Tolvane_WINKIT\n'
        printf '        %s : 86400\n        REBOOT_MESSAGE               :\n' "$reset"
        printf '        COMMAND_LINE                 :\n'
        for line; do
            if [ $first = 1 ]; then printf '        FAILURE_ACTIONS              : %s\n' "$line"
            else printf '                                       %s\n' "$line"; fi
            first=0
        done
    } | crlf_file "qfailure-$name.txt"
}
en='RESET_PERIOD (in seconds)   '
qfailure en "$en" 'RESTART -- Delay = 5000 milliseconds.' 'RESTART -- Delay = 5000 milliseconds.' \
    'NONE -- Delay = 0 milliseconds.'
qfailure zh 'RESET_PERIOD (秒数)       ' '重新启动 -- 延迟 = 5000 毫秒。' '重新启动 -- 延迟 = 5000 毫秒。' \
    '无 -- 延迟 = 0 毫秒。'
qfailure de 'RÜCKSETZUNGSZEITRAUM (in Sekunden)' 'NEU STARTEN -- Verzögerung = 5000 Millisekunden.' \
    'NEU STARTEN -- Verzögerung = 5000 Millisekunden.' 'KEINE -- Verzögerung = 0 Millisekunden.'
qfailure fr 'RESET_PERIOD (en secondes)  ' 'REDÉMARRER -- Délai = 5000 millisecondes.' \
    'REDÉMARRER -- Délai = 5000 millisecondes.' 'AUCUNE -- Délai = 0 millisecondes.'
qfailure ja 'RESET_PERIOD (秒)          ' '再起動 -- 遅延 = 5000 ミリ秒' '再起動 -- 遅延 = 5000 ミリ秒' \
    'なし -- 遅延 = 0 ミリ秒'
qfailure delay "$en" 'RESTART -- Delay = 5000 milliseconds.' 'RESTART -- Delay = 60000 milliseconds.' \
    'NONE -- Delay = 0 milliseconds.'
qfailure once 'RESET_PERIOD (秒)          ' '再起動 -- 遅延 = 5000 ミリ秒' 'なし -- 遅延 = 0 ミリ秒'
qfailure third "$en" 'RESTART -- Delay = 5000 milliseconds.' 'RESTART -- Delay = 5000 milliseconds.' \
    'RESTART -- Delay = 0 milliseconds.'
printf '[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Tolvane_WINKIT\n        RESET_PERIOD (in seconds)    : 3600\n' |
    crlf_file qfailure-reset.txt
qprivs() {  # NAME SUCCESS NAME_LABEL PRIVILEGES_LABEL PRIVILEGE...
    local name=$1 ok=$2 svc=$3 label=$4 first=1 p
    shift 4
    {
        printf '[SC] QueryServiceConfig2 %s\n\n%s: Tolvane_WINKIT\n' "$ok" "$svc"
        [ $# -gt 0 ] || printf '        %s :\n' "$label"
        for p; do
            if [ $first = 1 ]; then printf '        %s : %s\n' "$label" "$p"
            else printf '        %16s : %s\n' '' "$p"; fi
            first=0
        done
    } | crlf_file "qprivs-$name.txt"
}
qprivs en SUCCESS SERVICE_NAME 'PRIVILEGES      ' SeChangeNotifyPrivilege
qprivs de ERFOLG DIENSTNAME 'BERECHTIGUNGEN  ' SeChangeNotifyPrivilege
qprivs ja 成功 SERVICE_NAME '特権            ' SeChangeNotifyPrivilege
qprivs extra SUCCESS SERVICE_NAME 'PRIVILEGES      ' SeChangeNotifyPrivilege SeImpersonatePrivilege
qprivs none SUCCESS SERVICE_NAME 'PRIVILEGES      '
# gtest's output: a brief run, one with a skip, a crash (no summary: Wine
# may then exit 0), a failure, counts that do not add up, no test at all.
crlf_file gtest-brief.txt <<'EOF'
a message quoting "[  FAILED  ]" counts for nothing
[==========] 3 tests from 2 test suites ran. (12 ms total)
[  PASSED  ] 3 tests.
EOF
crlf_file gtest-skip.txt <<'EOF'
[==========] Running 2 tests from 1 test suite.
[ RUN      ] Contract.Devices
needs test devices: "none & none"
[  SKIPPED ] Contract.Devices (0 ms)
[ RUN      ] Contract.Folder
[       OK ] Contract.Folder (1 ms)
[==========] 2 tests from 1 test suite ran. (3 ms total)
[  PASSED  ] 1 test.
[  SKIPPED ] 1 test, listed below:
[  SKIPPED ] Contract.Devices
EOF
crlf_file gtest-crash.txt <<'EOF'
[==========] Running 5 tests from 1 test suite.
[ RUN      ] Seam.First
[       OK ] Seam.First (0 ms)
[ RUN      ] Seam.Second
wine: Unhandled page fault on execute access to 00000000 at address 00000000 (thread 0024), starting debugger...
EOF
crlf_file gtest-failed.txt <<'EOF'
[==========] Running 2 tests from 1 test suite.
[ RUN      ] Seam.First
x.cpp(12): error: Expected equality of these values:
  got
    Which is: "a & b"
[  FAILED  ] Seam.First (1 ms)
[==========] 2 tests from 1 test suite ran. (2 ms total)
[  PASSED  ] 1 test.
[  FAILED  ] 1 test, listed below:
[  FAILED  ] Seam.First

 1 FAILED TEST
EOF
crlf_file gtest-short.txt <<'EOF'
[==========] 3 tests from 1 test suite ran. (2 ms total)
[  PASSED  ] 2 tests.
EOF
crlf_file gtest-empty.txt <<'EOF'
[==========] 0 tests from 0 test suites ran. (0 ms total)
[  PASSED  ] 0 tests.
EOF
# cmd's command line: Explorer's double-click and "Run as administrator",
# a prompt, a hosted runner's step, a call, another script double-clicked,
# a window kept open by /k.
printf '%s\n' "C:\\Windows\\system32\\cmd.exe /c \"\"$winkit\\run.cmd\" \"" | crlf_file cmdline-explorer.txt
printf '%s\n' "C:\\Windows\\System32\\cmd.exe /C \"$winkit\\RUN.CMD\" " | crlf_file cmdline-runas.txt
printf '%s\n' '"C:\Windows\system32\cmd.exe" ' | crlf_file cmdline-prompt.txt
printf '%s\n' 'C:\Windows\system32\cmd.exe /D /E:ON /V:OFF /S /C "CALL "D:\a\_temp\4f1e.cmd""' |
    crlf_file cmdline-runner.txt
printf '%s\n' "cmd /c call \"$winkit\\run.cmd\"" | crlf_file cmdline-call.txt
printf '%s\n' 'C:\Windows\system32\cmd.exe /c ""C:\Other kit\run.cmd" "' | crlf_file cmdline-other.txt
printf '%s\n' "C:\\Windows\\system32\\cmd.exe /k \"\"$winkit\\run.cmd\"\"" | crlf_file cmdline-keep.txt
# sc query as Windows prints it, its labels in English, German (translated)
# and Japanese: the state is read from the value, whatever the label.
scquery() {  # NAME NAME_LABEL TYPE_LABEL STATE_LABEL STATE
    printf '\n%s: Tolvane_WINKIT\n        %s: 10  WIN32_OWN_PROCESS\n        %s: %s\n' "$2" "$3" "$4" "$5"
    printf '                                (STOPPABLE, NOT_PAUSABLE, ACCEPTS_SHUTDOWN)\n'
    printf '        WIN32_EXIT_CODE    : 0  (0x0)\n        SERVICE_EXIT_CODE  : 0  (0x0)\n'
    printf '        CHECKPOINT         : 0x0\n        WAIT_HINT          : 0x0\n'
}
scquery EN SERVICE_NAME 'TYPE               ' 'STATE              ' '4  RUNNING' | crlf_file query-Tolvane_WINKITEN.txt
scquery DE DIENSTNAME 'TYP                ' 'STATUS             ' '1  STOPPED' | crlf_file query-Tolvane_WINKITDE.txt
scquery JA SERVICE_NAME '種類               ' '状態               ' '3  STOP_PENDING' |
    crlf_file query-Tolvane_WINKITJA.txt
# A service's key left marked for deletion, and one left without the mark.
svckey='HKLM\System\CurrentControlSet\Services'
run_exe reg add "$svckey\\Tolvane_WINKITDEL" /v DeleteFlag /t REG_DWORD /d 1 /f
run_exe reg add "$svckey\\Tolvane_WINKITKEY" /v Start /t REG_DWORD /d 3 /f
run_exe cmd /c cd /d 'C:\kit-parsers' '&&' call "$winkit\\run.cmd" /parsers \
    recovery:en recovery:zh recovery:de recovery:fr recovery:ja \
    recovery:delay recovery:once recovery:third recovery:reset recovery:gone \
    privileges:en privileges:de privileges:ja privileges:extra privileges:none privileges:gone \
    gtest:brief gtest:skip gtest:crash gtest:failed gtest:short gtest:empty \
    clicked:explorer clicked:runas clicked:prompt clicked:runner clicked:call clicked:other clicked:keep \
    absent:Tolvane_WINKITDEL absent:Tolvane_WINKITKEY absent:Tolvane_WINKITNONE \
    state:Tolvane_WINKITEN state:Tolvane_WINKITDE state:Tolvane_WINKITJA state:Tolvane_WINKITNONE state:Tolvane_WINKITFR \
    state:Tolvane_WINKITBROKEN absent:Tolvane_WINKITBROKEN stop:-6 stop:-5 stop:-6 \
    msi:6/0 msi:7/0 msi:1/1603 \
    check:j2/2/2 check:j10/10/10 check:j11/11/11 check:cut/-1073741819/-1073741819 check:j2/3/2
check_eq "parsers on recorded text: exit code" 1 "$RUN_RC"
check_eq "parsers on recorded text: what each says" "$(cat "$root/tests/wine/winkit/parsers.expected")" "$RUN_OUT"
run_exe reg delete "$svckey\\Tolvane_WINKITDEL" /f
run_exe reg delete "$svckey\\Tolvane_WINKITKEY" /f

# No installer run of the kit may restart the machine by itself: all go
# through one line, with /norestart.
check_eq "every msiexec in run.cmd through one line, with /norestart" "0 1 1" \
    "$(grep -ic '^ *msiexec ' "$kit/run.cmd") $(grep -c '%MSIEXEC% ' "$kit/run.cmd") $(grep '%MSIEXEC% ' "$kit/run.cmd" | grep -c ' /norestart ')"

# A package left installed by a run cut short: removed first, by the
# installer, and the package step still runs.
run_exe msiexec /i "$winkit\\tolvane-$version.msi" /qn /norestart MODEL=WINKITPKG
check_eq "a package left installed before the run" 0 "$RUN_RC"

# run.cmd under Wine's cmd, as an administrator runs it on Windows, from
# the folder where sc, msiexec, find and reg are others than the system's.
run_exe cmd /c cd /d 'C:\kit-parsers' '&&' call "$winkit\\run.cmd"
kit_run "run.cmd"
grep -q '^  the package an earlier run left installed: removing {' "$log"
check "the package left installed removed by its product code" $?
grep -q '^PASS: package install: exit code' "$log"
check "the package step ran" $?
check_eq "the upgrade and the failed upgrade ran, the rollback tolerated" "1 1" \
    "$(grep -c $'^PASS: upgrade: its version\r$' "$log") $(grep -c $'^TOLERATED under Wine: failed upgrade: the older version back: wine-no-rollback: .*\r$' "$log")"
grep -q '^Windows: ' "$log"
check "log names the Windows version" $?
grep -q '"exitCode"' "$log"
check "log holds the check tool's /json" $?
for f in msi-cleanup.log msi-install.log msi-remove.log msi-previous.log msi-upgrade.log msi-failed-upgrade.log; do
    [ -s "$kit/$f" ]
    check "the installer's $f kept beside the log" $?
done

# A "!" in the kit's folder, which delayed expansion would eat: refused.
mkdir -p "$prefix/drive_c/kit!1"
cp "$kit/run.cmd" "$prefix/drive_c/kit!1/"
run_exe cmd /c call 'C:\kit!1\run.cmd'
check_eq "kit in a folder with a !: exit code" 1 "$RUN_RC"
check_eq "kit in a folder with a !: last line" "0 passed, 1 failed" "$(tail -n 1 <<<"$RUN_OUT")"
grep -qF "FAIL: the kit's folder C:\\kit!1\\ has a ! in its name" "$prefix/drive_c/kit!1/tolvane-winkit.log"
check "kit in a folder with a !: refused by name in its log" $?

# A log that cannot be written (here a folder of its name): said, by its
# path, and the run fails before any step.
mkdir -p "$prefix/drive_c/kit & ro/tolvane-winkit.log"
cp "$kit/run.cmd" "$prefix/drive_c/kit & ro/"
run_exe cmd /c call 'C:\kit & ro\run.cmd'
check_eq "log not writable: exit code and what the run says" "1
FAIL: cannot write C:\kit & ro\tolvane-winkit.log: unpack the kit into a folder of your own, such as C:\kit
0 passed, 1 failed" "$RUN_RC
$RUN_OUT"

# Steps that end before their summary, as a parse error ends them: said
# so, with a summary counted from the log.
mkdir -p "$prefix/drive_c/kit cut"
sed 's/^call :pass "runs as administrator"\r$/&\nexit 255\r/' "$kit/run.cmd" >"$prefix/drive_c/kit cut/run.cmd"
run_exe cmd /c call 'C:\kit cut\run.cmd'
check_eq "steps cut short: exit code" 1 "$RUN_RC"
end="$(printf '%s\n' "PASS: runs as administrator" "" \
    "FAIL: the run stopped before its summary, exit code 255: the lines above show where" "1 passed, 1 failed")"
check_eq "steps cut short: the end of the run and of its log" "$end
$end" "$(tail -n 4 <<<"$RUN_OUT")
$(tr -d '\r' <"$prefix/drive_c/kit cut/tolvane-winkit.log" | tail -n 4)"

# A failure reaches the last line and the exit code.
rm "$kit/contract_tests.exe"
run_exe cmd /c call "$winkit\\run.cmd"
check_eq "kit without its contract tests: exit code" 1 "$RUN_RC"
check_eq "kit without its contract tests: last line" "1 passed, 1 failed" "$(tail -n 1 <<<"$RUN_OUT")"

checks_done
