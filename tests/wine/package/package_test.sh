#!/usr/bin/env bash
# The Windows Installer package under Wine, in a fresh prefix: built from
# this tree's exes by scripts/package.sh (once signed with a certificate
# made for the run, then unsigned from the exes of the next version,
# twice), then refused, installed silently with properties, repaired,
# upgraded, replaced by the other build of its version, refused as a
# downgrade and removed. What Wine's installer skips (privileges, access
# lists and their owner: it reports version 4.5) or does not do (roll a
# failed upgrade back) is read from the built tables, as msiinfo writes
# them: CRLF lines, read without a byte dropped.
# Last, the service it registered is compared with the one that
# tolvane.exe /install registers from the same folder.
#
# usage: package_test.sh TOLVANE_EXE CHECK_EXE SETUP_DLL NEXT_DIR BUILD_DIR SVCCTL_EXE
#   NEXT_DIR  both exes built at the next patch version
#
# Exit codes reach us through Wine as 8 bits: msiexec's 1603 (fatal error)
# arrives as 67.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../../cmake/wine-lib.sh"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
exe="$(realpath "$1")"
check_exe="$(realpath "$2")"
setup_dll="$(realpath "$3")"
next_bin="$(realpath "$4")"
build="$(realpath "$5")"
svcctl="$(realpath "$6")"  # asks the manager what Wine's sc does not say (1060)

model="QX9"
service="Tolvane_$model"
display="Fleet Radio Service"
description="Keeps the Wi-Fi driver told about Bluetooth"
bt_pattern='VID_0B7C&PID_7B01'
wifi_pattern='VEN_7E57&DEV_7A37'
winfolder='C:\Fleet Tolvane'  # outside Program Files: given as INSTALLFOLDER, then remembered
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
source_key="HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\$service"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
timeout=30  # seconds the service may take to reach a state; a safety bound only

wine_env win32
prefix="$build/wine/package"
tmp="$build/wine/package.files"
wine_prefix_new "$build" win32 "$prefix" || { fail "a fresh Wine prefix"; checks_done; exit 1; }
export WINEPREFIX="$prefix"
trap 'wine_prefix_drop "$prefix"; rm -rf "$tmp"; checks_exit' EXIT
trap 'exit 1' INT TERM
rm -rf "$tmp"
mkdir -p "$tmp/bin" "$tmp/next" "$tmp/dist" "$prefix/drive_c/packages"
folder="$prefix/drive_c/Fleet Tolvane"

# ---- the packages: one signed, one unsigned of a higher version ----
version="$(sed -n 's/^project(tolvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
newer="${version%.*}.$((${version##*.} + 1))"
cp "$exe" "$tmp/bin/tolvane.exe"
cp "$check_exe" "$tmp/bin/tolvane-check.exe"
cp "$next_bin/tolvane.exe" "$next_bin/tolvane-check.exe" "$tmp/next/"
cp "$setup_dll" "$tmp/bin/"
cp "$setup_dll" "$tmp/next/"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Tolvane test signing" \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" </dev/null >/dev/null 2>&1
sign=(env TOLVANE_SIGN_CERT="$tmp/cert.pem" TOLVANE_SIGN_KEY="$tmp/key.pem")
"${sign[@]}" bash "$root/scripts/package.sh" --bin "$tmp/bin" --out "$tmp/dist" >"$tmp/signed.out" 2>&1
check_eq "signing without a timestamp refused, by name" "1 1" "$? $(grep -c 'no TOLVANE_SIGN_TIMESTAMP' "$tmp/signed.out")"
"${sign[@]}" TOLVANE_SIGN_NO_TIMESTAMP=1 bash "$root/scripts/package.sh" --bin "$tmp/bin" --out "$tmp/dist" >"$tmp/signed.out" 2>&1
check "signed package built, told to go without a timestamp" $? "$(cat "$tmp/signed.out")"
# One version everywhere: exes of another version are refused, by name.
bash "$root/scripts/package.sh" --bin "$tmp/bin" --out "$tmp/dist" --version "$newer" \
    >"$tmp/unsigned.out" 2>&1
check_eq "exes of another version than the package's refused" "1 package: tolvane.exe is version $version.0, the package $newer: build both with cmake -DTOLVANE_VERSION=$newer" \
    "$? $(cat "$tmp/unsigned.out")"
bash "$root/scripts/package.sh" --bin "$tmp/next" --out "$tmp/dist" --version "$newer" \
    >"$tmp/unsigned.out" 2>&1
check "unsigned package built" $? "$(cat "$tmp/unsigned.out")"
bash "$root/scripts/package.sh" --bin "$tmp/next" --out "$prefix/drive_c/packages/rebuilt" --version "$newer" \
    >"$tmp/rebuilt.out" 2>&1
check "the newer version built again" $? "$(cat "$tmp/rebuilt.out")"
grep -q unsigned "$tmp/unsigned.out"
check "the unsigned build says so" $?
old_msi="$tmp/dist/tolvane-$version.msi"
new_msi="$tmp/dist/tolvane-$newer.msi"
cp "$old_msi" "$new_msi" "$prefix/drive_c/packages/" 2>/dev/null
old_pkg="C:\\packages\\tolvane-$version.msi"
new_pkg="C:\\packages\\tolvane-$newer.msi"
rebuilt_pkg="C:\\packages\\rebuilt\\tolvane-$newer.msi"

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
msiinfo extract "$old_msi" Binary.SetupDll >"$tmp/setup.dll"
check_signed "the setup DLL in the package" "$tmp/setup.dll" $(($(stat -c %s "$tmp/setup.dll") / 2))
! verifies "$new_msi"
check "the unsigned package carries no signature" $?

# A table's rows as msiinfo writes them, its three header lines left out:
# one record a CRLF line, fields by tab, nothing else taken away.
rows() {  # MSI TABLE AWK-STATEMENTS, run on each row
    msiinfo export "$1" "$2" | awk -v RS='\r\n' -F'\t' "NR > 3 { $3 }"
}
table() { rows "$old_msi" "$1" 'print'; }
# Both exes carry the package's version, and the File table says so.
check_eq "package: both exes' file versions, the package's" \
    "tolvane.exe $version.0|tolvchk.exe|tolvane-check.exe $version.0|" \
    "$(rows "$old_msi" File 'printf "%s %s|", $3, $5')"
check_eq "next package: both exes' file versions, the package's" \
    "tolvane.exe $newer.0|tolvchk.exe|tolvane-check.exe $newer.0|" \
    "$(rows "$new_msi" File 'printf "%s %s|", $3, $5')"
check_eq "package: no file hashes, both files being versioned" "" "$(table MsiFileHash)"
# Every public property the installing service needs, the last one too.
check_eq "package: the secure properties" \
    "MODEL;DISPLAYNAME;DESCRIPTION;BTHWID;WIFIHWID;INSTALLFOLDER;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED|" \
    "$(rows "$old_msi" Property 'if ($1 == "SecureCustomProperties") printf "%s|", $2')"
# The owner and the access lists need Windows Installer 5.0.
check_eq "package: Windows Installer 5.0 required" "Version: 500 (1f4)" \
    "$(msiinfo suminfo "$old_msi" | grep '^Version: ')"
# The recovery: set, then run deferred as LocalSystem, ignored if it fails
# (34 + 64 + 1024 + 2048). The lengths: the setup DLL's entry, immediate.
check_eq "package: the custom actions" \
    "CheckLengths 1 SetupDll CheckLengths|RecoveryCommand 51 RecoveryCommand|SetRecovery 3170 INSTALLFOLDER|" \
    "$(table CustomAction | awk -F'\t' '$1 ~ /^(RecoveryCommand|SetRecovery|CheckLengths)$/ { print $1, $2, $3 ($2 == 1 ? " " $4 : "") }' | tr '\n' '|')"
check_eq "package: no script" "" \
    "$(rows "$old_msi" CustomAction 'if (int($2 / 1) % 8 == 5 || int($2 / 1) % 8 == 6) print $1')"
check_eq "package: the lengths checked before the launch conditions, never at a removal" \
    'CheckLengths NOT REMOVE~="ALL" 56|LaunchConditions  100|' \
    "$(rows "$old_msi" InstallUISequence 'if ($1 ~ /^(CheckLengths|LaunchConditions)$/) printf "%s %s %s|", $1, $2, $3')"
# Older versions and other builds of this one replaced, newer ones detected.
check_eq "package: the upgrade rows" "- $version 513 WIX_UPGRADE_DETECTED|$version - 2 WIX_DOWNGRADE_DETECTED|" \
    "$(table Upgrade | awk -F'\t' '{ print ($2 == "" ? "-" : $2), ($3 == "" ? "-" : $3), $5, $7 }' | tr '\n' '|')"
check_eq "package: Administrators the owner; SYSTEM and Administrators full control, Users read and run" \
    "$(printf '%s\n' 'LockFolder INSTALLFOLDER CreateFolder O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU) ' \
        'LockServiceExe ServiceExe File O:BAD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU) ' \
        'LockCheckExe CheckExe File O:BAD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU) ')" \
    "$(table MsiLockPermissionsEx | tr '\t' ' ')"
check_eq "package: a verbose log without /l" voicewarmup \
    "$(table Property | awk -F'\t' '$1 == "MsiLogging" { print $2 }')"
# The one privilege /install leaves the service, in the same way.
check_eq "package: the configuration table holds exactly the service's required privileges" \
    "Privileges Tolvane_[MODEL] 5 6 SeChangeNotifyPrivilege Service" \
    "$(table MsiServiceConfig | tr '\t' ' ')"
# The log's source in rows of its own, with the service: the path
# expandable ("#%"), the types a number.
check_eq "package: the event source's registry rows" \
    'Service 2 SYSTEM\CurrentControlSet\Services\EventLog\Application\Tolvane_[MODEL]\ EventMessageFile #%[INSTALLFOLDER]tolvane.exe|Service 2 SYSTEM\CurrentControlSet\Services\EventLog\Application\Tolvane_[MODEL]\ TypesSupported #7|' \
    "$(table Registry | awk -F'\t' '$3 ~ /EventLog/ { print $6, $2, $3, $4, $5 }' | tr '\n' '|')"
# In sequence order, with their conditions: the older version removed
# inside the installation, so that a failure rolls back to it.
check_eq "package: the actions in order" \
    'CheckLengths NOT REMOVE~="ALL"|KeepInstallFolder NOT INSTALLFOLDER AND REMEMBERED_INSTALLFOLDER|LaunchConditions |InstallInitialize |RemoveExistingProducts |InstallServices VersionNT|RecoveryCommand $Service = 3|SetRecovery $Service = 3|MsiConfigureServices VersionMsi >= "5.00"|StartServices VersionNT|' \
    "$(table InstallExecuteSequence |
        awk -F'\t' '$1 ~ /^(KeepInstallFolder|CheckLengths|LaunchConditions|InstallInitialize|RemoveExistingProducts|InstallServices|RecoveryCommand|SetRecovery|MsiConfigureServices|StartServices)$/ { print $3 "\t" $1 " " $2 }' |
        sort -n | cut -f2 | tr '\n' '|')"

# ---- the prefix's tools ----
wine_server_up

msi() {  # msiexec ARGS...: sets code
    run_exe msiexec "$@" /qn
    code=$RUN_RC
}
# The service's state as the manager reports it: 4 running, 1 stopped,
# absent when the manager says there is no such service (1060); any other
# answer is printed as it came.
state() {  # [SERVICE]
    run_exe "$svcctl" query "${1:-$service}"
    case $RUN_OUT in
        error=1060) echo absent ;;
        state=[0-9]*) local rest=${RUN_OUT#state=}; echo "${rest%% *}" ;;
        *) echo "unreadable (exit $RUN_RC): $RUN_OUT" ;;
    esac
}
state_is() { [ "$(state "${2:-}")" = "$1" ]; }  # STATE [SERVICE]
check_state() {  # what state
    poll_until "$timeout" state_is "$2"
    check_eq "$1" "$2" "$(state)"
}
# A key's values, one "name type data" line each, sorted.
values() {
    run_exe reg query "$1"
    [ "$RUN_RC" = 0 ] || echo "(reg query $1 failed: exit $RUN_RC)"
    grep 'REG_' <<<"$RUN_OUT" | sed 's/^ *//' | sort
}
value() {  # KEY NAME: the data of one value
    values "$1" | sed -n "s/^$2 *REG_[A-Z_]* *//p"
}
settings() { tr -d '\r' <"$folder/tolvane.ini"; }
# Products of this name the installer has registered, with their versions.
products() {
    run_exe reg query "$uninstall_key" /s
    [ "$RUN_RC" = 0 ] || echo "(reg query $uninstall_key failed: exit $RUN_RC)"
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
refused() {  # what MODEL DISPLAYNAME FLAG: refused, and only FLAG set
    msi /i "$old_pkg" "MODEL=$2" "DISPLAYNAME=$3" /l*v 'C:\packages\refused.log'
    check_eq "install: $1 refused (1603), by its flag alone" "67 Property(S): $4 = 1|" \
        "$code $(grep -a '^Property(S): [A-Za-z]*\(TooLong\|Unspelled\) ' "$prefix/drive_c/packages/refused.log" | tr '\r\n' '\n|')"
}
times() { local i; for ((i = 0; i < $2; i++)); do printf %s "$1"; done; }  # TEXT COUNT
m55="$(times M 55)"
d127="$(times D 127)"
refused "a MODEL of 56 characters" "${m55}6" "$d127" ModelTooLong
refused "a DISPLAYNAME of 128 characters" "$m55" "${d127}8" DisplayNameTooLong
refused "a MODEL the code page cannot write" "Q$(printf '\u03a9')9" "$display" ModelUnspelled
# Bytes in the code page, as tolvane.exe reads them: in 932 a katakana
# takes two, so 28 are 56 bytes where 27 and a letter are 55.
ka="$(printf '\u30a2')"
LC_ALL=ja_JP.UTF-8 refused "in code page 932, a MODEL of 56 bytes in 28 characters" \
    "$(times "$ka" 28)" "$(times "$ka" 63)D" ModelTooLong
LC_ALL=ja_JP.UTF-8 refused "in code page 932, a DISPLAYNAME of 128 bytes in 64 characters" \
    "$(times "$ka" 27)M" "$(times "$ka" 64)" DisplayNameTooLong
check_eq "install: nothing installed after the refusals" "absent" "$(state)$(products)"

msi /i "$old_pkg" "MODEL=$model" "DISPLAYNAME=$display" "DESCRIPTION=$description" \
    "BTHWID=$bt_pattern" "WIFIHWID=$wifi_pattern" "INSTALLFOLDER=$winfolder" /l*v 'C:\packages\install.log'
check_eq "install: exit code" 0 "$code"
check_state "install: service running" 4
# Run where a length can change, once; at the removal below, never.
ran_check() { grep -ac '^Action start [0-9:]*: CheckLengths\.$' "$prefix/drive_c/packages/$1"; }
check_eq "install: the lengths checked once" 1 "$(ran_check install.log)"
# Wine keeps no recovery: the log shows the command ran, and Wine's sc takes it.
log="$(tr -d '\r' <"$prefix/drive_c/packages/install.log")"
recovery="$(sed -n 's/^Property(S): RecoveryCommand = //p' <<<"$log")"
check_eq "install: the recovery command, run once" \
    "\"C:\\windows\\system32\\sc.exe\" failure \"$service\" reset= 86400 actions= restart/5000/restart/5000//0|Action ended: SetRecovery. Return value 1." \
    "$recovery|$(sed -n 's/^Action ended [0-9:]*: \(SetRecovery\..*\)/Action ended: \1/p' <<<"$log" | sort -u)"
eval "args=($recovery)"
run_exe "${args[@]}"
check_eq "install: Wine's sc accepts the recovery command" 0 "$RUN_RC"
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
check_eq "install: the event source names the installed exe" \
    "EventMessageFile    REG_EXPAND_SZ    $winfolder\\tolvane.exe|TypesSupported    REG_DWORD    0x7|" \
    "$(values "$source_key" | tr '\n' '|')"
check_signed "installed tolvane.exe" "$folder/tolvane.exe" \
    $(($(stat -c %s "$folder/tolvane.exe") / 2))
verifies "$folder/tolvane-check.exe"
check "installed tolvane-check.exe: signature verifies" $?
# The check tool beside the service reads the installed settings and finds
# the registered service running its neighbour; this prefix has no adapter.
run_exe "$winfolder\\tolvane-check.exe" /json
check_eq "check tool: exit code 2, no adapter matches" 2 "$RUN_RC"
check_eq "check tool: the installed service and settings" \
    "no-adapter-match $service True running True file:$wifi_pattern True $winfolder\\tolvane.exe" \
    "$(python3 -c '
import json, sys
d = json.load(sys.stdin)
wifi = [k for k in d["settings"]["keys"] if k["key"] == "WiFiHWID"][0]
s = d["service"]
print(d["result"], d["settings"]["serviceName"], s["registered"], s["state"], s["besideSettings"],
      wifi["source"] + ":" + wifi["value"], s["eventSourceRegistered"], s["eventMessageFile"])' <<<"$RUN_OUT" 2>&1)"
msi_values="$(values "$service_key")"
msi_source="$(values "$source_key")"

# ---- repair: the settings file comes back from the remembered properties ----
rm -f "$folder/tolvane.ini"
msi /i "$old_pkg" REINSTALL=ALL REINSTALLMODE=amus
check_eq "repair: exit code" 0 "$code"
check_eq "repair: settings file restored" "$expected_settings" "$(settings)"
check_state "repair: service running" 4
# (another display name too: the manager refuses a second service of the same)
msi /i "$old_pkg" REINSTALL=ALL REINSTALLMODE=omus MODEL=QX8 "DISPLAYNAME=Another Radio Service"
check_eq "reinstall with another MODEL: refused (1603), no second service" "67 absent 4" \
    "$code $(state Tolvane_QX8) $(state)"

# ---- upgrade without properties: one product, same service and settings ----
msi /i "$new_pkg" /l*v 'C:\packages\upgrade.log'
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

# ---- the other build of the same version, with another MODEL: replaces ----
msi /i "$rebuilt_pkg" MODEL=QX8
check_eq "rebuild: exit code, one product" "0 $newer" "$code $(products)"
poll_until "$timeout" state_is 4 Tolvane_QX8
check_eq "rebuild: the old service gone, the new one running" "absent 4" "$(state) $(state Tolvane_QX8)"

# ---- uninstall: nothing left ----
msi /x "$rebuilt_pkg" /l*v 'C:\packages\remove.log'
check_eq "uninstall: exit code" 0 "$code"
check_eq "uninstall: no service" "absent absent" "$(state) $(state Tolvane_QX8)"
check_eq "uninstall: the lengths not checked" 0 "$(ran_check remove.log)"
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
check_eq "/install and the package register the same event source" \
    "$msi_source" "$(values "$source_key")"
run_exe "$winfolder\\tolvane.exe" /uninstall

checks_done
