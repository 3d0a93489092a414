#!/usr/bin/env bash
# The harness proves itself: a run that passes one test and then crashes,
# or stops with exit code 0 before its summary, is called failed by name,
# and the passing test alone passed. The runs' own output is kept out of
# this test's, so that Wine's crash report in a test log always means a
# crash nobody planned.
#
# usage: harness_selftest.sh HARNESS_CRASH_EXE
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../cmake/wine-lib.sh"
run="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../cmake" && pwd)/wine-run.sh"
exe="$1"

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
checks_done
