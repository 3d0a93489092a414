#!/usr/bin/env bash
# tolvane.exe as a service under Wine's service manager: installed from a
# folder whose path holds a space, run, controlled, stopped and uninstalled,
# and every command's exit code and output on each state of the service.
#
# usage: service_test.sh TOLVANE_EXE SVCCTL_EXE BUILD_DIR
#
# A stop can be acknowledged with ERROR_BROKEN_PIPE under Wine although the
# service did stop (the process may exit before the manager's reply gets
# out), so stops are judged by the state the service reaches; once a run.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../../cmake/wine-lib.sh"

# Absolute paths: Wine takes no relative prefix.
exe="$(realpath "$1")"
client="$(realpath "$2")"
build="$(realpath "$3")"

service="Tolvane_SVCTEST"
folder="Tolvane Svc Test"
winexe="C:\\Program Files\\$folder\\tolvane.exe"
key="HKLM\\System\\CurrentControlSet\\Services\\$service"
display="Tolvane Service Test"
description="Radio coexistence under test"
timeout=30  # seconds any awaited state may take; a safety bound only

wine_env win32
prefix="$build/wine/service"
wine_prefix_new "$build" win32 "$prefix" || { fail "a fresh Wine prefix"; checks_done; exit 1; }
export WINEPREFIX="$prefix"
prefix932="$build/wine/service-932"
trap 'wine_prefix_drop "$prefix"; wine_prefix_drop "$prefix932"; checks_exit' EXIT
trap 'exit 1' INT TERM

wine_server_up

install_dir="$prefix/drive_c/Program Files/$folder"
mkdir -p "$install_dir"
cp "$exe" "$install_dir/tolvane.exe"
settings() {  # MODEL
    printf '[Product]\r\nModel=%s\r\nServiceDisplayName=%s\r\nServiceDescription=%s\r\n' \
        "$1" "$display" "$description" >"$install_dir/tolvane.ini"
}
settings SVCTEST
# 56 characters: one more than the service name holds.
long_model="$(printf 'M%.0s' $(seq 56))"

# Runs the exe; sets code (signed) and out: its output as written, each
# line's CR LF shown as "|" (a line ended otherwise keeps what ends it).
run() {
    run_exe "$winexe" "$@"
    code=$RUN_RC
    out="${RUN_RAW_OUT//$'\r\n'/|}"
}

line() { printf 'Service %s %s.|' "$service" "$1"; }

# expect_run WHAT CODE OUTPUT ARGS...
expect_run() {
    local what="$1" want_code="$2" want_out="$3"
    shift 3
    run "$@"
    check_eq "$what: exit code" "$want_code" "$code"
    check_eq "$what: output" "$want_out" "$out"
}

# Status as the manager holds it: "state=4 accepted=0x45 ..." or "error=N".
status() { run_exe "$client" query "$service"; echo "$RUN_OUT"; }
control() { run_exe "$client" control "$service" "$1"; echo "$RUN_OUT"; }

# Until the status starts with $1; true when it did within the bound.
status_is() {
    last="$(status)"
    case "$last" in "$1"*) return 0 ;; esac
    return 1
}
wait_status() { poll_until "$timeout" status_is "$1"; }
expect_status() {  # what wanted-prefix
    if wait_status "$2"; then pass "$1"; else fail "$1: status [$last], wanted [$2...]"; fi
}

reg_value() {  # the data column of one value of the service's key
    run_exe reg query "$key" /v "$1"
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p" <<<"$RUN_OUT"
}

# A stop that the exe reports as refused (-6) counts as done only when the
# service still reaches the stopped state (Wine's late broken pipe), and
# only once a run.
expect_stop() {  # what OUTPUT-when-acknowledged OUTPUT-when-pipe-broke ARGS...
    local what="$1" want_out="$2" late_out="$3"
    shift 3
    run "$@"
    if [ "$code" = 1 ] && [ "$out" = "$want_out" ]; then
        pass "$what: exit code and output"
    elif [ "$code" = "$late_code" ] && [ "$out" = "$late_out" ]; then
        stop_reply_lost "$what"
    else
        fail "$what: exit code [$code] output [$out]"
    fi
}

# ---- nothing installed ----
expect_run "no argument, from a console" -7 "" 
expect_run "/start, not installed" -3 "" /start
expect_run "/stop, not installed" -3 "" /stop
expect_run "/uninstall, not installed" -3 "" /uninstall
for option in /bogus install /stopx -start; do
    expect_run "unknown option $option" 1 "" "$option"
done
check_eq "unknown options install nothing" "error=1060" "$(status)"

# ---- install: registered and started ----
expect_run "/install" 1 "$(line Installed)$(line Started)" /install
check_eq "ImagePath quoted" "\"C:\\Program Files\\$folder\\tolvane.exe\"" "$(reg_value ImagePath)"
check_eq "Start automatic" "0x2" "$(reg_value Start)"
check_eq "Type own process" "0x10" "$(reg_value Type)"
check_eq "ErrorControl ignore" "0x0" "$(reg_value ErrorControl)"
check_eq "DisplayName" "$display" "$(reg_value DisplayName)"
check_eq "Description" "$description" "$(reg_value Description)"
expect_status "service reaches running with stop, shutdown and power accepted" \
    "state=4 accepted=0x45 type=0x10"

# ---- controls ----
check_eq "interrogate answered" "state=4 accepted=0x45 type=0x10 exit=0" "$(control 4)"
reply="$(control 128)"
case "$reply" in
    state=4* | error=120) pass "user-defined control answered ($reply)" ;;
    *) fail "user-defined control: [$reply]" ;;
esac
for c in 2 3 6; do
    check_eq "control $c refused by the manager" "error=1052" "$(control "$c")"
done
check_eq "unhandled controls leave it running" "state=4 accepted=0x45 type=0x10 exit=0" "$(status)"

# ---- commands on a running service ----
expect_run "/start, already running" -5 "" /start
expect_run "/install, already installed" -2 "" /install
check_eq "still running" "state=4 accepted=0x45 type=0x10 exit=0" "$(status)"

late_code=-6
expect_stop "/stop, running" "$(line Stopped)" "" /stop
expect_status "service reaches stopped" "state=1 "
expect_run "/stop, not running" -6 "" /stop
expect_run "/start, stopped" 1 "$(line Started)" /start
expect_status "service runs again" "state=4 accepted=0x45"

# ---- uninstall: a running service, then an installed one that is stopped ----
late_code=1
expect_stop "/uninstall, running" "$(line Stopped)$(line Uninstalled)" "$(line Uninstalled)" \
    /uninstall
expect_status "service gone after uninstall" "error=1060"
reg_key_absent "$key"
check "service key removed" $? "exit $RUN_RC: $RUN_OUT"
expect_run "/uninstall, gone" -3 "" /uninstall

expect_run "/install again" 1 "$(line Installed)$(line Started)" /install
expect_status "running again" "state=4 "
# ---- a model too long for the service name ----
settings "$long_model"
expect_run "/stop, model too long" -3 "" /stop
expect_run "/install, model too long" -2 "" /install
check_eq "installed service untouched" "state=4 accepted=0x45 type=0x10 exit=0" "$(status)"
settings SVCTEST
late_code=-6
expect_stop "/stop before uninstall" "$(line Stopped)" "" /stop
expect_status "stopped before uninstall" "state=1 "
# Started by the manager, the service role runs whatever its name became.
settings "$long_model"
wine sc start "$service" </dev/null >/dev/null 2>&1
expect_status "service runs with a model too long for its name" "state=4 accepted=0x45"
settings SVCTEST
expect_stop "/stop, started by the manager" "$(line Stopped)" "" /stop
expect_status "stopped again" "state=1 "
expect_run "/uninstall, stopped" 1 "$(line Uninstalled)" /uninstall
expect_status "gone" "error=1060"

# ---- a path far longer than 127 characters: registered whole ----
long_dir="$(printf 'd%.0s' $(seq 150))"
mkdir -p "$install_dir/$long_dir"
cp "$exe" "$install_dir/$long_dir/tolvane.exe"
cp "$install_dir/tolvane.ini" "$install_dir/$long_dir/tolvane.ini"
winexe="C:\\Program Files\\$folder\\$long_dir\\tolvane.exe"
expect_run "/install from a long path" 1 "$(line Installed)$(line Started)" /install
check_eq "long ImagePath whole and quoted" "\"$winexe\"" "$(reg_value ImagePath)"
expect_status "service from the long path runs" "state=4 accepted=0x45"
late_code=1
expect_stop "/uninstall from the long path" "$(line Stopped)$(line Uninstalled)" \
    "$(line Uninstalled)" /uninstall
expect_status "long-path service gone" "error=1060"

# ---- the settings file's path at MAX_PATH: 259 characters are read, 260
# are beyond the profile read, so every setting is refused and nothing is
# created under the defaults. Started by full path: Wine cannot enter a
# working directory that long.
base="C:\\Program Files\\$folder\\"
# expect_refused WHERE MODEL: /install from $winexe exits -2 and registers
# neither Tolvane_MODEL nor the default name; with "all", the other
# commands then find no service either (-3).
expect_refused() {
    expect_run "/install, $1" -2 "" /install
    for name in "Tolvane_$2" Tolvane_QM5520; do
        run_exe "$client" query "$name"
        check_eq "$1: no $name" "error=1060" "$RUN_OUT"
    done
    [ "${3:-}" = all ] || return 0
    for option in /start /stop /uninstall; do
        expect_run "$option, $1" -3 "" "$option"
    done
}
for length in 259 260; do
    dir="$(printf 'L%.0s' $(seq $((length - ${#base} - 12))))"
    mkdir -p "$install_dir/$dir"
    cp "$exe" "$install_dir/$dir/tolvane.exe"
    printf '[Product]\r\nModel=LEN%s\r\n' "$length" >"$install_dir/$dir/tolvane.ini"
    winexe="$base$dir\\tolvane.exe"
    [ ${#winexe} = "$length" ] || fail "the exe path is ${#winexe} characters, not $length"
done
service=Tolvane_LEN259
winexe="$base$(printf 'L%.0s' $(seq $((259 - ${#base} - 12))))\\tolvane.exe"
expect_run "/install, settings path of 259 characters" 1 "$(line Installed)$(line Started)" /install
expect_status "its service runs" "state=4 accepted=0x45"
late_code=1
expect_stop "/uninstall, settings path of 259 characters" "$(line Stopped)$(line Uninstalled)" \
    "$(line Uninstalled)" /uninstall
expect_status "its service gone" "error=1060"

winexe="$base$(printf 'L%.0s' $(seq $((260 - ${#base} - 12))))\\tolvane.exe"
expect_refused "settings path of 260 characters" LEN260 all

# ---- a folder whose name code page 1252 cannot spell: its "A" path would
# read "C:\...\???????????\tolvane.exe", naming no file, and the defaults
# would be registered. Refused, as an exe path that cannot be read.
cyrillic="Инструменты"
mkdir -p "$install_dir/$cyrillic"
cp "$exe" "$install_dir/$cyrillic/tolvane.exe"
printf '[Product]\r\nModel=CYR\r\n' >"$install_dir/$cyrillic/tolvane.ini"
winexe="$base$cyrillic\\tolvane.exe"
expect_refused "a folder 1252 cannot spell" CYR all

# ---- code page 932, in a prefix of its own: a settings path of 200
# characters and 352 bytes is within MAX_PATH, which counts characters.
# Three folders, as Linux allows 255 bytes a name; a Hangul folder, which
# 932 cannot spell, is refused there.
wine_prefix_new "$build" win32 "$prefix932" || { fail "a fresh Wine prefix for 932"; checks_done; exit 1; }
export WINEPREFIX="$prefix932" LC_ALL=ja_JP.UTF-8
wine_server_up
install_dir="$prefix932/drive_c/Program Files/$folder"
kana() { printf 'あ%.0s' $(seq "$1"); }
kana_dir="$(kana 50)/$(kana 50)/$(kana 52)"
mkdir -p "$install_dir/$kana_dir"
cp "$exe" "$install_dir/$kana_dir/tolvane.exe"
printf '[Product]\r\nModel=KANA\r\n' >"$install_dir/$kana_dir/tolvane.ini"
winexe="$base${kana_dir//\//\\}\\tolvane.exe"
ini_chars=$(( ${#winexe} ))
check_eq "the 932 settings path's characters" 200 "$ini_chars"
check_eq "the 932 settings path's bytes" 352 "$(printf '%s' "$winexe" | iconv -f UTF-8 -t CP932 | wc -c)"
service=Tolvane_KANA
expect_run "/install, 932 path of 200 characters" 1 "$(line Installed)$(line Started)" /install
expect_status "its service runs" "state=4 accepted=0x45"
late_code=1
expect_stop "/uninstall, 932 path of 200 characters" "$(line Stopped)$(line Uninstalled)" \
    "$(line Uninstalled)" /uninstall
expect_status "its service gone" "error=1060"
mkdir -p "$install_dir/한글"
cp "$exe" "$install_dir/한글/tolvane.exe"
printf '[Product]\r\nModel=HANGUL\r\n' >"$install_dir/한글/tolvane.ini"
winexe="$base한글\\tolvane.exe"
expect_refused "a folder 932 cannot spell" HANGUL

checks_done
