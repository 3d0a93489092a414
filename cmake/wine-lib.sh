# shellcheck shell=bash disable=SC2034  # what it sets is for the sourcing script
# Shell library of the Wine scripts (sourced, not run): environment,
# prefixes, running an exe, polling, PASS/FAIL counts, and the simulated
# machine's service state and driver record.
#
# Every Wine process started here has descriptor 9 closed: callers hold a
# lock on it, and Wine's helper processes outlive the command that starts
# them, so they would hold the lock too.

WINE_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WINE_LIB_MACHINE=$WINE_LIB_DIR/../tests/machine

# ------------------------------------------------------------ environment ---

# wine_env ARCH: quiet Wine, no Mono or Gecko (nothing here needs them) and
# no display (nothing here draws).
wine_env() {
    export WINEARCH=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
}

# -------------------------------------------------------------- prefixes ---
#
# A build tree holds one prepared prefix per architecture, BUILD/wine/
# template-ARCH, booted once and never run in; whoever needs a prefix takes
# a copy. Wine's binaries and tables are written only when Wine updates a
# prefix made by another Wine version, and then in place: copies share them
# with the template as hard links, and everything else (registry, .ini
# files, whatever a program may write) is copied for real. A template that
# another Wine made, or that was written through a link, is not sound: it
# is made again, and nothing is copied from it meanwhile.

WINE_SHARED_FILES='.*\.\(dll\|exe\|sys\|drv\|ocx\|cpl\|acm\|ax\|tlb\|vxd\|com\|nls\|ds\|msstyles\)'
WINE_READY=.tolvane-ready
WINE_HELPER_LOG=.tolvane-helpers.log
WINE_HELPER_LOGS=""

# wine_boot PREFIX ARCH: a new prefix, with the service managers of its
# first boot finished. Fails when no prefix of that architecture results.
# No debugger starts on a crash: Wine's own ends the process with exit
# code 0 once it has printed its report, and a test would read that as a
# pass. With an empty one the process ends with the exception's code.
wine_boot() {
    local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' view
    WINEPREFIX="$1" WINEARCH="$2" wineboot -i </dev/null >/dev/null 2>&1 9>&-
    WINEPREFIX="$1" wineserver -w 9>&-
    [ -f "$1/system.reg" ] || return 1
    [ "$2" != win64 ] || [ -d "$1/drive_c/windows/syswow64" ] || return 1
    for view in 32 $([ "$2" = win64 ] && echo 64); do
        WINEPREFIX="$1" WINEARCH="$2" wine reg add "$aedebug" /v Debugger /d "" /f "/reg:$view" </dev/null >/dev/null 2>&1 9>&- || return 1
    done
    WINEPREFIX="$1" wineserver -w 9>&-
}

wine_template_path() { echo "$1/wine/template-$2"; }  # BUILD ARCH

# wine_current PREFIX: made by the Wine installed now, which stamps a
# prefix with the time of its wine.inf (a Wine laid out otherwise is trusted).
wine_current() {
    local inf=/usr/share/wine/wine.inf
    [ ! -f "$inf" ] || [ "$(tr -d '\r' <"$1/.update-timestamp" 2>/dev/null)" = "$(stat -c %Y "$inf")" ]
}

# wine_template_sound TEMPLATE: ready, made by this Wine with no debugger
# to start on a crash, and no file in it written since it was made.
wine_template_sound() {
    [ -f "$1/$WINE_READY" ] && wine_current "$1" && grep -q '^"Debugger"=""' "$1/system.reg" \
        && [ -z "$(find "$1" -type f -newer "$1/$WINE_READY" -print -quit)" ]
}

# wine_share_wow64 WIN64_PREFIX WIN32_PREFIX: the 64-bit prefix's 32-bit
# half (syswow64, the x86 assemblies) holds the same files as the 32-bit
# prefix: those are kept once, as links.
wine_share_wow64() {
    local rel twin
    (cd "$1" && find . -type f -regex "$WINE_SHARED_FILES" -print0) |
        while IFS= read -r -d '' rel; do
            case $rel in
                ./drive_c/windows/system32/*) continue ;;  # the 64-bit half
                ./drive_c/windows/syswow64/*) twin=./drive_c/windows/system32/${rel#./drive_c/windows/syswow64/} ;;
                *) twin=$rel ;;
            esac
            if [ -f "$2/$twin" ] && cmp -s "$1/$rel" "$2/$twin"; then ln -f "$2/$twin" "$1/$rel"; fi
        done
}

# wine_template BUILD ARCH: the build tree's prepared prefix for ARCH, made
# by whichever caller comes first (under a lock beside it). Fails, leaving
# nothing behind, when it cannot be made.
wine_template() {
    local build=$1 arch=$2 tpl
    tpl=$(wine_template_path "$build" "$arch")
    # The 64-bit prefix shares the 32-bit one's files: that one comes first.
    if [ "$arch" = win64 ]; then wine_template "$build" win32 || return 1; fi
    mkdir -p "$build/wine"
    (
        flock 9
        wine_template_sound "$tpl" && exit 0
        rm -rf "$tpl"
        WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all wine_boot "$tpl" "$arch" || { rm -rf "$tpl"; exit 1; }
        if [ "$arch" = win64 ]; then wine_share_wow64 "$tpl" "$(wine_template_path "$build" win32)"; fi
        touch "$tpl/$WINE_READY"
    ) 9>"$tpl.lock"
}

# wine_prefix_drop PREFIX: its server ended, the prefix deleted.
wine_prefix_drop() {
    [ -e "$1" ] || return 0
    WINEPREFIX=$(cd "$1" && pwd) wineserver -k </dev/null >/dev/null 2>&1 9>&- || true
    rm -rf "$1"
}

# wine_prefix_copy TEMPLATE DEST: a new prefix at DEST (replacing whatever
# was there), a copy of a sound template.
wine_prefix_copy() {
    local tpl=$1 dest=$2
    if ! wine_template_sound "$tpl"; then
        echo "wine-lib: $tpl is not a sound prepared prefix; make it again" >&2
        return 1
    fi
    wine_prefix_drop "$dest"
    mkdir -p "$(dirname "$dest")"
    cp -al "$tpl" "$dest" || return 1
    (cd "$tpl" && find . -type f ! -regex "$WINE_SHARED_FILES" -print0 |
        xargs -0 -r cp -a --parents --remove-destination --reflink=auto -t "$dest") || return 1
    rm -f "$dest/$WINE_READY"
}

# wine_prefix_new BUILD ARCH DEST: a fresh prefix at DEST, copied from the
# build tree's prepared prefix for ARCH.
wine_prefix_new() {
    wine_template "$1" "$2" && wine_prefix_copy "$(wine_template_path "$1" "$2")" "$3"
}

# wine_server_up: for $WINEPREFIX, a server that lingers 60 s after its
# last client (the value attached: "-p 60" would mean forever), and Wine's
# helper processes started now with no pipes of ours attached, or a caller
# capturing output would wait on them.
# Their output goes to a log in the prefix, and so does that of the
# services the manager starts: checks_done fails on a crash found there.
wine_server_up() {
    local log="$WINEPREFIX/$WINE_HELPER_LOG"
    wineserver -p60 </dev/null >/dev/null 2>&1 9>&- || true
    wine cmd.exe /c exit </dev/null >>"$log" 2>&1 9>&- || true
    case $'\n'"$WINE_HELPER_LOGS"$'\n' in *$'\n'"$log"$'\n'*) ;; *) WINE_HELPER_LOGS+="$log"$'\n' ;; esac
}

# -------------------------------------------------------------- running ---

# wine_crash_lines TEXT...: the lines in which Wine reports a process
# that crashed (an unhandled exception, a call to a function it lacks);
# fails when there are none. Wine prints them whatever WINEDEBUG says.
wine_crash_lines() {
    printf '%s\n' "$@" | grep -E '^wine: Unhandled |Unhandled exception|^wine: Call from .* to unimplemented function'
}

# run_exe EXE ARGS...: runs a Windows program under Wine. RUN_RAW_OUT and
# RUN_RAW_ERR are its output and error streams byte for byte, line ends
# and all: what judges the product's own output reads these. RUN_OUT and
# RUN_ERR hold the same without carriage returns or the last line end, for
# reading the answers of Wine's tools (reg, sc, the machine's control),
# whose line ends no check judges. RUN_RC is the exit code as a signed
# byte. The streams go through files: a Wine process may hand them on to
# processes that outlive it. A crash printed on either stream, whatever
# the exit code says, leaves its lines in RUN_CRASH and calls wine_crashed
# with the command.
run_exe() {
    local out err rc=0
    out=$(mktemp) && err=$(mktemp) || return 1
    wine "$@" </dev/null >"$out" 2>"$err" 9>&- || rc=$?
    RUN_RAW_OUT="" RUN_RAW_ERR=""
    IFS= read -r -d '' RUN_RAW_OUT <"$out" || true
    IFS= read -r -d '' RUN_RAW_ERR <"$err" || true
    RUN_OUT=$(tr -d '\r' <"$out")
    RUN_ERR=$(tr -d '\r' <"$err")
    rm -f "$out" "$err"
    RUN_RC=$((rc > 127 ? rc - 256 : rc))
    RUN_CRASH=$(wine_crash_lines "$RUN_OUT" "$RUN_ERR") || true
    [ -z "$RUN_CRASH" ] || wine_crashed "$@"
}

# crlf TEXT: CRLF, TEXT as a Windows program writes it: each line ended by
# CR LF; nothing for an empty TEXT. Compared with RUN_RAW_OUT or RUN_RAW_ERR.
crlf() {
    local line
    CRLF=""
    [ -n "$1" ] || return 0
    while IFS= read -r line; do CRLF+="$line"$'\r\n'; done <<<"$1"
}

# wine_crashed COMMAND...: by default a failed check named after the
# command; a script that keeps no checks defines its own.
wine_crashed() { fail "no crash: $*" "$RUN_CRASH"; }

# gtest_verdict OUTPUT: passes when a GoogleTest run's output, as it was
# written (each line ending in CR LF or LF), ends with its summary of all
# tests passed (skipped ones listed after it) and no test failed; otherwise
# prints why. A crash or an early stop leaves no summary at the end.
gtest_verdict() {
    printf '%s\n' "$1" | awk '
        /^\[  FAILED  \]/ { failed = 1 }
        /^\[==========\] [0-9]+ tests? from [0-9]+ test suites? ran\./ {
            ran = $2; passed = -1; skipped = 0; tail = ""; summary = 1; next }
        !summary || /^[[:space:]]*$/ { next }
        /^\[  PASSED  \] [0-9]+ tests?\.\r?$/ && passed < 0 && !skipping { passed = $4; next }
        /^\[  SKIPPED \] [0-9]+ tests?, listed below:\r?$/ && passed >= 0 && !skipping { skipped = $4; skipping = 1; next }
        skipping && /^\[  SKIPPED \] [^ \r]+\r?$/ { next }
        { tail = $0 }
        END {
            if (failed) { print "a test failed"; exit 1 }
            if (!summary) { print "no summary: the run stopped before its end"; exit 1 }
            if (tail != "") { print "output after the summary: " tail; exit 1 }
            if (passed < 0) { print "the summary says no test passed"; exit 1 }
            if (ran == 0) { print "no test ran"; exit 1 }
            if (passed + skipped != ran) { print ran " ran but " passed " passed and " skipped " skipped"; exit 1 }
        }'
}

# poll_until TIMEOUT_S COMMAND...: runs COMMAND every 0.1 s until it
# succeeds; fails when it has not within the time.
poll_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# reg_key_absent KEY: Wine's reg answers that KEY does not exist: exit
# code 1 and its own "reg: " message (which it prints on standard output),
# never merely a reg that failed.
reg_key_absent() {
    run_exe reg query "$1"
    [ "$RUN_RC" = 1 ] && [ "${RUN_OUT#reg: }" != "$RUN_OUT" ] && [ "$(wc -l <<<"$RUN_OUT")" = 1 ]
}

# --------------------------------------------------------------- checks ---

CHECKS_PASSED=0
CHECKS_FAILED=0

pass() { CHECKS_PASSED=$((CHECKS_PASSED + 1)); echo "PASS: $1"; }

# fail NAME [DETAILS]
fail() {
    CHECKS_FAILED=$((CHECKS_FAILED + 1))
    echo "FAIL: $1"
    if [ -n "${2:-}" ]; then printf '%s\n' "$2" | sed 's/^/    /'; fi
}

# check NAME STATUS [DETAILS]: passes when STATUS is 0
check() { if [ "$2" = 0 ]; then pass "$1"; else fail "$1" "${3:-}"; fi; }

# check_eq NAME WANT GOT
check_eq() {
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "want: $2
got:  $3"; fi
}

# helper_log_check LOG: wine_crashed, as after run_exe, when a prefix's
# services and helpers printed a crash into LOG (see wine_server_up).
helper_log_check() {
    [ -f "$1" ] || return 0
    RUN_CRASH=$(wine_crash_lines "$(tr -d '\r' <"$1")") || return 0
    wine_crashed "the services and helpers of $(dirname "$1")"
}

# stop_reply_lost NAME: a stop the exe reported refused while the service
# reached the state a stop leaves: Wine now and then loses the reply. Let
# pass once a run; beyond that it fails, as a product whose stop always
# fails would pass too.
STOP_REPLIES_LOST=0
stop_reply_lost() {
    STOP_REPLIES_LOST=$((STOP_REPLIES_LOST + 1))
    if [ "$STOP_REPLIES_LOST" = 1 ]; then
        echo "note: $1: the stop's reply was lost, judged by the state reached (allowed once a run)"
        pass "$1: exit code and output"
    else
        fail "$1: the reply to a stop lost $STOP_REPLIES_LOST times in one run, where Wine loses one now and then"
    fi
}

# checks_done: the closing "N passed, N failed" line; succeeds only when
# something passed and nothing failed. A check that fails later still, in
# the clean-up at exit (a crash found as a machine is dropped), is caught
# by checks_exit.
checks_done() {
    local log
    while IFS= read -r log; do
        [ -z "$log" ] || helper_log_check "$log"
    done <<<"$WINE_HELPER_LOGS"
    WINE_HELPER_LOGS=""
    echo "$CHECKS_PASSED passed, $CHECKS_FAILED failed"
    CHECKS_DONE_FAILED=$CHECKS_FAILED
    [ "$CHECKS_FAILED" = 0 ] && [ "$CHECKS_PASSED" -gt 0 ]
}

# checks_exit: last in a script's EXIT trap, after its clean-up: a check
# that failed after checks_done fails the run, with the line said again.
checks_exit() {
    [ -n "${CHECKS_DONE_FAILED:-}" ] && [ "$CHECKS_FAILED" != "$CHECKS_DONE_FAILED" ] || return 0
    echo "$CHECKS_PASSED passed, $CHECKS_FAILED failed (failed at exit)"
    exit 1
}

# ------------------------------------------------- the simulated machine ---
# MDIR names the machine the helpers below work on.

machine() { "$WINE_LIB_MACHINE/machine.sh" "$@"; }

# machine_drop MDIR: the machine deleted, a crash of its services (the
# product's service among them) first counted as a failed check.
machine_drop() {
    [ -n "$1" ] && [ -d "$1" ] || return 0
    helper_log_check "$1/prefix/$WINE_HELPER_LOG"
    machine destroy "$1" >/dev/null 2>&1
}

# machine_fresh OUT ARCH: the machine built into OUT has its pieces and a
# sound ARCH prefix, none older than its sources.
machine_fresh() {
    local tpl=$1/template-$2
    [ -f "$1/standins/sechost.dll" ] && [ -f "$1/standins/setupapi.dll" ] && wine_template_sound "$tpl" \
        && [ -z "$(find "$WINE_LIB_MACHINE/src" "$WINE_LIB_MACHINE/machine.sh" "$WINE_LIB_DIR/wine-lib.sh" \
                   -newer "$tpl/$WINE_READY" -print -quit)" ]
}

# svc_state NAME: stopped, running, ... or absent, which the manager alone
# says (error 1060); a query that fails otherwise answers what it printed,
# which is no state.
svc_state() { machine service-state "$MDIR" "$1" 2>&1 || echo "unreadable: machine service-state failed"; }
svc_state_is() { [ "$(svc_state "$1")" = "$2" ]; }
wait_state() { poll_until "$3" svc_state_is "$1" "$2"; }  # NAME STATE TIMEOUT_S

# The test Wi-Fi driver's record: one line per request it received. A read
# that fails adds a line no request has, so that neither an empty record
# nor a count or a comparison can pass on it.
record() {
    local rc=0
    machine received "$MDIR" || rc=$?
    [ "$rc" = 0 ] || echo "(the record was not read whole: machine received exited $rc)"
}
record_count() { record | grep -c '^code=' || true; }
record_after() { record | tail -n +"$(($1 + 1))"; }  # N: the lines after the first N

# request_line CODE VALUE GUID RESULT: the record of one request as the
# product sends it.
request_line() { echo "code=$1 value=$2 in=4 out=4 ioctl=0x00170002 dev=$3 result=$4"; }

# step COMMAND MDIR ARGS...: a step of a check's set-up on the machine
# (machine COMMAND MDIR ARGS...). One that fails is a failed check, named:
# what it should have made is missing, and a check after it could pass for
# want of it.
step() {
    local err
    err=$(machine "$@" 2>&1 >/dev/null) && return 0
    fail "set-up: machine $1 ${*:3}" "$err"
    return 1
}

# A device no pattern names: its events only make the service look again.
add_spare() {
    step add "$MDIR" bt SPARE --hwid 'MACHINE\SPARE' --stopped && SPARE_ON=0
}
spare_event() {
    if [ "$SPARE_ON" = 0 ]; then step event "$MDIR" SPARE arrival; SPARE_ON=1
    else step event "$MDIR" SPARE removal; SPARE_ON=0; fi
}

# until_count N TIMEOUT_S [nudge]: until the record holds at least N
# requests. With nudge, a spare-device event goes out each second while
# waiting, counted in NUDGES: Wine registers the service's listener in the
# background, so the first event after start-up may go unheard, and every
# event makes the service look at all devices again.
until_count() {
    local n=$1 deadline=$((SECONDS + $2)) nudge=${3:-} next=$((SECONDS + 1))
    NUDGES=0
    until [ "$(record_count)" -ge "$n" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        if [ -n "$nudge" ] && [ $SECONDS -ge $next ]; then
            spare_event
            NUDGES=$((NUDGES + 1))
            next=$((SECONDS + 1))
        fi
        sleep 0.1
    done
}
