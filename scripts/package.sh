#!/usr/bin/env bash
# Builds the Windows Installer package dist/tolvane-X.Y.Z.msi: a release
# build of both exes, packed by wixl from packaging/tolvane.wxs, completed
# by msibuild with the tables wixl has no elements for, and signed when a
# certificate is named.
#
# usage: bash scripts/package.sh [--version X.Y.Z] [--bin DIR] [--out DIR]
#   --version  the package's version instead of the project's, and so the
#              version of both exes built for it; Windows Installer upgrades
#              only to a higher version, never the same
#   --bin      package tolvane.exe, tolvane-check.exe and tolvane-setup.dll
#              from DIR instead of building a release; both exes must carry
#              the package's version
#   --out      where the package goes (default: dist)
#
# Signing, with osslsigncode (SHA-256), of both exes, the setup DLL and the
# package:
#   TOLVANE_SIGN_CERT       certificate chain, PEM (signing certificate first)
#   TOLVANE_SIGN_KEY        its private key, PEM or DER
#   TOLVANE_SIGN_PASS       the key's passphrase (optional)
#   TOLVANE_SIGN_TIMESTAMP  a timestamp server's URL, required: a signature
#                           without a timestamp stops verifying when the
#                           certificate expires
#   TOLVANE_SIGN_NO_TIMESTAMP=1  sign without one all the same (a package
#                           for tests, never one for machines to keep)
# Each signature is verified against the certificate chain and the system's
# trusted roots. Without a certificate and key the package is unsigned.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
version=""
bin=""
out="$root/dist"

die() { echo "package: $*" >&2; exit 1; }

while [ $# -gt 0 ]; do
    case "$1" in
        --version) version="${2:-}"; shift 2 ;;
        --bin) bin="${2:-}"; shift 2 ;;
        --out) out="${2:-}"; shift 2 ;;
        *) die "unknown argument $1 (usage: package.sh [--version X.Y.Z] [--bin DIR] [--out DIR])" ;;
    esac
done

if [ -z "$version" ]; then
    version="$(sed -n 's/^project(tolvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
fi
# The installer's version fields: major and minor up to 255, build up to 65535.
if ! [[ "$version" =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] ||
   [ "${BASH_REMATCH[1]}" -gt 255 ] || [ "${BASH_REMATCH[2]}" -gt 255 ] ||
   [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
    die "version [$version] is not X.Y.Z (X, Y up to 255, Z up to 65535)"
fi

signing=0
if [ -n "${TOLVANE_SIGN_CERT:-}" ] || [ -n "${TOLVANE_SIGN_KEY:-}" ]; then
    [ -f "${TOLVANE_SIGN_CERT:-}" ] && [ -f "${TOLVANE_SIGN_KEY:-}" ] ||
        die "TOLVANE_SIGN_CERT and TOLVANE_SIGN_KEY must both name files"
    signing=1
    [ -n "${TOLVANE_SIGN_TIMESTAMP:-}" ] || [ "${TOLVANE_SIGN_NO_TIMESTAMP:-}" = 1 ] ||
        die "no TOLVANE_SIGN_TIMESTAMP: a signature without a timestamp stops verifying when the certificate expires (TOLVANE_SIGN_NO_TIMESTAMP=1 signs without one all the same)"
fi

if [ -z "$bin" ]; then
    bash "$root/scripts/setup.sh"
    (cd "$root" && cmake --preset release -DTOLVANE_VERSION="$version" >/dev/null &&
        cmake --build --preset release >/dev/null)
    bin="$root/build-release"
fi
for tool in wixl msibuild msiinfo; do
    command -v "$tool" >/dev/null || die "$tool is missing (bash scripts/setup.sh installs it)"
done
[ "$signing" = 0 ] || command -v osslsigncode >/dev/null ||
    die "osslsigncode is missing (bash scripts/setup.sh installs it)"
for exe in tolvane.exe tolvane-check.exe tolvane-setup.dll; do
    [ -f "$bin/$exe" ] || die "no $exe in $bin"
done

# FILE's version from its version resource (VS_FIXEDFILEINFO, found by the
# block's key "VS_VERSION_INFO" in UTF-16, its null and padding, then the
# signature 0xFEEF04BD; the signature alone also stands in the code of
# tolvane-check.exe, which reads other exes' versions): the two version
# words follow the signature and the structure version, each a pair of
# 16-bit halves, low half first.
file_version() {
    local at key='V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00_\x00I\x00N\x00F\x00O\x00'
    at="$(LC_ALL=C grep -obUaP "$key"'\x00\x00\x00\x00\xBD\x04\xEF\xFE' "$1" | head -1 | cut -d: -f1)"
    [ -n "$at" ] || return 1
    od -An -tu2 -j $((at + 34 + 8)) -N8 "$1" | awk '{ print $2 "." $1 "." $4 "." $3 }'
}
# One version everywhere: what msiexec, Explorer and inventories show.
for exe in tolvane.exe tolvane-check.exe; do
    exe_version="$(file_version "$bin/$exe")" || die "$exe has no version resource"
    [ "$exe_version" = "$version.0" ] ||
        die "$exe is version $exe_version, the package $version: build both with cmake -DTOLVANE_VERSION=$version"
done

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
cp "$bin/tolvane.exe" "$bin/tolvane-check.exe" "$bin/tolvane-setup.dll" "$stage/"

# Trusted for verification: the chain given and the system's roots.
ca="$stage/ca.pem"
if [ "$signing" = 1 ]; then
    cat "$TOLVANE_SIGN_CERT" >"$ca"
    [ ! -f /etc/ssl/certs/ca-certificates.crt ] || cat /etc/ssl/certs/ca-certificates.crt >>"$ca"
fi

sign() {  # FILE: signs it in place and verifies the signature
    local args=(-certs "$TOLVANE_SIGN_CERT" -key "$TOLVANE_SIGN_KEY" -h sha256 -n Tolvane)
    [ -z "${TOLVANE_SIGN_PASS:-}" ] || args+=(-pass "$TOLVANE_SIGN_PASS")
    [ -z "${TOLVANE_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$TOLVANE_SIGN_TIMESTAMP")
    osslsigncode sign "${args[@]}" -in "$1" -out "$1.signed" >"$stage/sign.log" 2>&1 ||
        { cat "$stage/sign.log" >&2; die "signing $(basename "$1") failed"; }
    mv "$1.signed" "$1"
    local check=(-CAfile "$ca")
    [ -z "${TOLVANE_SIGN_TIMESTAMP:-}" ] || check+=(-TSA-CAfile "$ca")
    osslsigncode verify "${check[@]}" -in "$1" >"$stage/verify.log" 2>&1 ||
        { cat "$stage/verify.log" >&2; die "the signature of $(basename "$1") does not verify"; }
}

if [ "$signing" = 1 ]; then
    sign "$stage/tolvane.exe"
    sign "$stage/tolvane-check.exe"
    sign "$stage/tolvane-setup.dll"
fi

# wixl finds the files the .wxs names in the folder it runs in.
msi="$stage/tolvane.msi"
(cd "$stage" && wixl -a x86 -D Version="$version" -o "$msi" "$root/packaging/tolvane.wxs")

# What wixl cannot say:
# - the settings file's entries and its removal;
# - the service's one required privilege (MsiServiceConfig:
#   SeChangeNotifyPrivilege, at install and at reinstall, so a repair sets
#   it again), applied by MsiConfigureServices between InstallServices and
#   StartServices, where the installer has it (5.0, Windows 7 and later);
# - the recovery after a crash as tolvane.exe /install registers it (a
#   restart after 5 s at the first and the second failure, none after the
#   third, the count reset after a day), set by the system's sc.exe from
#   SetRecovery: deferred, as LocalSystem, after the service is registered
#   and before it starts, whenever the service's component is installed or
#   reinstalled; its exit code is ignored, as /install ignores a failure
#   to set it. (The installer's own table for it is documented as not
#   working as expected.) The command line is made first in the property
#   RecoveryCommand, so that every installer's log shows it;
# - access lists (MsiLockPermissionsEx, installer 5.0): Administrators the
#   owner, SYSTEM and Administrators full control, Users read and run,
#   nothing inherited, for the folder, which tolvane.ini, written into it,
#   inherits, and for both exes; a folder outside Program Files would
#   otherwise let every signed-in user change what LocalSystem runs, and
#   a folder that was there before would keep its owner, who may rewrite
#   its list;
# - the older version removed inside the installation (after
#   InstallInitialize), so a failed upgrade rolls back to it, and a package
#   of the same version (another build) replacing the one installed
#   (msidbUpgradeAttributesVersionMaxInclusive);
# - the public properties that pass to the installing service (beside the
#   ones wixl lists), a service that cannot be registered failing the
#   install (0x8000 added to SERVICE_ERROR_IGNORE, as tolvane.exe /install
#   asks), the exes' versions, by which the installer decides which file is
#   newer (so no file hashes: those are for unversioned files), and a short
#   name for tolvane-check.exe;
# - the event source's EventMessageFile as REG_EXPAND_SZ, as /install
#   writes it: the Registry table's "#%" prefix, which wixl escapes.
recovery='"[SystemFolder]sc.exe" failure "Tolvane_[MODEL]" reset= 86400 actions= restart/5000/restart/5000//0'
# msiinfo writes CRLF lines: the value is taken without the line's end,
# or its last property would end in a carriage return and not be secure.
secure="$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')"
secure="MODEL;DISPLAYNAME;DESCRIPTION;BTHWID;WIFIHWID;INSTALLFOLDER${secure:+;$secure}"
# The row that finds older versions, given again with its maximum included
# (Attributes is part of the table's key: the row is replaced, not updated).
IFS=$'\t' read -r upgrade_code _ upgrade_max _ upgrade_attributes _ < <(msiinfo export "$msi" Upgrade |
    tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" && $2 == "" { print $1 "\t-\t" $3 "\t-\t" $5 "\t-" }')
[ "$upgrade_max" = "$version" ] || die "wixl made no row that finds the older versions"
msibuild "$msi" \
    -i "$root/packaging/IniFile.idt" \
    -i "$root/packaging/RemoveFile.idt" \
    -i "$root/packaging/MsiServiceConfig.idt" \
    -i "$root/packaging/MsiLockPermissionsEx.idt" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('MsiConfigureServices', 'VersionMsi >= \"5.00\"', 5850)" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('RecoveryCommand', 51, 'RecoveryCommand', '$recovery')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('RecoveryCommand', '\$Service = 3', 5805)" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('SetRecovery', 3170, 'INSTALLFOLDER', '[RecoveryCommand]')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('SetRecovery', '\$Service = 3', 5810)" \
    -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1501 WHERE \`Action\` = 'RemoveExistingProducts'" \
    -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
    -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', $((upgrade_attributes | 512)), 'WIX_UPGRADE_DETECTED')" \
    -q "UPDATE \`Property\` SET \`Value\` = '$secure' WHERE \`Property\` = 'SecureCustomProperties'" \
    -q "UPDATE \`ServiceInstall\` SET \`ErrorControl\` = 32768 WHERE \`ServiceInstall\` = 'Service'" \
    -q "UPDATE \`File\` SET \`Version\` = '$version.0', \`Language\` = '1033' WHERE \`File\` = 'ServiceExe'" \
    -q "UPDATE \`File\` SET \`Version\` = '$version.0', \`Language\` = '1033', \`FileName\` = 'tolvchk.exe|tolvane-check.exe' WHERE \`File\` = 'CheckExe'" \
    -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'ServiceExe'" \
    -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'CheckExe'" \
    -q "UPDATE \`Registry\` SET \`Value\` = '#%[INSTALLFOLDER]tolvane.exe' WHERE \`Name\` = 'EventMessageFile'"

if [ "$signing" = 1 ]; then
    sign "$msi"
fi

mkdir -p "$out"
mv "$msi" "$out/tolvane-$version.msi"
if [ "$signing" = 1 ]; then
    echo "package: $out/tolvane-$version.msi (signed and verified: both exes and the package)"
else
    echo "package: $out/tolvane-$version.msi (unsigned: set TOLVANE_SIGN_CERT and TOLVANE_SIGN_KEY to sign)"
fi
