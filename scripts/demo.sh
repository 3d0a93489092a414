#!/usr/bin/env bash
# The service at work: builds tolvane.exe, runs it as a Windows service under
# Wine on a simulated machine with one Bluetooth device and one Wi-Fi
# adapter, shows what tolvane-check.exe sees there, switches the devices
# about, makes the driver refuse one request and shows the service's status
# say so until the next device event delivers it, and shows what the Wi-Fi
# driver was told.  Exits 0 only if the driver received exactly the
# expected requests and every command succeeded.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
# Running Wine, the simulated machine, its driver's record: shared with the tests.
source cmake/wine-lib.sh
B=$ROOT/build-demo
MOUT=$B/machine
MDIR=$B/demo-machine
SVC=Tolvane_QM5520
wine_env win32

BT_HWID='USB\VID_0B7C&PID_7B01&REV_0112'
WIFI_HWID='PCI\VEN_7E57&DEV_7A37&SUBSYS_12117E57&REV_00'
BT_PAT='VID_0B7C&PID_7B01'
WIFI_PAT='VEN_7E57&DEV_7A37'
# Made up, so never the name of one of the host's real interfaces.
GUID='{7E57DE30-0000-4000-8000-0000000000A1}'
DEVPATH='\\.\'$GUID
FOLDER='C:\Program Files\Tolvane'

ok=1
cleanup() { machine destroy "$MDIR" >/dev/null 2>&1 || true; }
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '%s\n' "$*"; }
bad() { ok=0; say "  !! $*"; }
# A crash fails the demonstration whatever exit code Wine gives it.
wine_crashed() { bad "$1 crashed: $RUN_CRASH"; }

# -------------------------------------------------------------- build ---

printf 'Setting up and building ... '
mkdir -p "$B"
bash scripts/setup.sh
if ! { cmake --preset mingw32 -B "$B" -DTOLVANE_TESTS=OFF && cmake --build "$B" -j2 --target tolvane tolvane-check; } \
        >"$B/demo-build.log" 2>&1; then
    say "failed"; tail -n 30 "$B/demo-build.log"; exit 1
fi
# The machine's pieces, unless already built from the current sources.
if ! machine_fresh "$MOUT" win32; then
    if ! machine build "$MOUT" win32 >"$B/demo-machine-build.log" 2>&1; then
        say "failed"; tail -n 30 "$B/demo-machine-build.log"; exit 1
    fi
fi
say "done"

# ------------------------------------------------------------ machine ---

machine create "$MDIR" "$MOUT" win32 >/dev/null || { say "the simulated machine did not start"; exit 1; }
eval "$(machine env "$MDIR")"
INSTDIR=$WINEPREFIX/drive_c/${FOLDER#C:\\}
INSTDIR=${INSTDIR//\\//}
mkdir -p "$INSTDIR"
cp "$B/tolvane.exe" "$B/tolvane-check.exe" "$INSTDIR/"
printf '[Product]\r\nModel=QM5520\r\nServiceDisplayName=Verdin Service\r\nServiceDescription=Tells the Wi-Fi driver whether Bluetooth is on\r\n[Settings]\r\nBTHWID=%s\r\nWiFiHWID=%s\r\n' \
    "$BT_PAT" "$WIFI_PAT" >"$INSTDIR/tolvane.ini"
machine install "$MDIR" tolvane.exe "$INSTDIR" >/dev/null
machine install "$MDIR" tolvane-check.exe "$INSTDIR" >/dev/null
machine add "$MDIR" bt BT1 --hwid "$BT_HWID" --friendly 'Bluetooth Radio' --stopped >/dev/null
machine add "$MDIR" wifi W1 --hwid "$WIFI_HWID" --friendly 'Wireless Network Adapter' --guid "$GUID" --started >/dev/null
# A device no pattern names; its events only make the service look again.
add_spare

winver=$(wine cmd /c ver </dev/null 2>/dev/null | tr -d '\r' | grep -o '[0-9][0-9.]*' | head -n 1 || true)
case $winver in
    6.1.*) winname="Windows 7" ;;
    5.1.*) winname="Windows XP" ;;
    *) winname="Windows" ;;
esac
say ""
say "Simulated machine: 32-bit $winname (${winver:-?}) under $(wine --version)"
say "  Bluetooth  BT1  $BT_HWID  off"
say "  Wi-Fi      W1   $WIFI_HWID  on"
say "                  its test driver, at $DEVPATH, records every request"
say "  $FOLDER\\tolvane.ini: BTHWID=$BT_PAT  WiFiHWID=$WIFI_PAT"

# ------------------------------------------------------------ helpers ---

# run EXE ARGS: runs one of the two exes and shows its output and exit code
run() {
    local exe=$1
    shift
    say ""
    say "> $exe${*:+ $*}"
    run_exe "$FOLDER\\$exe" "$@"
    if [ -n "$RUN_OUT" ]; then printf '%s\n' "$RUN_OUT" | sed 's/^./  &/'; fi
    say "  (exit code $RUN_RC)"
}
tv() { run tolvane.exe "$@"; }

state() { local s; s=$(svc_state "$SVC"); [ "$s" != absent ] || s="not installed"; echo "$s"; }

# last_request WANT: the check tool's "Last request" part and its exit code.
# The status is written just after the request the driver records: a few
# tries for the exit code wanted.
last_request() {
    local want=$1 try
    for try in 1 2 3 4 5; do
        run_exe "$FOLDER\\tolvane-check.exe"
        [ "$RUN_RC" = "$want" ] && break
        sleep 1
    done
    say ""
    say "> tolvane-check.exe   (its \"Last request\" part and result)"
    printf '%s\n' "$RUN_OUT" | sed -n '/^Last request$/,/^$/p; /^Result /,$p' | sed '/^$/d; s/^./  &/'
    say "  (exit code $RUN_RC)"
}

# expect CODE VALUE [nudge [RESULT]]: waits for one more request and shows it.
# With nudge, a spare-device event goes out each second while waiting:
# Wine registers the service's device-event listener in the background, so
# the first event after start-up can go unheard.
EXPECTED=""
SEEN=0
expect() {
    local code=$1 value=$2 result=${4:-ok} want got
    want=$(request_line "$code" "$value" "$GUID" "$result")
    EXPECTED+="$want"$'\n'
    until_count $((SEEN + 1)) 20 "${3:-}" || true
    got=$(record_after "$SEEN" | head -n 1)
    SEEN=$((SEEN + 1))
    if [ "$got" = "$want" ]; then
        say "  driver received: value $value ($( [ "$value" = 1 ] && echo on || echo off )), code $code$( [ "$result" = ok ] || echo ", refused")   [as expected]"
    elif [ -z "$got" ]; then
        bad "nothing reached the driver in 20 s (expected value $value, code $code)"
    else
        bad "driver received: $got"
        say "     expected:        $want"
    fi
    if [ "$NUDGES" -gt 0 ]; then
        say "  (the service's listener was still registering: heard after $NUDGES spare-device event(s))"
    fi
}

# ---------------------------------------------------------------- run ---

tv /install
{ [ "$RUN_RC" = 1 ] && wait_state "$SVC" running 20; } || bad "the service is not running"
say "  service state: $(state)"

say ""
say "At start-up (Bluetooth off, adapter on):"
expect 0xFFF10220 0

run tolvane-check.exe
[ "$RUN_RC" = 0 ] || bad "the check does not find that the service would tell the driver"

say ""
say "Bluetooth switched on:"
machine start "$MDIR" BT1
expect 0xFFF10220 1 nudge

say ""
say "Bluetooth switched off:"
machine stop "$MDIR" BT1
expect 0xFFF10220 0

say ""
say "The driver refuses the next request; Bluetooth switched on:"
machine fail-next "$MDIR" 1
machine start "$MDIR" BT1
expect 0xFFF10220 1 "" fail
last_request 8
[ "$RUN_RC" = 8 ] || bad "the check does not find the refused request waiting (exit 8)"

say ""
say "An unrelated device's event: the service sends the refused state again:"
spare_event
expect 0xFFF10220 1
last_request 0
[ "$RUN_RC" = 0 ] || bad "the check does not find the retry delivered (exit 0)"

say ""
say "The status as an administrator reads it without the check tool:"
STATUS_KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$SVC\\Status"
say "> reg query $STATUS_KEY"
run_exe reg query "$STATUS_KEY"
printf '%s\n' "$RUN_OUT" | sed '/^$/d; s/^/  /'
[ "$RUN_RC" = 0 ] || bad "reg query does not find the status key"
machine stop "$MDIR" BT1
say ""
say "Bluetooth switched off:"
expect 0xFFF10220 0

say ""
say "Wi-Fi adapter removed, Bluetooth switched on while it is away, adapter back:"
machine remove "$MDIR" W1
machine start "$MDIR" BT1
# Nothing can reach a removed adapter, so no request shows that the service
# has handled these two events: the adapter stays out for a second.
sleep 1
machine add "$MDIR" wifi W1 --hwid "$WIFI_HWID" --friendly 'Wireless Network Adapter' --guid "$GUID" --started >/dev/null
expect 0xFFF10220 1

# Judged by the state reached: Wine now and then loses a stop's reply
# (exit code -6, nothing printed) although the service stops.
tv /stop
if ! { [ "$RUN_RC" = 1 ] || [ "$RUN_RC" = -6 ]; } || ! wait_state "$SVC" stopped 20; then
    bad "the service did not stop"
elif [ "$RUN_RC" = -6 ]; then
    say "  (the stop's reply was lost under Wine; the service stopped all the same)"
fi
say "  service state: $(state)"

tv /uninstall
{ [ "$RUN_RC" = 1 ] && [ "$(state)" = "not installed" ]; } || bad "the service is still installed"
say "  service state: $(state)"
run_exe reg query "$STATUS_KEY"
[ "$RUN_RC" = 1 ] || bad "the status key outlived the service"
say "  status key: $( [ "$RUN_RC" = 1 ] && echo gone || echo 'still there')"

say ""
say "The driver's record:"
rec=$(record)
if [ -n "$rec" ]; then printf '%s\n' "$rec" | sed 's/^/  /'; else say "  (empty)"; fi
if [ "$rec"$'\n' != "$EXPECTED" ]; then
    bad "the record is not exactly the $(printf '%s' "$EXPECTED" | grep -c .) expected requests"
fi

# The service runs under the service manager, whose output goes to the
# prefix's helper log: a crash there shows only in it.
helper_log_check "$WINEPREFIX/$WINE_HELPER_LOG"

say ""
if [ "$ok" = 1 ]; then
    say "Demonstration passed: every expected request reached the driver, nothing else did."
    exit 0
fi
say "Demonstration FAILED."
exit 1
