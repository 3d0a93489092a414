#!/bin/bash
# A simulated machine under Wine for end-to-end tests: a prefix with test
# Bluetooth and Wi-Fi devices, a test Wi-Fi driver that records what it is
# sent, and stand-ins that give one chosen exe node status and device events.
# See README.md in this folder for the commands.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../cmake/wine-lib.sh"
SRC=$HERE/src

die() { echo "machine.sh: $*" >&2; exit 1; }

first_tool() {
    local t
    for t in "$@"; do
        if command -v "$t" >/dev/null 2>&1; then echo "$t"; return 0; fi
    done
    return 1
}

wine_dll_dir() { # i386|x86_64
    local d
    for d in /usr/lib/$1-linux-gnu/wine/$1-windows /usr/lib/wine/$1-windows /usr/lib64/wine/$1-windows \
             /usr/lib/i386-linux-gnu/wine/$1-windows; do
        if [ -f "$d/setupapi.dll" ]; then echo "$d"; return 0; fi
    done
    return 1
}

wine64_bin() {
    local w
    for w in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null || true)"; do
        if [ -n "$w" ] && [ -x "$w" ]; then echo "$w"; return 0; fi
    done
    return 1
}

# .def for a stand-in: every export of Wine's DLL forwarded to the renamed
# copy, except the ones the stand-in implements (NAME=SYMBOL pairs).
make_def() { # dll-path module-name real-module out wrapped...
    local dll=$1 module=$2 realmod=$3 out=$4
    shift 4
    {
        echo "LIBRARY $module.dll"
        echo "EXPORTS"
        "$OBJDUMP" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
            | sed -n 's/^[[:space:]]*\[ *[0-9]*\] \([A-Za-z_][A-Za-z0-9_@?$]*\)$/\1/p' \
            | while read -r name; do
                local w impl=""
                for w in "$@"; do
                    if [ "${w%%=*}" = "$name" ]; then impl=${w#*=}; fi
                done
                if [ -n "$impl" ]; then echo "    $name = $impl"
                else echo "    $name = $realmod.$name"; fi
            done
    } >"$out"
}

# ---------------------------------------------------------------- build ---

build_pieces() { # out
    local out=$1 cc32 cc64 dll32 ddk=/usr/share/mingw-w64/include/ddk
    local warn=(-O2 -Wall -Wno-unused-parameter)
    cc32=$(first_tool i686-w64-mingw32-gcc-posix i686-w64-mingw32-gcc) || die "no i686 MinGW compiler"
    dll32=$(wine_dll_dir i386) || die "Wine's 32-bit DLLs not found"
    OBJDUMP=$(first_tool i686-w64-mingw32-objdump objdump) || die "no objdump"
    mkdir -p "$out/bin" "$out/obj"

    "$cc32" "${warn[@]}" -I"$ddk" -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 \
        -o "$out/bin/machdrv32.sys" "$SRC/machdrv.c" -lntoskrnl -lhal
    if cc64=$(first_tool x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc); then
        "$cc64" "${warn[@]}" -I"$ddk" -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry \
            -o "$out/bin/machdrv64.sys" "$SRC/machdrv.c" -lntoskrnl
    else
        rm -f "$out/bin/machdrv64.sys"
    fi

    "$cc32" "${warn[@]}" -o "$out/bin/machctl.exe" "$SRC/machctl.c" -ladvapi32 -static
    "$cc32" "${warn[@]}" -o "$out/bin/machprobe.exe" "$SRC/machprobe.c" -lsetupapi -lcfgmgr32 -luser32 -ladvapi32 -static

    make_def "$dll32/setupapi.dll" setupapi setupapi_wine "$out/obj/setupapi.def" \
        SetupDiEnumDeviceInfo=standin_SetupDiEnumDeviceInfo@12 \
        SetupDiDestroyDeviceInfoList=standin_SetupDiDestroyDeviceInfoList@4 \
        CM_Get_DevNode_Status=standin_CM_Get_DevNode_Status@16 \
        CM_Get_DevNode_Status_Ex=standin_CM_Get_DevNode_Status_Ex@20
    make_def "$dll32/sechost.dll" sechost sechost_wine "$out/obj/sechost.def" \
        RegisterServiceCtrlHandlerExA=standin_RegisterServiceCtrlHandlerExA@12 \
        RegisterServiceCtrlHandlerExW=standin_RegisterServiceCtrlHandlerExW@12 \
        I_ScRegisterDeviceNotification=standin_I_ScRegisterDeviceNotification@12
    mkdir -p "$out/standins"
    "$cc32" "${warn[@]}" -shared -nostartfiles -nostdlib -Wl,--entry,_DllMain@12 \
        -o "$out/standins/setupapi.dll" "$SRC/standin_setupapi.c" "$out/obj/setupapi.def" -lkernel32 -ladvapi32
    "$cc32" "${warn[@]}" -shared -nostartfiles -nostdlib -Wl,--entry,_DllMain@12 \
        -o "$out/standins/sechost.dll" "$SRC/standin_sechost.c" "$out/obj/sechost.def" -lkernel32
    cp "$dll32/setupapi.dll" "$out/standins/setupapi_wine.dll"
    cp "$dll32/sechost.dll" "$out/standins/sechost_wine.dll"
}

# The machine's prepared prefix: a copy of the build tree's prepared prefix
# (OUT's parent is the build tree) with the machine's fixed parts: the two
# device classes and the test driver as a demand-start kernel service.
# Written as registry data rather than through the service manager, so a
# win64 prefix gets the driver's path unredirected.
make_template() { # out arch
    local out=$1 arch=$2 tpl=$1/template-$2 drv
    case $arch in
        win32) drv=$out/bin/machdrv32.sys ;;
        win64) drv=$out/bin/machdrv64.sys ;;
    esac
    [ -f "$drv" ] || die "no driver for $arch"
    wine_prefix_drop "$tpl"
    wine_prefix_new "$(dirname "$out")" "$arch" "$tpl.tmp" || die "no $arch prefix can be made"
    (
        wine_env "$arch"
        export WINEPREFIX=$tpl.tmp
        mkdir -p "$WINEPREFIX/drive_c/machine" "$WINEPREFIX/drive_c/windows/system32/drivers"
        cp "$drv" "$WINEPREFIX/drive_c/windows/system32/drivers/machdrv.sys"
        cp "$out/bin/machctl.exe" "$out/bin/machprobe.exe" "$WINEPREFIX/drive_c/machine/"
        cat >"$WINEPREFIX/drive_c/machine/base.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}]
@="Network adapters"
"Class"="Net"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{E0CBF06C-CD8B-4647-BB8A-263B43F0F974}]
@="Bluetooth"
"Class"="Bluetooth"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\MachineDrv]
"Type"=dword:00000001
"Start"=dword:00000003
"ErrorControl"=dword:00000001
"ImagePath"="C:\\windows\\system32\\drivers\\machdrv.sys"
"DisplayName"="Machine test driver"
REG
        wine regedit /S 'C:\machine\base.reg' </dev/null >/dev/null 2>&1
        wineserver -w
    )
    touch "$tpl.tmp/$WINE_READY"
    mv "$tpl.tmp" "$tpl"
}

cmd_build() {
    [ $# -ge 1 ] || die "usage: build OUTDIR [win32|win64|all]"
    local out what=${2:-all}
    mkdir -p "$1"
    out=$(cd "$1" && pwd)
    build_pieces "$out"
    case $what in
        win32|all) make_template "$out" win32 ;;
    esac
    case $what in
        win64|all)
            if [ -f "$out/bin/machdrv64.sys" ] && wine64_bin >/dev/null; then
                make_template "$out" win64
            elif [ "$what" = win64 ]; then
                die "win64 needs the x86-64 MinGW compiler and wine64"
            fi ;;
    esac
}

# -------------------------------------------------------------- machine ---

load_machine() { # mdir
    [ -f "$1/machine.env" ] || die "$1 is not a machine (create it first)"
    MDIR=$(cd "$1" && pwd)
    # shellcheck source=/dev/null
    . "$MDIR/machine.env"
    wine_env "$MACHINE_ARCH"
    export WINEPREFIX=$MDIR/prefix
}

# Runs machctl in the machine; output without carriage returns.
# A crash is no check of the caller's: it ends the command, named.
wine_crashed() { die "machctl $* crashed: $RUN_CRASH"; }
ctl() {
    run_exe 'C:\machine\machctl.exe' "$@"
    [ -z "$RUN_OUT" ] || printf '%s\n' "$RUN_OUT"
    if [ "$RUN_RC" != 0 ]; then
        grep -v ':fixme:' <<<"$RUN_ERR" >&2 || true
    fi
    return $((RUN_RC & 255))
}

cmd_create() {
    [ $# -ge 2 ] || die "usage: create MDIR BUILDDIR [win32|win64]"
    local mdir=$1 build arch=${3:-win32}
    build=$(cd "$2" && pwd)
    [ -d "$build/template-$arch" ] || die "no $arch template in $build (run build)"
    wine_prefix_drop "$mdir/prefix"
    rm -rf "$mdir"
    wine_prefix_copy "$build/template-$arch" "$mdir/prefix" || die "no machine from $build/template-$arch"
    printf 'MACHINE_ARCH=%s\nMACHINE_BUILD=%s\n' "$arch" "$build" >"$mdir/machine.env"
    load_machine "$mdir"
    # A lingering server keeps each later command quick, and the prefix's
    # background processes start with their output in its helper log, with
    # the debug channels MACHINE_WINEDEBUG names (none unless it is set).
    WINEDEBUG=${MACHINE_WINEDEBUG:-$WINEDEBUG} wine_server_up
    wine 'C:\machine\machctl.exe' start-driver 30000 </dev/null >/dev/null 2>"$MDIR/last-error" \
        || { tr -d '\r' <"$MDIR/last-error" >&2; die "test driver did not start"; }
}

cmd_shutdown() { load_machine "$1"; wineserver -k 2>/dev/null || true; }

cmd_destroy() {
    [ -d "$1" ] || return 0
    wine_prefix_drop "$1/prefix"
    rm -rf "$1"
}

cmd_env() {
    load_machine "$1"
    printf 'export WINEPREFIX=%q WINEARCH=%q WINEDEBUG=%q WINEDLLOVERRIDES=%q\n' \
        "$WINEPREFIX" "$WINEARCH" "$WINEDEBUG" "$WINEDLLOVERRIDES"
}

new_guid() {
    local u
    u=$(cat /proc/sys/kernel/random/uuid)
    echo "{${u^^}}"
}

cmd_add() {
    [ $# -ge 3 ] || die "usage: add MDIR bt|wifi NAME [options]"
    load_machine "$1"
    local kind=$2 name=$3 state=started guid="" friendly="" desc="" mfg="Machine Devices" location=""
    local hwids=()
    shift 3
    case $kind in
        bt) friendly="Test Bluetooth $name"; desc="Test Bluetooth Adapter"; location="Port_#0001.Hub_#0001" ;;
        wifi) friendly="Test Wi-Fi $name"; desc="Test Wireless Adapter"; location="PCI bus 2, device 0, function 0"
              guid=$(new_guid) ;;
        *) die "kind must be bt or wifi" ;;
    esac
    while [ $# -gt 0 ]; do
        case $1 in
            --hwid) hwids+=("$2"); shift 2 ;;
            --friendly) friendly=$2; shift 2 ;;
            --desc) desc=$2; shift 2 ;;
            --mfg) mfg=$2; shift 2 ;;
            --location) location=$2; shift 2 ;;
            --guid) [ "$kind" = wifi ] || die "--guid is for wifi"; guid=$2; shift 2 ;;
            --started) state=started; shift ;;
            --stopped) state=stopped; shift ;;
            *) die "unknown option $1" ;;
        esac
    done
    [ ${#hwids[@]} -gt 0 ] || hwids=("MACHINE\\${kind^^}_${name^^}")
    local joined
    joined=$(IFS=,; echo "${hwids[*]}")
    ctl add "$kind" "$name" "$state" "$joined" "$friendly" "$desc" "$mfg" "$location" ${guid:+"$guid"}
}

cmd_install() {
    [ $# -ge 3 ] || die "usage: install MDIR EXE_NAME DIR"
    load_machine "$1"
    local exe=$2 dir=$3 f
    mkdir -p "$dir"
    for f in setupapi.dll sechost.dll setupapi_wine.dll sechost_wine.dll; do
        cp "$MACHINE_BUILD/standins/$f" "$dir/$f"
    done
    ctl override "$exe"
}

usage() {
    cat <<'EOF'
usage: machine.sh COMMAND ARGS...
  build OUTDIR [win32|win64|all]        build the pieces and the prepared prefixes
  create MDIR BUILDDIR [win32|win64]    new machine from the prepared prefix, driver running
                                        (MACHINE_WINEDEBUG: its services' debug channels)
  shutdown MDIR | destroy MDIR          end the machine's wineserver (destroy also deletes it)
  env MDIR                              print export lines for WINEPREFIX etc.
  wine MDIR ARGS...                     run a Wine command in the machine
  add MDIR bt|wifi NAME [--hwid ID]... [--friendly S] [--desc S] [--mfg S]
                        [--location S] [--guid {GUID}] [--started|--stopped]
  bulk MDIR bt|wifi PREFIX FIRST COUNT  COUNT stopped devices PREFIX<FIRST>.., no events
  remove MDIR NAME
  info MDIR NAME
  set-hwid MDIR NAME HWID...
  start MDIR NAME | stop MDIR NAME      node status + interface arrival/removal
  set-status MDIR NAME started|stopped|0xSTATUS [PROBLEM]   (no event)
  event MDIR NAME arrival|removal                           (no status change)
  received MDIR | reset MDIR | fail-next MDIR N             the Wi-Fi driver's record
  hold MDIR on|off                      requests held until cancelled, or released (off)
  install MDIR EXE_NAME DIR             stand-ins for EXE_NAME, which runs from DIR
  service-install MDIR NAME CMDLINE | service-start|service-stop|service-delete|service-state MDIR NAME
  service-resume MDIR NAME              the service hears a resume from sleep (its power events)
EOF
}

main() {
    [ $# -ge 1 ] || { usage >&2; exit 2; }
    local cmd=$1
    shift
    case $cmd in
        build) cmd_build "$@" ;;
        create) cmd_create "$@" ;;
        shutdown) cmd_shutdown "$@" ;;
        destroy) cmd_destroy "$@" ;;
        env) cmd_env "$@" ;;
        wine) load_machine "$1"; shift; wine "$@" ;;
        add) cmd_add "$@" ;;
        install) cmd_install "$@" ;;
        remove|info|set-hwid|start|stop|set-status|event|bulk)
            [ $# -ge 2 ] || die "usage: $cmd MDIR NAME ..."
            load_machine "$1"; shift; ctl "$cmd" "$@" ;;
        received) load_machine "$1"; ctl log ;;
        reset) load_machine "$1"; ctl reset ;;
        fail-next) [ $# -ge 2 ] || die "usage: fail-next MDIR N"; load_machine "$1"; ctl fail "$2" ;;
        hold) [ $# -ge 2 ] || die "usage: hold MDIR on|off"; load_machine "$1"
            ctl hold "$([ "$2" = on ] && echo 1 || echo 0)" ;;
        service-install|service-start|service-stop|service-delete|service-state|service-resume)
            [ $# -ge 2 ] || die "usage: $cmd MDIR NAME ..."
            load_machine "$1"; shift; ctl "svc-${cmd#service-}" "$@" ;;
        -h|--help|help) usage ;;
        *) usage >&2; exit 2 ;;
    esac
}

main "$@"
