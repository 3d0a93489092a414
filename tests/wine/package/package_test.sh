#!/usr/bin/env bash
# The Windows Installer package under Wine, in a fresh prefix: built from
# this tree's exes by scripts/package.sh (once signed with a certificate
# made for the run, once unsigned with a higher version), then installed
# silently with properties, repaired, upgraded, refused as a downgrade and
# removed (Wine's installer reports itself as version 4.5, so the action
# that applies the recovery and privileges tables, for 5.0 and later, is
# skipped there);
# last, the service it registered is compared with the one that
# tolvane.exe /install registers from the same folder.
#
# usage: package_test.sh TOLVANE_EXE CHECK_EXE BUILD_DIR
#
# Exit codes reach us through Wine as 8 bits: msiexec's 1603 (fatal error)
# arrives as 67.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../../cmake/wine-lib.sh"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
exe="$(realpath "$1")"
check_exe="$(realpath "$2")"
build="$(realpath "$3")"

model="QX9"
service="Tolvane_$model"
display="Fleet Radio Service"
description="Keeps the Wi-Fi driver told about Bluetooth"
bt_pattern='VID_0B7C&PID_7B01'
wifi_pattern='VEN_7E57&DEV_7A37'
winfolder='C:\Program Files\Tolvane'
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
timeout=30  # seconds the service may take to reach a state; a safety bound only

wine_env win32
prefix="$build/wine/package"
tmp="$build/wine/package.files"
wine_prefix_new "$build" win32 "$prefix" || { fail "a fresh Wine prefix"; checks_done; exit 1; }
export WINEPREFIX="$prefix"
trap 'wine_prefix_drop "$prefix"; rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM
rm -rf "$tmp"
mkdir -p "$tmp/bin" "$tmp/dist" "$prefix/drive_c/packages"
folder="$prefix/drive_c/Program Files/Tolvane"

# ---- the packages: one signed, one unsigned of a higher version ----
version="$(sed -n 's/^project(tolvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
newer="${version%.*}.$((${version##*.} + 1))"
cp "$exe" "$tmp/bin/tolvane.exe"
cp "$check_exe" "$tmp/bin/tolvane-check.exe"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Tolvane test signing" \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" </dev/null >/dev/null 2>&1
TOLVANE_SIGN_CERT="$tmp/cert.pem" TOLVANE_SIGN_KEY="$tmp/key.pem" \
    bash "$root/scripts/package.sh" --bin "$tmp/bin" --out "$tmp/dist" >"$tmp/signed.out" 2>&1
check "signed package built" $? "$(cat "$tmp/signed.out")"
bash "$root/scripts/package.sh" --bin "$tmp/bin" --out "$tmp/dist" --version "$newer" \
    >"$tmp/unsigned.out" 2>&1
check "unsigned package built" $? "$(cat "$tmp/unsigned.out")"
grep -q unsigned "$tmp/unsigned.out"
check "the unsigned build says so" $?
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
check_signed() {  # what FILE BYTE-OFFSET
    verifies "$2"
    check "$1: signature verifies" $?
    cp "$2" "$tmp/changed"
    flip_byte "$tmp/changed" "$3"
    ! verifies "$tmp/changed"
    check "$1: signature refused after one changed byte" $?
}
check_signed "package" "$old_msi" "$(grep -boa QM5520 "$old_msi" | head -1 | cut -d: -f1)"
! verifies "$new_msi"
check "the unsigned package carries no signature" $?
# Read by package.sh from the exes' version resources.
check_eq "package: both exes' file versions" \
    "$(printf 'tolvane-check.exe %s.0\ntolvane.exe %s.0' "$version" "$version")" \
    "$(msiinfo export "$old_msi" File | awk -F'\t' 'NR > 3 { print $3, $5 }' | sort)"

# Recovery after a crash, as /install registers it: one row for the
# service's component, at install and reinstall (1 + 4), applied between
# registering and starting the service.
check_eq "package: the recovery table holds exactly the service's actions" \
    "Recovery Tolvane_[MODEL] 5 86400 - - 1[~]1[~]0 5000[~]5000[~]0 Service" \
    "$(msiinfo export "$old_msi" MsiServiceConfigFailureActions | tr -d '\r' |
        awk -F'\t' 'NR > 3 { for (i = 1; i <= NF; ++i) if ($i == "") $i = "-"; print }' OFS=' ')"
# The one privilege /install leaves the service, in the same way.
check_eq "package: the configuration table holds exactly the service's required privileges" \
    "Privileges Tolvane_[MODEL] 5 6 SeChangeNotifyPrivilege Service" \
    "$(msiinfo export "$old_msi" MsiServiceConfig | tr -d '\r' | tail -n +4 | tr '\t' ' ')"
# In sequence order, with their conditions: Windows Installer before 5.0
# has no such action and skips it.
check_eq "package: recovery and privileges applied after InstallServices, before StartServices" \
    'InstallServices VersionNT|MsiConfigureServices VersionMsi >= "5.00"|StartServices VersionNT|' \
    "$(msiinfo export "$old_msi" InstallExecuteSequence | tr -d '\r' |
        awk -F'\t' '$1 ~ /^(InstallServices|MsiConfigureServices|StartServices)$/ { print $3 "\t" $1 " " $2 }' |
        sort -n | cut -f2 | tr '\n' '|')"

# ---- the prefix's tools ----
wine_server_up

msi() {  # msiexec ARGS...: sets code
    run_exe msiexec "$@" /qn
    code=$RUN_RC
}
# The service's state as the manager reports it: 4 running, 1 stopped,
# empty when no such service.
state() {
    run_exe sc query "$service"
    sed -n 's/^ *STATE *: *\([0-9]*\).*/\1/p' <<<"$RUN_OUT"
}
state_is() { [ "$(state)" = "$1" ]; }
check_state() {  # what state
    poll_until "$timeout" state_is "$2"
    check_eq "$1" "$2" "$(state)"
}
# A key's values, one "name type data" line each, sorted.
values() {
    run_exe reg query "$1"
    grep 'REG_' <<<"$RUN_OUT" | sed 's/^ *//' | sort
}
value() {  # KEY NAME: the data of one value
    values "$1" | sed -n "s/^$2 *REG_[A-Z_]* *//p"
}
settings() { tr -d '\r' <"$folder/tolvane.ini"; }
# Products of this name the installer has registered, with their versions.
products() {
    run_exe reg query "$uninstall_key" /s
    awk '/^HKEY/ { name = ""; version = "" }
         $1 == "DisplayName" { name = $3 }
         $1 == "DisplayVersion" { version = $3 }
         name == "Tolvane" && version != "" { print version; name = "" }' <<<"$RUN_OUT"
}
# Everything in the prefix's drive but the packages, and but the installer's
# own cache folder, which Wine makes at the first install and Windows has.
files() {
    find "$prefix/drive_c" -path "$prefix/drive_c/packages" -prune -o -print |
        grep -vx "$prefix/drive_c/windows/Installer" | sort
}
files >"$tmp/files.before"

expected_settings="$(printf '[Product]\nModel=%s\nServiceDisplayName=%s\nServiceDescription=%s\n[Settings]\nBTHWID=%s\nWiFiHWID=%s' \
    "$model" "$display" "$description" "$bt_pattern" "$wifi_pattern")"

# ---- silent install with properties ----
msi /i "$old_pkg" "MODEL=$model" "DESCRIPTION=#$description"
check_eq "install: a value beginning with # refused (1603)" 67 "$code"
check_eq "install: nothing registered after the refusal" "" "$(state)"

msi /i "$old_pkg" "MODEL=$model" "DISPLAYNAME=$display" "DESCRIPTION=$description" \
    "BTHWID=$bt_pattern" "WIFIHWID=$wifi_pattern"
check_eq "install: exit code" 0 "$code"
check_state "install: service running" 4
check_eq "install: display name" "$display" "$(value "$service_key" DisplayName)"
check_eq "install: description" "$description" "$(value "$service_key" Description)"
check_eq "install: own process" 0x10 "$(value "$service_key" Type)"
check_eq "install: automatic start" 0x2 "$(value "$service_key" Start)"
check_eq "install: errors ignored, as /install" 0x0 "$(value "$service_key" ErrorControl)"
check_eq "install: LocalSystem" LocalSystem "$(value "$service_key" ObjectName)"
# Wine's installer registers the path as it is; on Windows the engine
# quotes it (see docs/deploying.md), as tolvane.exe /install does.
check_eq "install: image path" "$winfolder\\tolvane.exe" "$(value "$service_key" ImagePath)"
check_eq "install: settings file holds the properties" "$expected_settings" "$(settings)"
check_signed "installed tolvane.exe" "$folder/tolvane.exe" \
    $(($(stat -c %s "$folder/tolvane.exe") / 2))
verifies "$folder/tolvane-check.exe"
check "installed tolvane-check.exe: signature verifies" $?
# The check tool beside the service reads the installed settings and finds
# the registered service running its neighbour; this prefix has no adapter.
run_exe "$winfolder\\tolvane-check.exe" /json
check_eq "check tool: exit code 2, no adapter matches" 2 "$RUN_RC"
check_eq "check tool: the installed service and settings" \
    "no-adapter-match $service True running True file:$wifi_pattern" \
    "$(python3 -c '
import json, sys
d = json.load(sys.stdin)
wifi = [k for k in d["settings"]["keys"] if k["key"] == "WiFiHWID"][0]
s = d["service"]
print(d["result"], d["settings"]["serviceName"], s["registered"], s["state"], s["besideSettings"],
      wifi["source"] + ":" + wifi["value"])' <<<"$RUN_OUT" 2>&1)"
msi_values="$(values "$service_key")"

# ---- repair: the settings file comes back from the remembered properties ----
rm -f "$folder/tolvane.ini"
msi /i "$old_pkg" REINSTALL=ALL REINSTALLMODE=amus
check_eq "repair: exit code" 0 "$code"
check_eq "repair: settings file restored" "$expected_settings" "$(settings)"
check_state "repair: service running" 4

# ---- upgrade without properties: one product, same service and settings ----
msi /i "$new_pkg"
check_eq "upgrade: exit code" 0 "$code"
check_eq "upgrade: one product, the newer" "$newer" "$(products)"
check_state "upgrade: service running" 4
check_eq "upgrade: service registered as before" "$msi_values" "$(values "$service_key")"
check_eq "upgrade: settings kept" "$expected_settings" "$(settings)"

# ---- downgrade: refused, nothing changed ----
msi /i "$old_pkg" /l*v 'C:\packages\downgrade.log'
check_eq "downgrade: refused (1603)" 67 "$code"
grep -q '^Property(S): WIX_DOWNGRADE_DETECTED = {' "$prefix/drive_c/packages/downgrade.log"
check "downgrade: refused as a downgrade" $?
check_eq "downgrade: the newer stays" "$newer" "$(products)"
check_state "downgrade: service still running" 4

# ---- uninstall: nothing left ----
msi /x "$new_pkg"
check_eq "uninstall: exit code" 0 "$code"
check_eq "uninstall: no service" "" "$(state)"
files >"$tmp/files.after"
check_eq "uninstall: no file or folder left" "" \
    "$(diff "$tmp/files.before" "$tmp/files.after" | grep '^[<>]')"
# The registry reaches its files when the server ends.
wineserver -k </dev/null >/dev/null 2>&1
check_eq "uninstall: no registry key or value names the product or its maker" 0 \
    "$(cat "$prefix"/*.reg | grep -ci 'tolvane\|verdin')"
wine_server_up

# ---- the same service as tolvane.exe /install registers ----
mkdir -p "$folder"
cp "$exe" "$folder/tolvane.exe"
printf '%s\n' "$expected_settings" | sed 's/$/\r/' >"$folder/tolvane.ini"
run_exe "$winfolder\\tolvane.exe" /install
check_eq "/install from the same folder: exit code" 1 "$RUN_RC"
exe_values="$(values "$service_key")"
check_eq "/install: quoted image path" "\"$winfolder\\tolvane.exe\"" \
    "$(value "$service_key" ImagePath)"
check_eq "/install and the package register the same, but for the image path's quotes" \
    "$(grep -v '^ImagePath ' <<<"$msi_values")" "$(grep -v '^ImagePath ' <<<"$exe_values")"
run_exe "$winfolder\\tolvane.exe" /uninstall

checks_done
