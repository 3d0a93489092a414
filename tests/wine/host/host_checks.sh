#!/usr/bin/env bash
# Host facts and the settings file on Wine itself.
#
#   host_checks.sh win32|win64 HOST_PROBE_EXE BUILD_DIR TOLVANE_EXE CHECK_EXE OBJDUMP
#
# Each run works in a fresh copy of the build tree's prepared prefix of the
# given architecture, so it starts from a clean registry. For each Windows
# version Wine can be set to, the probe's host code, and the one the
# shipped check tool reports under its manifest, are compared with what
# that version must classify as; then the manifest both shipped exes carry,
# the DLLs they import, the registry view the reader opens, and the
# settings file found beside a real exe. Exit 0 all passed, 1 something
# failed, 77 the check cannot run here (no prefix of that architecture can
# be made).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../../cmake/wine-lib.sh"

arch="$1"
probe="$2"
build="$(realpath "$3")"
service_exe="$(realpath "$4")"
check_exe="$(realpath "$5")"
objdump="$6"

wine_env "$arch"
prefix="$build/wine/host-$arch"

if ! wine_template "$build" "$arch"; then
    [ "$arch" = win32 ] || { echo "SKIP: no 64-bit Wine prefix can be made on this machine"; exit 77; }
    fail "a win32 Wine prefix can be made"; checks_done; exit 1
fi
wine_prefix_copy "$(wine_template_path "$build" "$arch")" "$prefix" ||
    { fail "a fresh copy of the $arch prefix"; checks_done; exit 1; }
export WINEPREFIX="$prefix"
trap 'wine_prefix_drop "$prefix"; checks_exit' EXIT
wine_server_up

# Runs the probe (Windows path or Unix path); its output is RUN_OUT.
run_probe() {
    local exe="$1"
    shift
    run_exe "$exe" "$@"
    [ "$RUN_RC" = 0 ] || fail "probe $* ended with $RUN_RC: $(tr '\n' ' ' <<<"$RUN_OUT $RUN_ERR")"
}

field() { sed -n "s/^$1=//p" <<<"$RUN_OUT"; }

expect() {  # WHAT FIELD WANT
    local got
    got="$(field "$2")"
    [ "$got" = "$3" ]
    check "$1: $2 is '$3'" $? "got '$got' ($(tr '\n' ' ' <<<"$RUN_OUT"))"
}

set_version() {
    wine reg add 'HKCU\Software\Wine' /v Version /d "$1" /f </dev/null >/dev/null 2>&1 ||
        fail "cannot set the Windows version $1"
}

# reg.exe as a 32-bit or a 64-bit program: the view it writes.
reg_add() {
    local view="$1" key="$2" name="$3" data="$4"
    wine reg add "$key" /v "$name" /d "$data" /f "/reg:$view" </dev/null >/dev/null 2>&1 ||
        fail "cannot write $key\\$name in the $view-bit view"
}

# ---- Windows versions and the host codes they classify as ----

if [ "$arch" = win32 ]; then
    versions="winxp:7 win2003:9 vista:10 win2008:14 win7:12"
    amd64=0
else
    # XP's 32-bit version on an AMD64 machine still counts as XP.
    versions="winxp:7 win2003:8 vista:11 win2008:14 win7:13"
    amd64=1
fi

for pair in $versions; do
    version="${pair%%:*}"
    code="${pair##*:}"
    set_version "$version"
    run_probe "$probe" classify
    expect "$arch $version" result 1
    expect "$arch $version" code "$code"
    expect "$arch $version" amd64 "$amd64"
    # Looked up before main ran, and present on every version Wine offers.
    expect "$arch $version" entry 1
    expect "$arch $version" wow64 "$amd64"
    # The shipped exe, manifest and all, classifies the same.
    run_exe "$check_exe" /json
    check_eq "$arch $version: tolvane-check.exe /json hostCode" "$code" \
        "$(python3 -c 'import json, sys; print(json.load(sys.stdin)["host"]["hostCode"])' \
            <<<"$RUN_OUT" 2>&1)"
done

# ---- the application manifest both shipped exes carry ----

# What it asks, as a line: the execution level, UI access, and the elements
# found named compatibility or supportedOS (none).
manifest_says() {
    python3 -c '
import sys, xml.etree.ElementTree as ET
root = ET.fromstring(sys.stdin.buffer.read())
level = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
extra = [e.tag.split("}")[-1] for e in root.iter()
         if e.tag.split("}")[-1] in ("compatibility", "supportedOS")]
print(len(level), level[0].get("level") if level else "-",
      level[0].get("uiAccess") if level else "-", extra)' 2>&1
}
for exe in "$service_exe" "$check_exe"; do
    run_probe "$probe" manifest "$exe"
    check_eq "$(basename "$exe"): manifest resource 1 runs as invoker, no UI access, no OS list" \
        "1 asInvoker false []" "$(manifest_says <<<"$RUN_OUT")"
done

# ---- the DLLs both shipped exes import ----

# Only DLLs Windows maps from its own folder whatever lies beside the exe
# (its known DLLs): a planted cfgmgr32.dll, say, must find no import to
# stand in for. The node-status call comes from setupapi.
if [ "$arch" = win32 ]; then
    for exe in "$service_exe" "$check_exe"; do
        name="$(basename "$exe")"
        imports="$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')"
        outside="$(tr ' ' '\n' <<<"$imports" | grep -vxE 'advapi32\.dll|kernel32\.dll|msvcrt\.dll|setupapi\.dll|user32\.dll|')"
        check "$name: imports only known system DLLs (got: $imports)" "$([ -z "$outside" ]; echo $?)" \
            "outside the set: $outside"
        check_eq "$name: CM_Get_DevNode_Status imported from setupapi" "SETUPAPI.dll" \
            "$("$objdump" -p "$exe" | awk '/DLL Name:/ { dll = $3 } $NF == "CM_Get_DevNode_Status" { print dll }')"
    done
fi

# ---- the registry view the reader opens ----

key='Software\TolvaneHostCheck'
if [ "$arch" = win32 ]; then
    reg_add 32 "HKLM\\$key" Here plain
    for pair in winxp:0 win2003:1 win7:1; do
        version="${pair%%:*}"
        set_version "$version"
        run_probe "$probe" read "$key" Here
        expect "$arch $version read" result 1
        expect "$arch $version read" data plain
        expect "$arch $version read" sam 0x20019
        expect "$arch $version read" wow64calls "${pair##*:}"
    done
    run_probe "$probe" read "$key" Absent
    expect "$arch missing value" result -5
    run_probe "$probe" read "$key\\Absent" Here
    expect "$arch missing key" result -4
else
    # One value only the 32-bit view holds, one only the 64-bit view holds,
    # and a key only the 64-bit view has.
    reg_add 32 "HKLM\\$key" Only32 view32
    reg_add 64 "HKLM\\$key" Only64 view64
    reg_add 64 "HKLM\\${key}64" Only64 view64
    wine reg query "HKLM\\Software\\Wow6432Node\\TolvaneHostCheck" /v Only32 /reg:64 \
        </dev/null >/dev/null 2>&1 || fail "the 32-bit value is not under Wow6432Node"

    for version in win2003 vista win7; do
        set_version "$version"
        run_probe "$probe" read "$key" Only32
        expect "$arch $version 32-bit value" result 1
        expect "$arch $version 32-bit value" data view32
        expect "$arch $version 32-bit value" sam 0x20219
        expect "$arch $version 32-bit value" wow64calls 1
        run_probe "$probe" read "$key" Only64
        expect "$arch $version 64-bit value" result -5
        expect "$arch $version 64-bit value" sam 0x20219
        run_probe "$probe" read "${key}64" Only64
        expect "$arch $version 64-bit key" result -4
    done

    # Code 7 never asks about WOW64 and opens with the plain mask; WOW64
    # still shows the 32-bit process the 32-bit view.
    set_version winxp
    run_probe "$probe" read "$key" Only32
    expect "$arch winxp read" result 1
    expect "$arch winxp read" data view32
    expect "$arch winxp read" sam 0x20019
    expect "$arch winxp read" wow64calls 0
fi

# ---- the settings file beside a real exe (32-bit prefix only) ----

if [ "$arch" = win32 ]; then
    set_version win7
    c="$prefix/drive_c"

    # In a dotted folder, beside a decoy a cut at the folder's "." would name.
    mkdir -p "$c/Tools/dir.v2"
    cp "$probe" "$c/Tools/dir.v2/tolvane.exe"
    printf '[Product]\r\nModel=DOTTED\r\n[Settings]\r\nBTHWID=%s\r\nWiFiHWID=%s\r\n' \
        "$(printf 'B%.0s' $(seq 1 64))" 'PCI\VEN_7E57' >"$c/Tools/dir.v2/tolvane.ini"
    printf '[Product]\r\nModel=DECOY\r\n' >"$c/Tools/dir.ini"
    printf '[Product]\r\nModel=DECOY\r\n' >"$c/Tools/dir.v2/tolvane.exe.ini"
    exe='C:\Tools\dir.v2\tolvane.exe'
    run_probe "$exe" name
    expect "dotted folder" result 1
    expect "dotted folder" name "[Tolvane_DOTTED]"
    run_probe "$exe" setting Settings WiFiHWID "" 64
    expect "dotted folder pattern" value '[PCI\VEN_7E57]'
    # 64 characters do not fit a 64-byte pattern buffer: refused, not cut.
    run_probe "$exe" setting Settings BTHWID "" 64
    expect "pattern too long" result 0
    expect "pattern too long" value "[]"
    run_probe "$exe" setting Product ServiceDisplayName "Verdin Service" 128
    expect "display name default" value "[Verdin Service]"

    # A stored text of 300 characters comes back as its first 255.
    long="$(printf '0123456789%.0s' $(seq 1 30))"
    printf '[Product]\r\nServiceDescription=%s\r\n' "$long" >"$c/Tools/dir.v2/tolvane.ini"
    run_probe "$exe" setting Product ServiceDescription "" 512
    expect "long value" result 1
    expect "long value" length 255
    expect "long value" value "[${long:0:255}]"

    # An exe path of 259 characters is read whole: its own file is read,
    # never the one a path cut to 255 characters would name.
    a="$(printf 'a%.0s' $(seq 1 120))"
    b="$(printf 'b%.0s' $(seq 1 122))"
    mkdir -p "$c/$a/$b"
    cp "$probe" "$c/$a/$b/h.abcdef.exe"
    printf '[Product]\r\nModel=FULL\r\n' >"$c/$a/$b/h.abcdef.ini"
    printf '[Product]\r\nModel=CUT\r\n' >"$c/$a/$b/h.ini"
    exe="C:\\$a\\$b\\h.abcdef.exe"
    [ ${#exe} -eq 259 ] || fail "the long exe path is ${#exe} characters, not 259"
    run_probe "$exe" name
    expect "long exe path" name "[Tolvane_FULL]"
fi

checks_done
