#!/usr/bin/env bash
# The harness proves itself on every branch of its verdicts:
# - gtest's verdict, on recorded texts, no Wine: a run passed (with skips,
#   with CR LF line ends) passes; a failed test, counts that do not add up,
#   output after the summary, no test at all, no summary each fail, named;
# - a run that passes one test and then crashes, or stops with exit code 0
#   before its summary, is called failed by name, and the passing test
#   alone passed;
# - a service the manager starts that crashes is found in the prefix's
#   helper log and fails a run, at its closing line and from its exit path.
# The runs' own output is kept out of this test's, so that Wine's crash
# report in a test log always means a crash nobody planned.
#
# usage: harness_selftest.sh HARNESS_CRASH_EXE BUILD_DIR
set -u
lib="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../cmake" && pwd)/wine-lib.sh"
source "$lib"
run="$(dirname "$lib")/wine-run.sh"
exe="$(realpath "$1")"
build="$(realpath "$2")"

# ---- gtest's verdict on recorded texts ----
# verdict TEXT: the verdict's exit code and what it said.
verdict() {
    local out rc=0
    out=$(gtest_verdict "$1") || rc=$?
    echo "$rc $out"
}
summary='[==========] 3 tests from 2 test suites ran. (4 ms total)'
check_eq "verdict: all passed" "0 " "$(verdict "$summary
[  PASSED  ] 3 tests.")"
check_eq "verdict: all passed, written with CR LF" "0 " \
    "$(verdict "$summary"$'\r\n[  PASSED  ] 3 tests.\r\n')"
check_eq "verdict: passed and skipped, the skipped listed" "0 " "$(verdict "$summary
[  PASSED  ] 2 tests.
[  SKIPPED ] 1 test, listed below:
[  SKIPPED ] Contract.Devices")"
check_eq "verdict: a failed test" "1 a test failed" "$(verdict "[ RUN      ] Seam.First
[  FAILED  ] Seam.First (1 ms)
$summary
[  PASSED  ] 2 tests.
[  FAILED  ] 1 test, listed below:
[  FAILED  ] Seam.First

 1 FAILED TEST")"
check_eq "verdict: counts that do not add up" "1 3 ran but 2 passed and 0 skipped" "$(verdict "$summary
[  PASSED  ] 2 tests.")"
check_eq "verdict: passed and skipped one short" "1 3 ran but 1 passed and 1 skipped" "$(verdict "$summary
[  PASSED  ] 1 test.
[  SKIPPED ] 1 test, listed below:
[  SKIPPED ] Contract.Devices")"
check_eq "verdict: output after the summary" "1 output after the summary: wine: Unhandled exception" \
    "$(verdict "$summary
[  PASSED  ] 3 tests.
wine: Unhandled exception")"
check_eq "verdict: no test ran" "1 no test ran" "$(verdict "[==========] 0 tests from 0 test suites ran. (0 ms total)
[  PASSED  ] 0 tests.")"
check_eq "verdict: no summary" "1 no summary: the run stopped before its end" "$(verdict "[ RUN      ] Seam.First
[       OK ] Seam.First (0 ms)")"
check_eq "verdict: a summary that says nothing passed" "1 the summary says no test passed" \
    "$(verdict "$summary")"

# ---- a gtest exe that crashes or stops early, under Wine ----
# judged ARGS...: wine-run.sh's exit code and its verdict line for the exe.
judged() {
    local out rc=0
    out=$(TOLVANE_GTEST=1 "$run" "$exe" "$@" 2>&1) || rc=$?
    echo "$rc $(grep '^wine-run: ' <<<"$out")"
}

check_eq "one passing test: passed" "0 " "$(judged --gtest_filter=Harness.PassesOne)"
check_eq "a crash after one test: failed, named" \
    "1 wine-run: harness_crash.exe crashed (exit code 5)" "$(judged)"
check_eq "a stop with exit code 0 before the summary: failed, named" \
    "1 wine-run: harness_crash.exe did not pass (exit code 0): no summary: the run stopped before its end" \
    "$(TOLVANE_HARNESS_STOP=1 judged)"

# ---- a service that crashes, started by the manager ----
# The exe as a service: the manager starts it and it crashes, into the
# helper log of a prefix of this test's own.
wine_env win32
prefix="$build/wine/harness"
trap 'wine_prefix_drop "$prefix"; checks_exit' EXIT
wine_prefix_new "$build" win32 "$prefix" || { fail "a fresh Wine prefix"; checks_done; exit 1; }
cp "$exe" "$prefix/drive_c/harness_crash.exe"
helpers="$prefix/$WINE_HELPER_LOG"
(
    export WINEPREFIX="$prefix"
    wine_server_up
    run_exe sc create HarnessCrash binPath= 'C:\harness_crash.exe'
    [ "$RUN_RC" = 0 ] || exit 1
    run_exe sc start HarnessCrash
    poll_until 20 grep -q '^wine: Unhandled ' "$helpers"
)
check "a service that crashes: its crash reaches the prefix's helper log" $? \
    "$(tr -d '\r' <"$helpers" 2>&1 | tail -n 5)"

# run_with_log MODE: a run with one check passed that reads the helper log
# at its closing line (done) or only in its exit trap, after that line
# (exit): its exit code and its last line.
inner="$prefix/with-log.sh"
cat >"$inner" <<'EOF'
source "$1"
if [ "$2" = done ]; then
    WINE_HELPER_LOGS="$3"$'\n'
else
    trap 'helper_log_check "$3"; checks_exit' EXIT
fi
pass "one check"
checks_done
EOF
run_with_log() {
    local out rc=0
    out=$(bash "$inner" "$lib" "$1" "$helpers" 2>&1) || rc=$?
    echo "$rc $(tail -n 1 <<<"$out")"
}
check_eq "a crash in the helper log fails the run at its closing line" "1 1 passed, 1 failed" \
    "$(run_with_log done)"
check_eq "a crash in the helper log found at exit fails the run" \
    "1 1 passed, 1 failed (failed at exit)" "$(run_with_log exit)"
checks_done
