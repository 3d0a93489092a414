#!/bin/bash
# End to end: the real tolvane.exe installed and run as a service on the
# simulated machine, judged only by what the test Wi-Fi driver receives and
# by what the exe's commands print; and tolvane-check.exe beside it.  Each
# scenario gets a machine of its own.
#
# usage: e2e_service.sh TOLVANE_EXE BUILDDIR CHECK_EXE
# Prints one PASS/FAIL line per check and "N passed, N failed" last; exit 0
# only if nothing failed.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../../cmake/wine-lib.sh"
[ $# -ge 3 ] || { echo "usage: e2e_service.sh TOLVANE_EXE BUILDDIR CHECK_EXE" >&2; exit 2; }
[ -f "$1" ] && [ -f "$3" ] || { echo "e2e_service.sh: no exe at $1 or $3" >&2; exit 2; }
EXE=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
BUILD=$(cd "$2" && pwd)
CHECK_EXE=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
MOUT=$BUILD/machine
WORK=$BUILD/e2e
SVC=Tolvane_QM5520

# Fixed, made-up adapter GUIDs: never those of a real interface on the host.
G1='{7E57E2E0-0000-4000-8000-0000000000A1}'
G2='{7E57E2E0-0000-4000-8000-0000000000A2}'
BT_ID1='USB\VID_0B7C&PID_7B01&REV_0112'
BT_ID2='USB\VID_7E58&PID_7B02&REV_0001'
WIFI_ID1='PCI\VEN_7E57&DEV_7A37&SUBSYS_12117E57&REV_00'
WIFI_ID2='PCI\VEN_7E57&DEV_7A40&SUBSYS_12117E57&REV_00'
BT_PAT1='VID_0B7C&PID_7B01'
BT_PAT2='VID_7E58&PID_7B02'
WIFI_PAT='VEN_7E57&DEV_7A37'

wine_env win32
MDIR=""

teardown() {
    machine_drop "$MDIR"
    MDIR=""
}
trap 'teardown; checks_exit' EXIT
trap 'exit 130' INT TERM

# ------------------------------------------------------------ machine ---

# The machine's pieces: reuse what the machine self-test built into this
# build dir, unless missing or older than their sources.  A win64 machine
# is optional (it needs the x86-64 compiler and wine64), but if there is
# one it must be as fresh as the rest.
machine_ready() {
    machine_fresh "$MOUT" win32 && { [ ! -d "$MOUT/template-win64" ] || machine_fresh "$MOUT" win64; }
}

have_win64() { [ -f "$MOUT/template-win64/system.reg" ]; }

# machine_up NAME WINDOWS_FOLDER [WINE_VERSION [ARCH]]: a new machine with a
# spare Bluetooth device, the exe copied into the folder and its stand-ins
# in place.  On win64 the exe, being 32-bit, runs under WOW64.
machine_up() {
    local name=$1 folder=$2 winver=${3:-} arch=${4:-win32} rel
    MDIR=$WORK/$name
    machine create "$MDIR" "$MOUT" "$arch" >/dev/null || return 1
    eval "$(machine env "$MDIR")"
    if [ "$arch" = win64 ]; then
        [ "$WINEARCH" = win64 ] && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] || return 1
    fi
    rel=${folder#C:\\}
    INSTDIR=$WINEPREFIX/drive_c/${rel//\\//}
    EXE_WIN=$folder'\tolvane.exe'
    INI=$INSTDIR/tolvane.ini
    mkdir -p "$INSTDIR" && cp "$EXE" "$INSTDIR/tolvane.exe" || return 1
    machine install "$MDIR" tolvane.exe "$INSTDIR" >/dev/null || return 1
    if [ -n "$winver" ]; then
        machine wine "$MDIR" reg add 'HKCU\Software\Wine' /v Version /d "$winver" /f </dev/null >/dev/null 2>&1 \
            || return 1
    fi
    add_spare
}

# write_ini BTHWID WIFIHWID
write_ini() {
    printf '[Settings]\r\nBTHWID=%s\r\nWiFiHWID=%s\r\n' "$1" "$2" >"$INI.new" && mv "$INI.new" "$INI" \
        || fail "set-up: the settings file $INI written"
}

# tv ARGS...: runs the exe in the machine (RUN_OUT, RUN_RC)
tv() { run_exe "$EXE_WIN" "$@"; }

line() { request_line "$@"; }  # CODE VALUE GUID RESULT

# expect_new NAME BEFORE WANT [nudge]: the requests after the first BEFORE
# are exactly WANT (one per line).
expect_new() {
    local name=$1 before=$2 want=$3 n got
    n=$(printf '%s\n' "$want" | grep -c '^code=')
    until_count $((before + n)) 20 "${4:-}"
    got=$(record_after "$before")
    if [ "$NUDGES" -gt 0 ]; then name="$name (heard after $NUDGES spare event(s))"; fi
    [ "$got" = "$want" ]
    check "$name" $? "want:
$want
got:
$got"
}

# expect_record NAME WANT: the whole record is exactly WANT
expect_record() {
    local got
    got=$(record)
    [ "$got" = "$2" ]
    check "$1" $? "want:
$2
got:
$got"
}

# expect_tv NAME RC OUTPUT STATE ARGS...: the exe run with ARGS exits RC,
# prints exactly OUTPUT, each line ended by CR LF, and the service reaches
# STATE (- for any).
expect_tv() {
    local name=$1 rc=$2 out=$3 state=$4
    shift 4
    tv "$@"
    crlf "$out"
    [ "$RUN_RC" = "$rc" ] && [ "$RUN_RAW_OUT" = "$CRLF" ] && { [ "$state" = - ] || wait_state $SVC "$state" 20; }
    check "$name" $? "exit $RUN_RC, output:
$RUN_OUT
state: $(svc_state $SVC)"
}

# expect_stop NAME OUTPUT LATE_RC LATE_OUTPUT STATE ARGS...: as expect_tv
# for a command that stops the service, exit code 1; or, once a run, the
# stop's reply lost (LATE_RC and LATE_OUTPUT) and the service in STATE
# all the same.
expect_stop() {
    local name=$1 out=$2 late_rc=$3 late=$4 state=$5 want
    shift 5
    tv "$@"
    crlf "$out"
    want=$CRLF
    crlf "$late"
    if [ "$RUN_RC" = "$late_rc" ] && [ "$RUN_RAW_OUT" = "$CRLF" ] && wait_state $SVC "$state" 20; then
        stop_reply_lost "$name"
        return
    fi
    [ "$RUN_RC" = 1 ] && [ "$RUN_RAW_OUT" = "$want" ] && wait_state $SVC "$state" 20
    check "$name" $? "exit $RUN_RC, output:
$RUN_OUT
state: $(svc_state $SVC)"
}

# install_service: the exe's own /install, then running
install_service() {
    expect_tv "$1: /install prints Installed and Started, exits 1, the service runs" 1 "Service $SVC Installed.
Service $SVC Started." running /install
}

# install_both_on NAME: Bluetooth BT1 and the adapter W1 started, both
# named in the settings, then install_service.
install_both_on() {
    step add "$MDIR" bt BT1 --hwid "$BT_ID1" --started
    step add "$MDIR" wifi W1 --guid "$G1" --hwid "$WIFI_ID1" --started
    write_ini "$BT_PAT1" "$WIFI_PAT"
    install_service "$1"
}

# finish NAME WANT_RECORD: /uninstall stops and removes the service; the
# whole record is then exactly WANT_RECORD.
finish() {
    expect_stop "$1: /uninstall of the running service prints Stopped and Uninstalled, exits 1" \
        "Service $SVC Stopped.
Service $SVC Uninstalled." 1 "Service $SVC Uninstalled." absent /uninstall
    expect_record "$1: the driver received nothing else" "$2"
}

# ---------------------------------------------------------- scenarios ---

scenario_startup_both_on() {
    local s=start-up n want
    machine_up startup 'C:\tolvane' || { fail "$s: machine ready"; return; }
    install_both_on $s
    # Running is reported after the start-up probes: the record is final.
    want=$(line 0xFFF10220 1 "$G1" ok)
    expect_record "$s: Bluetooth and Wi-Fi on at start-up: one request, value 1, code 0xFFF10220" "$want"

    n=$(record_count)
    step stop "$MDIR" BT1
    expect_new "$s: Bluetooth switched off: one request, value 0" "$n" "$(line 0xFFF10220 0 "$G1" ok)" nudge
    n=$(record_count)
    step start "$MDIR" BT1
    expect_new "$s: Bluetooth switched on again: one request, value 1" "$n" "$(line 0xFFF10220 1 "$G1" ok)"

    expect_stop "$s: /stop prints Stopped, exits 1, the service stops" "Service $SVC Stopped." -6 "" \
        stopped /stop
    expect_tv "$s: /stop of a stopped service exits -6, prints nothing" -6 "" - /stop
    expect_tv "$s: /uninstall of the stopped service prints Uninstalled only, exits 1, the service is gone" 1 \
        "Service $SVC Uninstalled." absent /uninstall
    expect_tv "$s: /uninstall when not installed exits -3, prints nothing" -3 "" - /uninstall

    want=$(line 0xFFF10220 1 "$G1" ok; line 0xFFF10220 0 "$G1" ok; line 0xFFF10220 1 "$G1" ok)
    expect_record "$s: the driver received nothing else" "$want"
    teardown
}

scenario_wifi_late() {
    local s=wifi-late n want
    machine_up wifilate 'C:\tolvane' || { fail "$s: machine ready"; return; }
    step add "$MDIR" bt BT1 --hwid "$BT_ID1" --started
    write_ini "$BT_PAT1" "$WIFI_PAT"
    install_service $s
    [ -z "$(record)" ]
    check "$s: no Wi-Fi adapter at start-up: nothing sent" $? "$(record)"

    step add "$MDIR" wifi W1 --guid "$G1" --hwid "$WIFI_ID1" --started
    expect_new "$s: the adapter arriving gets the Bluetooth state once (value 1)" 0 \
        "$(line 0xFFF10220 1 "$G1" ok)" nudge

    # Events are handled in order but a little after they are raised, and
    # each handling looks at the devices as they are then: a step waits for
    # a request it can see before the next one changes the devices.
    # A stopped adapter's device stays reachable, so anything sent to it
    # while it is down is recorded.
    n=$(record_count)
    step stop "$MDIR" W1
    step stop "$MDIR" BT1
    expect_new "$s: adapter down, Bluetooth unchanged: nothing; Bluetooth off: 0, aimed at the adapter's old path" \
        "$n" "$(line 0xFFF10220 0 "$G1" ok)"
    n=$(record_count)
    step start "$MDIR" W1
    expect_new "$s: the adapter back up gets the current state once (value 0)" "$n" "$(line 0xFFF10220 0 "$G1" ok)"

    # Removed, the adapter can be sent nothing and no request shows that the
    # service has handled its removal: it stays out for a second.
    n=$(record_count)
    step remove "$MDIR" W1
    step start "$MDIR" BT1
    sleep 1
    step add "$MDIR" wifi W1 --guid "$G1" --hwid "$WIFI_ID1" --started
    expect_new "$s: adapter removed, Bluetooth on meanwhile: plugged back, it gets value 1 once" \
        "$n" "$(line 0xFFF10220 1 "$G1" ok)"

    want=$(line 0xFFF10220 1 "$G1" ok; line 0xFFF10220 0 "$G1" ok; line 0xFFF10220 0 "$G1" ok
           line 0xFFF10220 1 "$G1" ok)
    finish $s "$want"
    teardown
}

scenario_ini_edit() {
    local s=pattern-edit n want
    machine_up iniedit 'C:\tolvane' || { fail "$s: machine ready"; return; }
    step add "$MDIR" bt BT1 --hwid "$BT_ID1" --started
    step add "$MDIR" bt BT2 --hwid "$BT_ID2" --stopped
    step add "$MDIR" wifi W1 --guid "$G1" --hwid "$WIFI_ID1" --started
    write_ini "$BT_PAT2" "$WIFI_PAT"
    install_service $s
    want=$(line 0xFFF10220 0 "$G1" ok)
    expect_record "$s: pattern names the stopped Bluetooth device: one request at start-up, value 0" "$want"

    write_ini "$BT_PAT1" "$WIFI_PAT"
    expect_new "$s: pattern edited to the started device while running: the next event sends 1" 1 \
        "$(line 0xFFF10220 1 "$G1" ok)" nudge

    n=$(record_count)
    write_ini "$BT_PAT2" "$WIFI_PAT"
    spare_event
    expect_new "$s: edited back: one unrelated device event later, value 0" "$n" "$(line 0xFFF10220 0 "$G1" ok)"

    n=$(record_count)
    write_ini "$BT_PAT1" "$WIFI_PAT"
    spare_event
    expect_new "$s: and to the started one again: value 1" "$n" "$(line 0xFFF10220 1 "$G1" ok)"

    # The lookup upper-cases the hardware ID, not the pattern: the started
    # device's pattern in lower case names no device, which counts as off.
    n=$(record_count)
    write_ini "$(tr 'A-Z' 'a-z' <<<"$BT_PAT1")" "$WIFI_PAT"
    spare_event
    expect_new "$s: the same pattern in lower case matches nothing: value 0" "$n" "$(line 0xFFF10220 0 "$G1" ok)"

    want=$(line 0xFFF10220 0 "$G1" ok; line 0xFFF10220 1 "$G1" ok; line 0xFFF10220 0 "$G1" ok
           line 0xFFF10220 1 "$G1" ok; line 0xFFF10220 0 "$G1" ok)
    finish $s "$want"
    teardown
}

STATUS_KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$SVC\\Status"

# expect_status NAME RC WANT: tolvane-check /json exits RC and its
# lastRequest has the fields WANT names ("key=value ...", strings bare), in
# a few tries: the status is written just after the driver's record.
expect_status() {
    local name=$1 rc=$2 want=$3 got try ok=1
    for try in 1 2 3 4 5; do
        run_exe 'C:\tolvane\tolvane-check.exe' /json
        got=$(python3 -c '
import json, sys
r = json.loads(sys.stdin.read())["lastRequest"]
print(" ".join("%s=%s" % (k, r[k] if isinstance(r[k], str) else json.dumps(r[k]))
               for k in sys.argv[1].split()) if r else "null")
' "$(sed 's/=[^ ]*//g' <<<"$want")" <<<"$RUN_OUT" 2>&1)
        if [ "$RUN_RC" = "$rc" ] && [ "$got" = "$want" ]; then ok=0; break; fi
        sleep 1
    done
    check "$name" $ok "exit $RUN_RC
want: $want
got:  $got"
}

# until_seen N: the record holds N requests (20 s at most, no event sent);
# SEEN is when, in seconds of the script.
until_seen() { until_count "$1" 20 && SEEN=$SECONDS; }

# The inserts of the events the service wrote, one a line after the type
# Wine traces them with (information: trace; warning: warn; error: err).
events_traced() {
    tr -d '\r' <"$WINEPREFIX/$WINE_HELPER_LOG" |
        sed -n 's/^[0-9a-f]*:\(trace\|warn\|err\):eventlog:ReportEventW /\1 /p'
}

# A request the driver fails is sent again by the service itself, 2 s after
# the refusal, then 4 s after the next, with no device event, until the
# adapter that stands has been told; then nothing more. The service's
# Status key and the check tool show each step.
scenario_driver_fails() {
    local s=driver-fails want path='\\.\'$G1 t0 t1 told
    # The manager, and the service it starts, trace the events' inserts:
    # Wine keeps no log, its ReportEventW writes them to the helper log.
    MACHINE_WINEDEBUG=-all,+eventlog machine_up drvfail 'C:\tolvane' ||
        { fail "$s: machine ready"; return; }
    cp "$CHECK_EXE" "$INSTDIR/tolvane-check.exe" \
        && machine install "$MDIR" tolvane-check.exe "$INSTDIR" >/dev/null \
        || { fail "$s: the check tool in place"; return; }
    install_both_on $s
    expect_status "$s: after start-up the status shows 1 accepted by the adapter, the check exits 0" 0 \
        "state=1 adapter=$path accepted=true failedAt=null error=0 acceptedState=1 sent=1 refused=0 retryWaiting=false retryUtc=null fromLastRun=false"
    run_exe reg query "$STATUS_KEY"
    [ "$RUN_RC" = 0 ] && grep -qE '^ +Accepted +REG_DWORD +0x1$' <<<"$RUN_OUT" \
        && grep -qF "Adapter    REG_SZ    $path" <<<"$RUN_OUT" \
        && grep -qE '^ +TimeUtc +REG_SZ +20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$' <<<"$RUN_OUT"
    check "$s: reg query reads the same status" $? "exit $RUN_RC
$RUN_OUT"
    # Once the service is heard to take events, no spare event may go out
    # unasked: it would itself be the next event.
    step stop "$MDIR" BT1
    expect_new "$s: the adapter told at start-up hears Bluetooth off" 1 "$(line 0xFFF10220 0 "$G1" ok)" nudge
    step start "$MDIR" BT1
    expect_new "$s: and Bluetooth on" 2 "$(line 0xFFF10220 1 "$G1" ok)"

    step fail-next "$MDIR" 2
    step stop "$MDIR" BT1
    until_seen 4; t0=$SEEN
    until_seen 5; t1=$SEEN
    [ "$(record_after 3)" = "$(line 0xFFF10220 0 "$G1" fail; line 0xFFF10220 0 "$G1" fail)" ] \
        && [ $((t1 - t0)) -ge 1 ] && [ $((t1 - t0)) -le 4 ]
    check "$s: Bluetooth off, refused; with no device event the service sends it again 2 s later, refused again" \
        $? "after $((t1 - t0)) s:
$(record_after 3)"
    expect_status "$s: the status shows the refusal at the control, error 31, the retry due; the check exits 8" 8 \
        "state=0 accepted=false failedAt=control error=31 errorName=ERROR_GEN_FAILURE acceptedState=1 sent=5 refused=2 retryWaiting=true retry=waiting"
    until_seen 6
    [ "$(record_after 5)" = "$(line 0xFFF10220 0 "$G1" ok)" ] \
        && [ $((SEEN - t1)) -ge 3 ] && [ $((SEEN - t1)) -le 6 ]
    check "$s: 4 s after the second refusal, still with no device event, the retry is accepted" $? \
        "after $((SEEN - t1)) s:
$(record_after 5)"
    expect_status "$s: the retry delivered: the status shows 0 accepted, no retry due, the check exits 0" 0 \
        "state=0 accepted=true acceptedState=0 sent=6 refused=2 retryWaiting=false retryUtc=null"
    # Nothing more by itself: a second on, the next change is the only
    # request after it.
    sleep 1
    spare_event
    sleep 1
    step start "$MDIR" BT1
    expect_new "$s: once told, nothing more is sent; the next change is (value 1)" 6 \
        "$(line 0xFFF10220 1 "$G1" ok)"
    [ "$(svc_state $SVC)" = running ]
    check "$s: the service is still running" $? "state: $(svc_state $SVC)"

    want=$(line 0xFFF10220 1 "$G1" ok; line 0xFFF10220 0 "$G1" ok; line 0xFFF10220 1 "$G1" ok
           line 0xFFF10220 0 "$G1" fail; line 0xFFF10220 0 "$G1" fail; line 0xFFF10220 0 "$G1" ok
           line 0xFFF10220 1 "$G1" ok)
    finish $s "$want"
    # Started; the first refusal alone (the second writes nothing); told
    # after two refusals, in the seconds the retries took (2 to 7).
    told=$(events_traced | sed -n '13p')
    want="trace L\"$SVC\"|trace L\"12\"|trace L\"$BT_PAT1\"|trace L\"$WIFI_PAT\"|trace L\"\\\\\\\\.\\\\$G1\"|"
    want+="warn L\"0\"|warn L\"control\"|warn L\"31\"|warn L\"\\\\\\\\.\\\\$G1\"|warn L\"2\"|"
    want+="trace L\"0\"|trace L\"2\"|$told|trace L\"\\\\\\\\.\\\\$G1\"|"
    [[ "$told" =~ ^trace\ L\"[2-7]\"$ ]] && [ "$(events_traced | tr '\n' '|')" = "$want" ]
    check "$s: the events of the start, the first refusal and the recovery, as Wine traces them" $? \
        "want (the seconds 2 to 7):
${want//|/$'\n'}
got:
$(events_traced)"
    # The key of a service that is gone (Wine's reg says "not found" on
    # standard output: the exit code tells).
    reg_key_absent "$STATUS_KEY"
    check "$s: after /uninstall nothing of the status is left" $? "exit $RUN_RC
$RUN_OUT"
    teardown
}

# A driver that holds the request: /stop still reaches the stopped state
# within 10 s, the request cancelled. Then, on a new start, a resume from
# sleep tells the adapter the state once.
scenario_driver_holds() {
    local s=driver-holds want t0
    machine_up drvhold 'C:\tolvane' || { fail "$s: machine ready"; return; }
    install_both_on $s
    # Events heard before any is held: a nudge held would delay the stop.
    step stop "$MDIR" BT1
    expect_new "$s: Bluetooth off: value 0" 1 "$(line 0xFFF10220 0 "$G1" ok)" nudge
    step hold "$MDIR" on
    step start "$MDIR" BT1
    expect_new "$s: Bluetooth on: the driver holds the request" 2 "$(line 0xFFF10220 1 "$G1" held)"
    t0=$SECONDS
    expect_stop "$s: /stop with a held request exits 1 and prints Stopped." "Service $SVC Stopped." -6 "" \
        stopped /stop
    [ "$(svc_state $SVC)" = stopped ] && [ $((SECONDS - t0)) -le 10 ] \
        && [ "$(record_after 2)" = "$(line 0xFFF10220 1 "$G1" held; line 0xFFF10220 1 "$G1" cancelled)" ]
    check "$s: /stop reaches the stopped state within 10 s, the held request cancelled" $? \
        "after $((SECONDS - t0)) s, state $(svc_state $SVC), exit $RUN_RC: $RUN_OUT
$(record_after 2)"
    step hold "$MDIR" off

    expect_tv "$s: /start" 1 "Service $SVC Started." running /start
    expect_new "$s: started again: value 1" 4 "$(line 0xFFF10220 1 "$G1" ok)"
    step service-resume "$MDIR" $SVC
    expect_new "$s: a resume from sleep: the adapter told once more, value 1" 5 "$(line 0xFFF10220 1 "$G1" ok)"
    sleep 2
    want=$(line 0xFFF10220 1 "$G1" ok; line 0xFFF10220 0 "$G1" ok; line 0xFFF10220 1 "$G1" held
           line 0xFFF10220 1 "$G1" cancelled; line 0xFFF10220 1 "$G1" ok; line 0xFFF10220 1 "$G1" ok)
    finish $s "$want"
    teardown
}

# Model edited after /install, the service restarted with sc: the manager
# starts it by its registered name, whose key alone holds the status; no key
# of the new name is made. Restarted with nothing to send, the service
# leaves no status of an earlier run.
scenario_model_edited() {
    local s=model-edited services='HKLM\SYSTEM\CurrentControlSet\Services' try ok
    machine_up modeledit 'C:\tolvane' || { fail "$s: machine ready"; return; }
    step add "$MDIR" bt BT1 --hwid "$BT_ID1" --started
    step add "$MDIR" wifi W1 --guid "$G1" --hwid "$WIFI_ID1" --started
    model_ini() {
        printf '[Product]\r\nModel=%s\r\n[Settings]\r\nBTHWID=%s\r\nWiFiHWID=%s\r\n' \
            "$1" "$BT_PAT1" "$WIFI_PAT" >"$INI.new" && mv "$INI.new" "$INI"
    }
    # restart: sc stop, then sc start, each judged by the state reached
    restart() {
        run_exe sc stop Tolvane_MEA
        wait_state Tolvane_MEA stopped 20 && run_exe sc start Tolvane_MEA \
            && wait_state Tolvane_MEA running 20
    }
    model_ini MEA
    tv /install
    [ "$RUN_RC" = 1 ] && wait_state Tolvane_MEA running 20
    check "$s: installed as Tolvane_MEA and running" $? "exit $RUN_RC: $RUN_OUT"
    model_ini MEB
    restart
    check "$s: Model edited to MEB, Tolvane_MEA restarted with sc" $? "state: $(svc_state Tolvane_MEA)"
    expect_new "$s: the restarted service tells the adapter once" 1 "$(line 0xFFF10220 1 "$G1" ok)"
    ok=1
    for try in 1 2 3 4 5; do
        run_exe reg query "$services\Tolvane_MEA\Status" /v Sent
        if [ "$RUN_RC" = 0 ] && grep -qE '^ +Sent +REG_DWORD +0x1$' <<<"$RUN_OUT"; then ok=0; break; fi
        sleep 1
    done
    check "$s: the status is under Tolvane_MEA, this run's (Sent 1)" $ok "exit $RUN_RC
$RUN_OUT"
    reg_key_absent "$services\Tolvane_MEB"
    check "$s: no key Tolvane_MEB was made" $? "exit $RUN_RC
$RUN_OUT"
    step remove "$MDIR" W1
    restart
    reg_key_absent "$services\Tolvane_MEA\Status"
    check "$s: restarted with no adapter, the last run's status is gone" $? "exit $RUN_RC
$RUN_OUT"
    model_ini MEA
    tv /uninstall
    wait_state Tolvane_MEA absent 20
    check "$s: /uninstall removes Tolvane_MEA" $? "exit $RUN_RC: $RUN_OUT"
    teardown
}

scenario_winxp() {
    local s=winxp n want
    # A folder with a space: the image path must be registered quoted.
    machine_up winxp 'C:\Program Files\Tolvane' winxp || { fail "$s: machine ready"; return; }
    install_both_on $s
    want=$(line 0x0DF10220 1 "$G1" ok)
    expect_record "$s: on Windows XP the start-up request carries code 0x0DF10220, value 1" "$want"
    step stop "$MDIR" BT1
    expect_new "$s: Bluetooth switched off: code 0x0DF10220, value 0" 1 "$(line 0x0DF10220 0 "$G1" ok)" nudge
    want=$(line 0x0DF10220 1 "$G1" ok; line 0x0DF10220 0 "$G1" ok)
    finish $s "$want"
    teardown
}

# A 64-bit host, the exe under WOW64: start-up with Bluetooth and the
# adapter on, then Bluetooth off.  A second adapter that the pattern does
# not name is enumerated after the matching one: the last match stands, so
# a lookup that lost the pattern would aim at it.
# scenario_win64 NAME WINE_VERSION CODE HOST_TEXT
scenario_win64() {
    local s=$1 winver=$2 code=$3 host=$4 want
    machine_up "$s" 'C:\Program Files (x86)\Tolvane' "$winver" win64 \
        || { fail "$s: machine ready"; return; }
    step add "$MDIR" bt BT1 --hwid "$BT_ID1" --started
    step add "$MDIR" wifi W1 --guid "$G1" --hwid "$WIFI_ID1" --started
    step add "$MDIR" wifi W2 --guid "$G2" --hwid "$WIFI_ID2" --started
    write_ini "$BT_PAT1" "$WIFI_PAT"
    install_service "$s"
    want=$(line "$code" 1 "$G1" ok)
    expect_record "$s: $host, both on at start-up: one request to the matching adapter, code $code, value 1" "$want"
    step stop "$MDIR" BT1
    expect_new "$s: Bluetooth switched off: code $code, value 0" 1 "$(line "$code" 0 "$G1" ok)" nudge
    want=$(line "$code" 1 "$G1" ok; line "$code" 0 "$G1" ok)
    finish "$s" "$want"
    teardown
}

# tolvane-check.exe beside the service, on the machine as it is: first the
# adapter stopped and BTHWID in lower case, then both put right and the
# service installed.  The tool opens the adapter's path but sends nothing:
# the driver hears the service's one start-up request only.
scenario_check() {
    local s=check missing
    machine_up check 'C:\Program Files\Tolvane' || { fail "$s: machine ready"; return; }
    cp "$CHECK_EXE" "$INSTDIR/tolvane-check.exe" \
        && machine install "$MDIR" tolvane-check.exe "$INSTDIR" >/dev/null \
        || { fail "$s: the check tool in place"; return; }
    step add "$MDIR" bt BT1 --hwid "$BT_ID1" --started
    step add "$MDIR" wifi W1 --guid "$G1" --hwid "$WIFI_ID1" --stopped
    write_ini "$(tr 'A-Z' 'a-z' <<<"$BT_PAT1")" "$WIFI_PAT"
    # Another service whose display name is the one in force (the default).
    machine service-install "$MDIR" 'Verdin Service' 'C:\windows\system32\notepad.exe' >/dev/null \
        || { fail "$s: a service named Verdin Service"; return; }

    run_exe 'C:\Program Files\Tolvane\tolvane-check.exe'
    missing=$(for want in '  BTHWID              file     vid_0b7c&pid_7b01' \
                  "  no     started  $BT_ID1" "* 1  yes    stopped  $WIFI_ID1" \
                  '  Display name        taken by Verdin Service' \
                  '  ! Another service already has the display name ServiceDisplayName gives: the' \
                  '  ! BTHWID has lower-case letters: hardware IDs are compared upper-cased, so it' \
                  '  Path opens          not tried: the adapter is not started' \
                  '  Suggested pattern   VEN_7E57&DEV_7A37' \
                  'Result 3: the adapter that matches is not started'; do
                  grep -qF -- "$want" <<<"$RUN_OUT" || echo "missing: $want"
              done)
    [ "$RUN_RC" = 3 ] && [ -z "$missing" ]
    check "$s: adapter stopped, BTHWID in lower case, display name taken: exit 3, the devices as the service sees them, warnings" \
        $? "exit $RUN_RC
$missing
output:
$RUN_OUT"
    step service-delete "$MDIR" 'Verdin Service'

    # An unknown option: named on standard error with the usage, nothing on
    # standard output.
    run_exe 'C:\Program Files\Tolvane\tolvane-check.exe' /bogus
    crlf "tolvane-check: unknown option /bogus

Usage: tolvane-check [/json]"
    [ "$RUN_RC" = 6 ] && [ -z "$RUN_RAW_OUT" ] && [ "${RUN_RAW_ERR:0:${#CRLF}}" = "$CRLF" ] \
        && grep -qF '  7  the settings file, the adapter' <<<"$RUN_RAW_ERR"
    check "$s: /bogus: exit 6, the option and the usage on standard error" $? "exit $RUN_RC
stdout: $RUN_OUT
stderr: $RUN_ERR"

    # The settings file's path at the profile read's limit: 259 characters
    # are read, 260 are refused with a warning of their own. Started by full
    # path: Wine cannot enter a working directory that long.
    local base='C:\Program Files\Tolvane\' length dir
    for length in 259 260; do
        dir=$(printf 'L%.0s' $(seq $((length - ${#base} - 12))))
        machine install "$MDIR" tolvane-check.exe "$INSTDIR/$dir" >/dev/null \
            && cp "$CHECK_EXE" "$INSTDIR/$dir/tolvane-check.exe" \
            && printf '[Product]\r\nModel=LEN%s\r\n' "$length" >"$INSTDIR/$dir/tolvane.ini" \
            || { fail "$s: the check tool in a folder for $length characters"; continue; }
        run_exe "$base$dir\\tolvane-check.exe" /json
        missing=$(python3 -c '
import json, sys
d = json.loads(sys.stdin.read())
ini, length = sys.argv[1], int(sys.argv[2])
s = d["settings"]
facts = {"file": (s["file"], ini), "fileInReach": (s["fileInReach"], length < 260),
         "Model": (s["keys"][0]["value"], "LEN259" if length < 260 else None),
         "warnings": ([w["id"] for w in d["warnings"]][:1] == ["settings-path-too-long"], length >= 260),
         "result": (d["result"] == "no-settings", length >= 260)}
print("\n".join("%s: got %r, want %r" % (k, g, w) for k, (g, w) in facts.items() if g != w))
' "$base$dir\\tolvane.ini" "$length" <<<"$RUN_OUT" 2>&1)
        [ -z "$missing" ] && { [ "$length" = 259 ] || [ "$RUN_RC" = 1 ]; }
        check "$s: settings path of $length characters: $([ "$length" = 259 ] && echo read || echo 'refused, exit 1, settings-path-too-long')" \
            $? "exit $RUN_RC
$missing
output:
$RUN_OUT"
    done

    step start "$MDIR" W1
    write_ini "$BT_PAT1" "$WIFI_PAT"
    install_service $s
    run_exe 'C:\Program Files\Tolvane\tolvane-check.exe' /json
    missing=$(python3 -c '
import json, sys
d = json.loads(sys.stdin.read())
guid, bt, wifi, bt_id = sys.argv[1:]
bt_dev = [x for x in d["bluetooth"]["devices"] if x["hardwareId"] == bt_id]
facts = {
    "exitCode": (d["exitCode"], 0), "result": (d["result"], "would-tell"),
    "service": ((d["service"]["registered"], d["service"]["state"], d["service"]["besideSettings"]),
                (True, "running", True)),
    "BT1 matched, started, stands": (bt_dev and (bt_dev[0]["matched"], bt_dev[0]["started"], bt_dev[0]["stands"]),
                                     (True, True, True)),
    "sendState": (d["bluetooth"]["sendState"], 1),
    "devicePath": (d["net"]["standing"]["devicePath"], "\\\\.\\" + guid),
    "pathOpens": (d["net"]["standing"]["pathOpens"], True),
    "errors": ((d["service"]["openError"], d["net"]["standing"]["pathError"]), (0, 0)),
    "suggested": ((d["bluetooth"]["suggestedPattern"], d["net"]["suggestedPattern"]), (bt, wifi)),
    # Wine makes its own user, not one of the trusted accounts, the owner
    # of every file and folder, each one above the home too, up to C:\;
    # its manager does not answer for required privileges.
    "warnings": ([w["id"] for w in d["warnings"]], ["home-writable-by-users"] * 5),
    "home": ({(o["access"], o["account"]) for o in
              [d["home"][k] for k in ("exe", "folder", "settingsFile")] + d["home"]["foldersAbove"]},
             {("owned-by-others", d["home"]["exe"]["account"])}),
    "foldersAbove": ([o["path"] for o in d["home"]["foldersAbove"]], ["C:\\Program Files", "C:\\"]),
    "administrator": ((d["host"]["elevated"], d["host"]["administrator"]), (True, True)),
    "requiredPrivileges": (d["service"]["requiredPrivileges"], None),
    # Both exes of one build, their version resources read as data.
    "versions": ((d["checkVersion"] is not None, d["checkVersion"] == d["service"]["exeVersion"],
                  d["service"]["exeVersionDiffers"]), (True, True, False)),
    "processor": ((d["host"]["nativeMachine"] in ("x86", "AMD64"), d["host"]["nativeMachineFrom"]),
                  (True, "IsWow64Process2")),
}
print("\n".join("%s: got %r, want %r" % (k, g, w) for k, (g, w) in facts.items() if g != w))
' "$G1" "$BT_PAT1" "$WIFI_PAT" "$BT_ID1" <<<"$RUN_OUT" 2>&1)
    [ "$RUN_RC" = 0 ] && [ -z "$missing" ]
    check "$s: put right, service running: exit 0, /json parses and names the adapter that would be told" \
        $? "exit $RUN_RC
$missing
output:
$RUN_OUT"
    finish $s "$(line 0xFFF10220 1 "$G1" ok)"
    teardown
}

# --------------------------------------------------------------- main ---

mkdir -p "$WORK"
if machine_ready; then
    echo "== reusing the simulated machine in $MOUT"
else
    echo "== building the simulated machine into $MOUT"
    if ! machine build "$MOUT" all >"$WORK/machine-build.log" 2>&1; then
        fail "the simulated machine builds" "$(tail -n 20 "$WORK/machine-build.log")"
        checks_done
        exit 1
    fi
fi

scenario_startup_both_on
scenario_wifi_late
scenario_ini_edit
scenario_driver_fails
scenario_driver_holds
scenario_model_edited
scenario_winxp
scenario_check
if have_win64; then
    scenario_win64 win64-win7 win7 0xFFF10220 'Windows 7 64-bit'
    scenario_win64 win64-win2003 win2003 0x0DF10220 'Windows Server 2003 x64'
else
    echo "SKIP: win64 scenarios: the machine build has no win64 template (needs the x86-64 MinGW compiler and wine64)"
fi

checks_done
