#!/usr/bin/env bash
# The service's costs on the simulated machine, against what the job itself
# must pay:
#   - per device event: the product's arrival rule against a bare event
#     that makes only the unavoidable calls, with 1, 10, 100 and 1000
#     devices per class, empty patterns and patterns naming one device;
#   - idle: memory, threads, wake-ups and CPU time of the running service
#     against a minimal service that also registers for device events;
#     start-up time and event latency of both;
#   - the size of the shipped exe.
# A benchmark, not a test: it reports figures and fails only when it could
# not measure (or the two sides did not do the same work).
#
# usage: bash scripts/bench.sh [--quick] [--csv]
#   --quick  1 and 100 devices, few rounds, a 15 s idle window
#   --csv    only the per-event table, as CSV on standard output
# Tables and CSV files go to build/bench/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source cmake/wine-lib.sh

QUICK=0
CSV=0
for a in "$@"; do
    case $a in
        --quick) QUICK=1 ;;
        --csv) CSV=1 ;;
        *) echo "usage: bash scripts/bench.sh [--quick] [--csv]" >&2; exit 2 ;;
    esac
done

B=$ROOT/build
OUT=$B/bench
MOUT=$B/machine
MDIR=$OUT/machine

if [ $QUICK = 1 ]; then
    # devices per class : rounds (the driver's record holds about 300 rounds)
    SIZES="1:60 100:20"
    IDLE_S=15
    SAMPLES=3
else
    SIZES="1:200 10:100 100:40 1000:16"
    IDLE_S=60
    SAMPLES=5
fi

BT_HWID='USB\VID_0B7C&PID_7B01&REV_0112'
WIFI_HWID='PCI\VEN_7E57&DEV_7A37&SUBSYS_12117E57&REV_00'
BT_PAT='VID_0B7C&PID_7B01'
WIFI_PAT='VEN_7E57&DEV_7A37'
# Made up, so never the name of one of the host's real interfaces.
GUID='{7E57BE00-0000-4000-8000-0000000000A1}'
SVC=Tolvane_QM5520
MINSVC=TolvaneBenchMinimal

say() { printf '%s\n' "$*" >&2; }
die() { say "bench: $*"; exit 1; }
# Kept in a file: problems are found in subshells too.
PROBLEMS=$OUT/problems
problem() { echo "$*" >>"$PROBLEMS"; say "  !! $*"; }

cleanup() { machine destroy "$MDIR" >/dev/null 2>&1 || true; }
trap cleanup EXIT
trap 'exit 130' INT TERM

# -------------------------------------------------------------- build ---

say "== building"
bash scripts/setup.sh
mkdir -p "$OUT"
rm -f "$PROBLEMS"
{ cmake --preset mingw32 && cmake --build --preset mingw32 --target tolvane tolvane_bench minimal_service bench_probe; } \
    >"$OUT/build.log" 2>&1 || { tail -n 30 "$OUT/build.log" >&2; die "build failed"; }
if ! machine_fresh "$MOUT" win32; then
    machine build "$MOUT" win32 >"$OUT/machine-build.log" 2>&1 \
        || { tail -n 30 "$OUT/machine-build.log" >&2; die "the simulated machine did not build"; }
fi

# ------------------------------------------------------------ machine ---

machine create "$MDIR" "$MOUT" win32 >/dev/null || die "the simulated machine did not start"
eval "$(machine env "$MDIR")"
C=$WINEPREFIX/drive_c
mkdir -p "$C/tolvane" "$C/minsvc" "$C/bench"
cp "$B/tolvane.exe" "$C/tolvane/"
cp "$B/bench/minimal_service.exe" "$C/minsvc/"
cp "$B/bench/tolvane_bench.exe" "$B/bench/bench_probe.exe" "$C/bench/"
machine install "$MDIR" tolvane.exe "$C/tolvane" >/dev/null
machine install "$MDIR" minimal_service.exe "$C/minsvc" >/dev/null
machine install "$MDIR" tolvane_bench.exe "$C/bench" >/dev/null
# The devices that stand: named to be listed last in their classes.
machine add "$MDIR" bt ZBT --hwid "$BT_HWID" --started >/dev/null
machine add "$MDIR" wifi ZW1 --hwid "$WIFI_HWID" --guid "$GUID" --started >/dev/null

# A Windows program's output; fails as the program does.
run() { run_exe "$@"; printf '%s\n' "$RUN_OUT"; [ "$RUN_RC" = 0 ]; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2" | head -n 1; }
median() { sort -n | awk '{v[NR]=$1} END {if (NR == 0) print "-"; else if (NR % 2) print v[(NR+1)/2]; else printf "%.1f\n", (v[NR/2]+v[NR/2+1])/2}'; }

# ---------------------------------------------------- service figures ---

# A stop's reply can be lost under Wine: judged by the state reached.
svc_stop() {
    machine service-stop "$MDIR" "$1" >/dev/null 2>&1 || true
    wait_state "$1" stopped 20
}

# startup SERVICE: median start request to running, in ms, over SAMPLES starts
startup() {
    local i out
    for ((i = 0; i < SAMPLES; i++)); do
        svc_stop "$1" || { problem "$1 did not stop"; return; }
        out=$(run 'C:\bench\bench_probe.exe' startup "$1") || { problem "$1 did not start: $out"; return; }
        field ms "$out"
    done | median
}

# latency: median ms from switching the Bluetooth device to the driver's
# record growing, over SAMPLES switches, with one service running. Wine
# registers a service's device-event listener in the background, so the
# first switches may go unheard: switched until one is, before counting.
switch_bt() { run 'C:\bench\bench_probe.exe' latency ZBT; }
latency() {
    local i out heard=0
    for ((i = 0; i < 8 && heard == 0; i++)); do
        out=$(switch_bt) && heard=1
    done
    [ $heard = 1 ] || { problem "$1 never reacted to a device event"; echo "-"; return; }
    for ((i = 0; i < SAMPLES; i++)); do
        out=$(switch_bt) || { problem "$1 missed a device event"; continue; }
        field ms "$out"
    done | median
}

# The Linux process of a Windows exe running in this machine.
wine_pid() {
    local p
    for p in /proc/[0-9]*; do
        { tr '\0' '\n' <"$p/cmdline" | head -n 1 | grep -qi "\\\\$1\$"; } 2>/dev/null || continue
        { tr '\0' '\n' <"$p/environ" | grep -qx "WINEPREFIX=$WINEPREFIX"; } 2>/dev/null || continue
        echo "${p#/proc/}"
        return 0
    done
    return 1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
wakeups() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {n += $2} END {print n + 0}'; }
# Resident KB per mapped file, by file name: "NAME KB" lines.
mapped_kb() {
    awk '/^[0-9a-f]+-[0-9a-f]+ / {n = split($6, part, "/"); name = n ? part[n] : ""}
         /^Rss:/ && name != "" {kb[name] += $2}
         END {for (f in kb) print f, kb[f]}' "/proc/$1/smaps" 2>/dev/null
}
# only_kb PID OTHER_PID EXE: resident KB in files PID maps and OTHER_PID does not, its exe aside
only_kb() {
    awk -v exe="$3" 'NR == FNR {seen[$1] = 1; next} !($1 in seen) && $1 != exe {s += $2} END {print s + 0}' \
        <(mapped_kb "$2") <(mapped_kb "$1")
}
smaps_kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/smaps_rollup" 2>/dev/null || echo -; }

footprint() {
    say "== service figures (idle window ${IDLE_S} s)"
    printf '[Product]\r\nModel=QM5520\r\n[Settings]\r\nBTHWID=%s\r\nWiFiHWID=%s\r\n' "$BT_PAT" "$WIFI_PAT" \
        >"$C/tolvane/tolvane.ini"
    local out
    out=$(run 'C:\tolvane\tolvane.exe' /install) || true
    machine service-install "$MDIR" "$MINSVC" "C:\\minsvc\\minimal_service.exe $GUID" >/dev/null \
        || die "the minimal service did not install"
    svc_stop "$MINSVC" || true

    # One service at a time for the timings: both react to the same events.
    START_P=$(startup $SVC)
    LAT_P=$(latency $SVC)
    svc_stop $SVC || problem "the service did not stop"
    START_M=$(startup $MINSVC)
    LAT_M=$(latency $MINSVC)

    # Wine ends a prefix whose only processes are services a while after
    # the last other one: one sleeps through the window.
    wine 'C:\bench\bench_probe.exe' idle $((IDLE_S + 30)) </dev/null >/dev/null 2>&1 &
    local keeper=$!
    machine service-start "$MDIR" $SVC >/dev/null || problem "the service did not start"
    sleep 3
    local pp pm cp0 cm0 wp0 wm0 hz
    hz=$(getconf CLK_TCK)
    pp=$(wine_pid tolvane.exe) || die "no process for the running service"
    pm=$(wine_pid minimal_service.exe) || die "no process for the minimal service"
    cp0=$(cpu_ticks "$pp"); cm0=$(cpu_ticks "$pm")
    wp0=$(wakeups "$pp"); wm0=$(wakeups "$pm")
    sleep "$IDLE_S"
    RSS_P=$(smaps_kb "$pp" Rss); RSS_M=$(smaps_kb "$pm" Rss)
    PSS_P=$(smaps_kb "$pp" Pss); PSS_M=$(smaps_kb "$pm" Pss)
    ONLY_P=$(only_kb "$pp" "$pm" tolvane.exe); ONLY_M=$(only_kb "$pm" "$pp" minimal_service.exe)
    THR_P=$(find "/proc/$pp/task" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
    THR_M=$(find "/proc/$pm/task" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
    if [ "$RSS_P" != - ] && [ "$RSS_M" != - ]; then
        CPU_P=$((($(cpu_ticks "$pp") - cp0) * 1000 / hz)); CPU_M=$((($(cpu_ticks "$pm") - cm0) * 1000 / hz))
        WAKE_P=$(($(wakeups "$pp") - wp0)); WAKE_M=$(($(wakeups "$pm") - wm0))
    else
        problem "a service process ended during the idle window (states: $(svc_state $SVC), $(svc_state $MINSVC))"
        CPU_P=-; CPU_M=-; WAKE_P=-; WAKE_M=-
    fi
    svc_stop $SVC || true
    svc_stop "$MINSVC" || true
    kill "$keeper" 2>/dev/null || true
}

# ---------------------------------------------------------- per event ---

per_event() {
    local size n rounds have=1 pat out want got
    say "== per-event cost"
    echo "devices,patterns,product_ms,bare_ms,ratio" >"$OUT/per_event.csv"
    for size in $SIZES; do
        n=${size%%:*}
        rounds=${size##*:}
        if [ "$n" -gt "$have" ]; then
            machine bulk "$MDIR" bt BF $((have - 1)) $((n - have)) >/dev/null || die "devices not added"
            machine bulk "$MDIR" wifi WF $((have - 1)) $((n - have)) >/dev/null || die "devices not added"
            have=$n
        fi
        for pat in empty specific; do
            if [ $pat = empty ]; then
                printf '[Settings]\r\nBTHWID=\r\nWiFiHWID=\r\n' >"$C/bench/tolvane_bench.ini"
            else
                printf '[Settings]\r\nBTHWID=%s\r\nWiFiHWID=%s\r\n' "$BT_PAT" "$WIFI_PAT" >"$C/bench/tolvane_bench.ini"
            fi
            machine reset "$MDIR"
            out=$(run 'C:\bench\tolvane_bench.exe' "$rounds") || die "the benchmark program failed: $out"
            want=$(field requests "$out")
            got=$(record_count)
            [ "$got" = "$want" ] || problem "$n/$pat: the driver got $got requests, $want expected (one per round each)"
            [ "$(field agree "$out")" = 1 ] || problem "$n/$pat: the product and the bare event found different devices"
            [ "$(field status "$out")" = 1 ] || problem "$n/$pat: the Status key does not count the product's requests"
            { [ "$(field bt_devices "$out")" = "$n" ] && [ "$(field net_devices "$out")" = "$n" ]; } \
                || problem "$n/$pat: listed $(field bt_devices "$out") and $(field net_devices "$out") devices, not $n"
            [ "$(field path "$out")" = "\\\\.\\$GUID" ] || problem "$n/$pat: the standing adapter was not found"
            echo "$n,$pat,$(field product_ms "$out"),$(field bare_ms "$out"),$(field ratio "$out")" >>"$OUT/per_event.csv"
            say "   $n devices, $pat patterns: $(cut -d' ' -f1-4 <<<"$out")"
        done
    done
}

exe_size() {
    say "== release build"
    { cmake --preset release && cmake --build --preset release --target tolvane; } >"$OUT/release.log" 2>&1 \
        || { tail -n 30 "$OUT/release.log" >&2; die "release build failed"; }
    local exe=$ROOT/build-release/tolvane.exe
    i686-w64-mingw32-strip -o "$OUT/tolvane-stripped.exe" "$exe"
    EXE_BYTES=$(stat -c %s "$OUT/tolvane-stripped.exe")
    EXE_IMPORTS=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ' | sed 's/ $//')
}

# --------------------------------------------------------------- run ---

if [ $CSV = 1 ]; then
    per_event
    cat "$OUT/per_event.csv"
    [ ! -s "$PROBLEMS" ]
    exit
fi

footprint
per_event
exe_size

# The product as the last commit that changed it (and whether the tree differs).
PRODUCT_COMMIT=$(git log -1 --format=%h -- src)$(git diff --quiet HEAD -- src || echo "+changes")
{
    echo "Tolvane benchmark, $(date -u +%Y-%m-%d), product at $PRODUCT_COMMIT, $(wine --version), $(nproc) cores$([ $QUICK = 1 ] && echo ', quick')"
    echo
    echo "Per device event (arrival rule, one request each; medians over the rounds, ratio = median of per-round ratios)"
    printf '%-8s %-9s %11s %9s %7s %11s\n' devices patterns product_ms bare_ms ratio excess_ms
    tail -n +2 "$OUT/per_event.csv" | while IFS=, read -r n pat p b r; do
        printf '%-8s %-9s %11s %9s %7s %11s\n' "$n" "$pat" "$p" "$b" "$r" "$(awk -v p="$p" -v b="$b" 'BEGIN {printf "%.3f", p - b}')"
    done
    echo
    echo "Service, idle over ${IDLE_S} s$([ $QUICK = 1 ] && echo ' (shortened: --quick)'), and its timings (medians of $SAMPLES)"
    printf '%-34s %10s %10s\n' "" tolvane minimal
    printf '%-34s %10s %10s\n' "resident memory (KB)" "$RSS_P" "$RSS_M"
    printf '%-34s %10s %10s\n' "  of which DLLs only it loads (KB)" "$ONLY_P" "$ONLY_M"
    printf '%-34s %10s %10s\n' "proportional memory (KB)" "$PSS_P" "$PSS_M"
    printf '%-34s %10s %10s\n' "threads" "$THR_P" "$THR_M"
    printf '%-34s %10s %10s\n' "CPU time (ms)" "$CPU_P" "$CPU_M"
    printf '%-34s %10s %10s\n' "wake-ups" "$WAKE_P" "$WAKE_M"
    printf '%-34s %10s %10s\n' "start-up (ms)" "$START_P" "$START_M"
    printf '%-34s %10s %10s\n' "event latency (ms)" "$LAT_P" "$LAT_M"
    echo
    echo "Stripped exe: $EXE_BYTES bytes ($(awk -v b="$EXE_BYTES" 'BEGIN {printf "%.1f", b / 1024}') KB); imports: $EXE_IMPORTS"
} >"$OUT/bench.txt"
{
    echo "metric,tolvane,minimal"
    echo "rss_kb,$RSS_P,$RSS_M"
    echo "pss_kb,$PSS_P,$PSS_M"
    echo "rss_only_its_dlls_kb,$ONLY_P,$ONLY_M"
    echo "threads,$THR_P,$THR_M"
    echo "idle_cpu_ms,$CPU_P,$CPU_M"
    echo "idle_wakeups,$WAKE_P,$WAKE_M"
    echo "idle_window_s,$IDLE_S,$IDLE_S"
    echo "startup_ms,$START_P,$START_M"
    echo "event_latency_ms,$LAT_P,$LAT_M"
    echo "stripped_exe_bytes,$EXE_BYTES,"
} >"$OUT/service.csv"
cat "$OUT/bench.txt"
say ""
say "Written: $OUT/bench.txt, $OUT/per_event.csv, $OUT/service.csv"
[ ! -s "$PROBLEMS" ] || { say "$(wc -l <"$PROBLEMS") problem(s) above: some figures are missing or do not compare like with like"; exit 1; }
