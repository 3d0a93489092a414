#!/bin/bash
# Self-test of the simulated machine: builds it, creates a machine, and checks
# each piece with machprobe.exe, a client that uses the system the way the
# product does.
#
# usage: selftest.sh BUILDDIR [win32|win64|all]     (default win32)
# Prints one PASS/FAIL line per check and "N passed, N failed"; exit 0 only
# if nothing failed.  An arch the machine cannot be built for here is skipped
# with a message.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../cmake/wine-lib.sh"
[ $# -ge 1 ] || { echo "usage: selftest.sh BUILDDIR [win32|win64|all]" >&2; exit 2; }
mkdir -p "$1"
OUT=$(cd "$1" && pwd)/machine
ARCHES=${2:-win32}
[ "$ARCHES" = all ] && ARCHES="win32 win64"
MDIR=""

cleanup() { machine_drop "$MDIR"; checks_exit; }
trap cleanup EXIT

# Runs the probe in the current machine; stdout without carriage returns.
probe() {
    run_exe 'C:\machine\machprobe.exe' "$@"
    [ -z "$RUN_OUT" ] || printf '%s\n' "$RUN_OUT"
    return $((RUN_RC & 255))
}

# The probe's line for one device instance ID.
device_line() { grep -F "id=$1 " <<<"$2" || true; }

# contains TEXT FIXED-STRING...: all strings occur in TEXT
contains() {
    local text=$1 s
    shift
    for s in "$@"; do grep -qF -- "$s" <<<"$text" || return 1; done
    return 0
}

# Lines of the service log after the first N.
log_after() { tail -n +"$(($1 + 1))" "$SVCLOG" 2>/dev/null | tr -d '\r'; }

log_has() { log_after "$1" | grep -qF -- "$2"; }  # N FIXED-STRING
# wait_log N FIXED-STRING TIMEOUT-S: until a line after the first N contains it
wait_log() { poll_until "$3" log_has "$1" "$2"; }

log_count() { if [ -f "$SVCLOG" ]; then wc -l <"$SVCLOG"; else echo 0; fi; }

run_suite() {
    local arch=$1 out rc line g1 g2 n0 bt1 bt2
    echo "== $arch machine"
    MDIR=$OUT/selftest-$arch
    if ! machine create "$MDIR" "$OUT" "$arch"; then
        fail "$arch: machine created with its driver running"
        return
    fi
    pass "$arch: machine created with its driver running"
    eval "$(machine env "$MDIR")"
    SVCLOG=$WINEPREFIX/drive_c/machine/service.log
    machine install "$MDIR" machprobe.exe "$WINEPREFIX/drive_c/machine" >/dev/null

    bt1='MACHINE\BLUETOOTH\BT1'
    bt2='MACHINE\BLUETOOTH\BT2'
    g1='{7E57A001-0000-4000-8000-00000000B001}'
    g2='{7E57A002-0000-4000-8000-00000000B002}'

    # --- enumeration ---
    out=$(probe list Bluetooth; probe list Net)
    [ "$(grep -c '^count=0$' <<<"$out")" = 2 ]
    check "$arch: both classes resolve and list no devices on a new machine" $? "$out"

    step add "$MDIR" bt BT1 --hwid 'USB\VID_FFFF&PID_0B01&REV_0001' --hwid 'USB\VID_FFFF&PID_0B01' \
        --friendly 'Radio One' --desc 'Generic Radio' --mfg 'Maker One' --location 'Port_#0003.Hub_#0002'
    step add "$MDIR" wifi W1 --guid "$g1" --hwid 'PCI\VEN_FFFF&DEV_0A01&SUBSYS_00000000'
    out=$(probe list Bluetooth)
    line=$(device_line "$bt1" "$out")
    contains "$line" 'hwid=USB\VID_FFFF&PID_0B01&REV_0001 friendly=Radio One desc=Generic Radio' \
        'driver={e0cbf06c-cd8b-4647-bb8a-263b43f0f974}\0000 location=Port_#0003.Hub_#0002 mfg=Maker One' \
        && grep -qx 'count=1' <<<"$out"
    check "$arch: an added Bluetooth device is listed with its properties" $? "$out"

    out=$(probe list Net)
    line=$(device_line 'MACHINE\NET\W1' "$out")
    contains "$line" 'hwid=PCI\VEN_FFFF&DEV_0A01&SUBSYS_00000000' 'driver={4d36e972-e325-11ce-bfc1-08002be10318}\0000' \
        && grep -qx 'count=1' <<<"$out"
    check "$arch: an added Wi-Fi adapter is listed in class Net" $? "$out"

    step set-hwid "$MDIR" BT1 'BTHUSB\VID_FFFF&PID_0B02' 'USB\VID_FFFF&PID_0B02'
    out=$(probe list Bluetooth)
    contains "$(device_line "$bt1" "$out")" 'hwid=BTHUSB\VID_FFFF&PID_0B02 '
    check "$arch: a changed hardware ID is what the next enumeration reports" $? "$out"

    step add "$MDIR" bt BT2 --location '' --hwid 'USB\VID_FFFF&PID_0B03' --stopped
    out=$(probe list Bluetooth)
    contains "$(device_line "$bt2" "$out")" 'location=-(error 13)' && grep -qx 'count=2' <<<"$out"
    check "$arch: a property left out fails with error 13" $? "$out"

    # --- node status (asked after the device list is destroyed) ---
    out=$(probe list Bluetooth)
    contains "$(device_line "$bt1" "$out")" 'cr=0 status=0x0180200A problem=0 started=1' \
        && contains "$(device_line "$bt2" "$out")" 'cr=0 status=0x01802402 problem=22 started=0'
    check "$arch: node status tells each listed device's state apart" $? "$out"

    step stop "$MDIR" BT1 && step start "$MDIR" BT2
    out=$(probe list Bluetooth)
    contains "$(device_line "$bt1" "$out")" 'started=0' && contains "$(device_line "$bt2" "$out")" 'started=1'
    check "$arch: node status follows stop and start" $? "$out"

    step set-status "$MDIR" BT2 0x0000000A 7
    out=$(probe list Bluetooth)
    contains "$(device_line "$bt2" "$out")" 'status=0x0000000A problem=7 started=1'
    check "$arch: a raw status and problem are reported as set" $? "$out"

    step remove "$MDIR" BT1
    out=$(probe list Bluetooth)
    [ -z "$(device_line "$bt1" "$out")" ] && grep -qx 'count=1' <<<"$out" \
        && contains "$(device_line "$bt2" "$out")" 'status=0x0000000A problem=7'
    check "$arch: a removed device is gone and the others keep their status" $? "$out"

    # --- the Wi-Fi driver ---
    step reset "$MDIR"
    out=$(probe switch 'VEN_FFFF&DEV_0A01' 0x0DF10220 1; probe switch 'VEN_FFFF&DEV_0A01' 0xFFF10220 0)
    rc=$?
    local rec want
    rec=$(machine received "$MDIR")
    want="code=0x0DF10220 value=1 in=4 out=4 ioctl=0x00170002 dev=$g1 result=ok
code=0xFFF10220 value=0 in=4 out=4 ioctl=0x00170002 dev=$g1 result=ok"
    [ "$rc" = 0 ] && [ "$rec" = "$want" ]
    check "$arch: the driver records the exact code and value of each request" $? "$out
record:
$rec"

    step add "$MDIR" wifi W2 --guid "$g2" --hwid 'PCI\VEN_FFFF&DEV_0A02'
    step reset "$MDIR"
    step fail-next "$MDIR" 2
    local r1 r2 r3 r4
    probe switch 'VEN_FFFF&DEV_0A01' 0x0DF10220 0 >/dev/null; r1=$?
    probe switch 'VEN_FFFF&DEV_0A02' 0x0DF10220 1 >/dev/null; r2=$?
    probe switch 'VEN_FFFF&DEV_0A02' 0x0DF10220 1 >/dev/null; r3=$?
    probe switch 'VEN_FFFF&DEV_0A01' 0x0DF10220 0 >/dev/null; r4=$?
    rec=$(machine received "$MDIR")
    want="code=0x0DF10220 value=0 in=4 out=4 ioctl=0x00170002 dev=$g1 result=fail
code=0x0DF10220 value=1 in=4 out=4 ioctl=0x00170002 dev=$g2 result=fail
code=0x0DF10220 value=1 in=4 out=4 ioctl=0x00170002 dev=$g2 result=ok
code=0x0DF10220 value=0 in=4 out=4 ioctl=0x00170002 dev=$g1 result=ok"
    [ "$r1$r2$r3$r4" = 1100 ] && [ "$rec" = "$want" ]
    check "$arch: the driver fails exactly the next N requests, adapters told apart" $? "exits $r1$r2$r3$r4
record:
$rec"

    step reset "$MDIR"
    rec=$(machine received "$MDIR")
    [ -z "$rec" ]
    check "$arch: reset empties the record" $? "$rec"

    # More requests than the record holds: it keeps the first ones, and
    # reading it says how many it lost and fails.
    local kept
    probe send "$g1" 0x0DF10220 1 700 >/dev/null
    rec=$(machine received "$MDIR")
    rc=$?
    kept=$(grep -c "^code=0x0DF10220 value=1 in=4 out=4 ioctl=0x00170002 dev=$g1 result=ok\$" <<<"$rec")
    [ "$rc" != 0 ] && [ "$kept" -gt 600 ] && [ "$kept" -lt 700 ] \
        && [ "$(tail -n 1 <<<"$rec")" = "record full: requests not recorded=$((700 - kept))" ]
    check "$arch: a full record keeps its first lines, then says how many requests it lost" $? \
        "exit $rc, $kept lines kept, last line: $(tail -n 1 <<<"$rec")"
    step reset "$MDIR"
    rec=$(machine received "$MDIR")
    rc=$?
    [ "$rc" = 0 ] && [ -z "$rec" ]
    check "$arch: reset empties a full record, the count of lost requests too" $? "exit $rc: $rec"

    step remove "$MDIR" W1
    out=$(probe send "$g1" 0x0DF10220 1)
    rc=$?
    [ "$rc" != 0 ] && contains "$out" 'fail stage=open' && [ -z "$(machine received "$MDIR")" ]
    check "$arch: a removed adapter can no longer be opened" $? "$out"

    # --- device events to a service ---
    step add "$MDIR" bt WARM --stopped --hwid 'MACHINE\WARMUP'
    step service-install "$MDIR" MachineProbe 'C:\machine\machprobe.exe service MachineProbe C:\machine\service.log'
    step service-start "$MDIR" MachineProbe
    wait_log 0 'registered=1 size=32' 20
    check "$arch: a service registers for device events as the product does" $? "$(log_after 0)"

    # Wine registers the listener in the background: wait until a first
    # event gets through before counting on any.
    local deadline=$((SECONDS + 20)) warm=1 ev=arrival
    while [ $SECONDS -le $deadline ]; do
        step event "$MDIR" WARM $ev
        if wait_log 0 'control=11' 2; then warm=0; break; fi
        [ $ev = arrival ] && ev=removal || ev=arrival
    done
    check "$arch: the service hears device events at all" $warm "$(log_after 0)"

    wait_log 0 "type=0x$([ $ev = arrival ] && echo 8000 || echo 8004)" 5
    n0=$(log_count)
    step stop "$MDIR" BT2
    wait_log "$n0" 'control=11 type=0x8004 devtype=5' 10
    rc=$?
    [ "$rc" = 0 ] && [ "$(log_after "$n0")" = 'control=11 type=0x8004 devtype=5' ]
    check "$arch: switching a device off delivers exactly one 0x8004" $? "$(log_after "$n0")"

    n0=$(log_count)
    step start "$MDIR" BT2
    wait_log "$n0" 'control=11 type=0x8000 devtype=5' 10
    rc=$?
    [ "$rc" = 0 ] && [ "$(log_after "$n0")" = 'control=11 type=0x8000 devtype=5' ]
    check "$arch: switching a device on delivers exactly one 0x8000" $? "$(log_after "$n0")"

    n0=$(log_count)
    step remove "$MDIR" BT2
    wait_log "$n0" 'control=11 type=0x8004' 10
    check "$arch: removing a running device delivers 0x8004" $? "$(log_after "$n0")"

    n0=$(log_count)
    machine service-stop "$MDIR" MachineProbe && [ "$(machine service-state "$MDIR" MachineProbe)" = stopped ] \
        && [ "$(log_after "$n0")" = 'control=1' ]
    check "$arch: the service still takes its stop control" $? "$(log_after "$n0")"
    check_eq "$arch: a service that does not exist is absent, as the manager says" absent \
        "$(machine service-state "$MDIR" MachineNoSuchService 2>&1)"

    machine_drop "$MDIR"
    MDIR=""
}

echo "== building the machine into $OUT"
for arch in $ARCHES; do
    if [ "$arch" = win64 ] && ! { command -v x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1 \
            || command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1; }; then
        echo "SKIP: win64 machine: no x86-64 MinGW compiler here"
        continue
    fi
    if [ "$arch" = win64 ] && [ ! -x /usr/lib/wine/wine64 ] && ! command -v wine64 >/dev/null 2>&1; then
        echo "SKIP: win64 machine: no wine64 here"
        continue
    fi
    if ! machine build "$OUT" "$arch"; then
        fail "$arch: machine builds"
        continue
    fi
    run_suite "$arch"
done

checks_done
