#!/usr/bin/env bash
# The Windows Installer package under Wine, in a fresh prefix: built from
# this tree's exes by scripts/package.sh (once signed with a certificate
# made for the run, once unsigned with a higher version), then installed
# silently with properties, repaired, upgraded, refused as a downgrade and
# removed; last, the service it registered is compared with the one that
# tolvane.exe /install registers from the same folder.
#
# usage: package_test.sh TOLVANE_EXE CHECK_EXE WORK_DIR
#
# Exit codes reach us through Wine as 8 bits: msiexec's 1603 (fatal error)
# arrives as 67.
set -u

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
mkdir -p "$3"
exe="$(realpath "$1")"
check_exe="$(realpath "$2")"
work="$(realpath "$3")"

export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

template="$work/template"
prefix="$work/run.$$"
tmp="$work/tmp.$$"

source "$root/cmake/wine-prefix.sh"
wine_template "$template" win32 || { echo "FAIL - no Wine prefix can be made"; exit 1; }

# Runs that were killed leave their copies behind.
for stale in "$work"/run.* "$work"/tmp.*; do
    [ -e "$stale" ] || continue
    kill -0 "${stale##*.}" 2>/dev/null || rm -rf "$stale"
done
rm -rf "$prefix" "$tmp"
cp -a "$template" "$prefix"
mkdir -p "$tmp"
export WINEPREFIX="$prefix"

cleanup() {
    wineserver -k </dev/null >/dev/null 2>&1
    rm -rf "$prefix" "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; }
expect() {  # what expected actual
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected [$2], got [$3]"; fi
}
expect_true() {  # what command...
    local what="$1"
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
expect_false() {  # what command...
    local what="$1"
    shift
    if "$@"; then fail "$what"; else pass "$what"; fi
}

model="QX9"
service="Tolvane_$model"
display="Fleet Radio Service"
description="Keeps the Wi-Fi driver told about Bluetooth"
bt_pattern='VID_0B7C&PID_7B01'
wifi_pattern='VEN_7E57&DEV_7A37'
folder="$prefix/drive_c/Program Files/Tolvane"
winfolder='C:\Program Files\Tolvane'
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
timeout=30  # seconds the service may take to reach a state; a safety bound only

# ---- the packages: one signed, one unsigned of a higher version ----
version="$(sed -n 's/^project(tolvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
newer="${version%.*}.$((${version##*.} + 1))"
mkdir -p "$tmp/bin" "$tmp/dist" "$prefix/drive_c/packages"
cp "$exe" "$tmp/bin/tolvane.exe"
cp "$check_exe" "$tmp/bin/tolvane-check.exe"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Tolvane test signing" \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" </dev/null >/dev/null 2>&1
TOLVANE_SIGN_CERT="$tmp/cert.pem" TOLVANE_SIGN_KEY="$tmp/key.pem" \
    bash "$root/scripts/package.sh" --bin "$tmp/bin" --out "$tmp/dist" >"$tmp/signed.out" 2>&1
expect "signed package built" 0 "$?"
bash "$root/scripts/package.sh" --bin "$tmp/bin" --out "$tmp/dist" --version "$newer" \
    >"$tmp/unsigned.out" 2>&1
expect "unsigned package built" 0 "$?"
expect_true "the unsigned build says so" grep -q unsigned "$tmp/unsigned.out"
old_msi="$tmp/dist/tolvane-$version.msi"
new_msi="$tmp/dist/tolvane-$newer.msi"
cp "$old_msi" "$new_msi" "$prefix/drive_c/packages/" 2>/dev/null
old_pkg="C:\\packages\\tolvane-$version.msi"
new_pkg="C:\\packages\\tolvane-$newer.msi"

# ---- signatures: verified, and refused after one changed byte ----
verifies() { osslsigncode verify -CAfile "$tmp/cert.pem" -in "$1" >/dev/null 2>&1; }
flip_byte() {  # FILE OFFSET
    local byte
    byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# A changed byte where a signature covers it: a default property's text in
# the package, the middle of an exe.
expect_signed() {  # what FILE BYTE-OFFSET
    expect_true "$1: signature verifies" verifies "$2"
    cp "$2" "$tmp/changed"
    flip_byte "$tmp/changed" "$3"
    expect_false "$1: signature refused after one changed byte" verifies "$tmp/changed"
}
expect_signed "package" "$old_msi" "$(grep -boa QM5520 "$old_msi" | head -1 | cut -d: -f1)"
expect_false "the unsigned package carries no signature" verifies "$new_msi"
# Read by package.sh from the exes' version resources.
expect "package: both exes' file versions" \
    "$(printf 'tolvane-check.exe %s.0\ntolvane.exe %s.0' "$version" "$version")" \
    "$(msiinfo export "$old_msi" File | awk -F'\t' 'NR > 3 { print $3, $5 }' | sort)"

# ---- the prefix's tools ----
wine_server_up

msi() {  # msiexec ARGS...: sets code
    wine msiexec "$@" /qn </dev/null >/dev/null 2>&1
    code=$?
}
# The service's state as the manager reports it: 4 running, 1 stopped,
# empty when no such service.
state() {
    wine sc query "$service" </dev/null 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p'
}
expect_state() {  # what state
    local deadline=$((SECONDS + timeout)) now
    while :; do
        now="$(state)"
        [ "$now" = "$2" ] && break
        [ "$SECONDS" -ge "$deadline" ] && break
        sleep 0.2
    done
    expect "$1" "$2" "$now"
}
# A key's values, one "name type data" line each, sorted.
values() {
    wine reg query "$1" </dev/null 2>/dev/null | tr -d '\r' | grep 'REG_' | sed 's/^ *//' | sort
}
value() {  # KEY NAME: the data of one value
    values "$1" | sed -n "s/^$2 *REG_[A-Z_]* *//p"
}
settings() { tr -d '\r' <"$folder/tolvane.ini"; }
# Products of this name the installer has registered, with their versions.
products() {
    wine reg query "$uninstall_key" /s </dev/null 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { name = ""; version = "" }
             $1 == "DisplayName" { name = $3 }
             $1 == "DisplayVersion" { version = $3 }
             name == "Tolvane" && version != "" { print version; name = "" }'
}

expected_settings="$(printf '[Product]\nModel=%s\nServiceDisplayName=%s\nServiceDescription=%s\n[Settings]\nBTHWID=%s\nWiFiHWID=%s' \
    "$model" "$display" "$description" "$bt_pattern" "$wifi_pattern")"

# Everything in the prefix's drive but the packages, and but the installer's
# own cache folder, which Wine makes at the first install and Windows has.
files() {
    find "$prefix/drive_c" -path "$prefix/drive_c/packages" -prune -o -print |
        grep -vx "$prefix/drive_c/windows/Installer" | sort
}
files >"$tmp/files.before"

# ---- silent install with properties ----
msi /i "$old_pkg" "MODEL=$model" "DESCRIPTION=#$description"
expect "install: a value beginning with # refused (1603)" 67 "$code"
expect "install: nothing registered after the refusal" "" "$(state)"
msi /i "$old_pkg" "MODEL=$model" "DISPLAYNAME=$display" "DESCRIPTION=$description" \
    "BTHWID=$bt_pattern" "WIFIHWID=$wifi_pattern"
expect "install: exit code" 0 "$code"
expect_state "install: service running" 4
expect "install: display name" "$display" "$(value "$service_key" DisplayName)"
expect "install: description" "$description" "$(value "$service_key" Description)"
expect "install: own process" 0x10 "$(value "$service_key" Type)"
expect "install: automatic start" 0x2 "$(value "$service_key" Start)"
expect "install: errors ignored, as /install" 0x0 "$(value "$service_key" ErrorControl)"
expect "install: LocalSystem" LocalSystem "$(value "$service_key" ObjectName)"
# Wine's installer registers the path as it is; on Windows the engine
# quotes it (see README), as tolvane.exe /install does.
expect "install: image path" "$winfolder\\tolvane.exe" "$(value "$service_key" ImagePath)"
expect "install: settings file holds the properties" "$expected_settings" "$(settings)"
expect_signed "installed tolvane.exe" "$folder/tolvane.exe" \
    $(($(stat -c %s "$folder/tolvane.exe") / 2))
expect_true "installed tolvane-check.exe: signature verifies" verifies "$folder/tolvane-check.exe"
msi_values="$(values "$service_key")"

# ---- repair: the settings file comes back from the remembered properties ----
rm -f "$folder/tolvane.ini"
msi /i "$old_pkg" REINSTALL=ALL REINSTALLMODE=amus
expect "repair: exit code" 0 "$code"
expect "repair: settings file restored" "$expected_settings" "$(settings)"
expect_state "repair: service running" 4

# ---- upgrade without properties: one product, same service and settings ----
msi /i "$new_pkg"
expect "upgrade: exit code" 0 "$code"
expect "upgrade: one product, the newer" "$newer" "$(products)"
expect_state "upgrade: service running" 4
expect "upgrade: service registered as before" "$msi_values" "$(values "$service_key")"
expect "upgrade: settings kept" "$expected_settings" "$(settings)"

# ---- downgrade: refused, nothing changed ----
msi /i "$old_pkg" /l*v 'C:\packages\downgrade.log'
expect "downgrade: refused (1603)" 67 "$code"
expect_true "downgrade: refused as a downgrade" \
    grep -q '^Property(S): WIX_DOWNGRADE_DETECTED = {' "$prefix/drive_c/packages/downgrade.log"
expect "downgrade: the newer stays" "$newer" "$(products)"
expect_state "downgrade: service still running" 4

# ---- uninstall: nothing left ----
msi /x "$new_pkg"
expect "uninstall: exit code" 0 "$code"
expect "uninstall: no service" "" "$(state)"
files >"$tmp/files.after"
expect "uninstall: no file or folder left" "" \
    "$(diff "$tmp/files.before" "$tmp/files.after" | grep '^[<>]')"
# The registry reaches its files when the server ends.
wineserver -k </dev/null >/dev/null 2>&1
expect "uninstall: no registry key or value names the product or its maker" 0 \
    "$(cat "$prefix"/*.reg | grep -ci 'tolvane\|verdin')"
wine_server_up

# ---- the same service as tolvane.exe /install registers ----
mkdir -p "$folder"
cp "$exe" "$folder/tolvane.exe"
printf '%s\n' "$expected_settings" | sed 's/$/\r/' >"$folder/tolvane.ini"
wine "$winfolder\\tolvane.exe" /install </dev/null >/dev/null 2>&1
expect "/install from the same folder: exit code" 1 "$?"
exe_values="$(values "$service_key")"
expect "/install: quoted image path" "\"$winfolder\\tolvane.exe\"" \
    "$(value "$service_key" ImagePath)"
expect "/install and the package register the same, but for the image path's quotes" \
    "$(grep -v '^ImagePath ' <<<"$msi_values")" "$(grep -v '^ImagePath ' <<<"$exe_values")"
wine "$winfolder\\tolvane.exe" /uninstall </dev/null >/dev/null 2>&1

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
