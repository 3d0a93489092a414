#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the service.
# Quiet and quick when everything is already there.
set -euo pipefail

# Everything the build, the tests and the scripts README names call, beyond
# what a bare Debian 12 holds (debootstrap --variant=minbase bookworm, or the
# debian:12 image). Installed without recommendations, so a program that is
# only recommended (make, by cmake) must be named here; the setup_list test
# holds this list to the programs the build and the scripts call.
packages=(
    cmake make git
    g++-mingw-w64-i686-posix mingw-w64-i686-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    wine wine64 wine32:i386 googletest python3 python3-jsonschema
    msitools wixl osslsigncode openssl ca-certificates locales
)

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in "${packages[@]}"; do
    have_pkg "$p" || need+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

if [ ${#need[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    echo "setup: installing ${need[*]}" >&2
    $SUDO apt-get update -qq >/dev/null
    $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The Japanese locale, from which Wine takes the double-byte ANSI code page
# (932) of the second contract run.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf8'; then
    echo "setup: generating the ja_JP.UTF-8 locale" >&2
    if grep -q '^# *ja_JP\.UTF-8 UTF-8' /etc/locale.gen; then
        $SUDO sed -i 's/^# *\(ja_JP\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    elif ! grep -q '^ja_JP\.UTF-8 UTF-8' /etc/locale.gen; then
        echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    fi
    $SUDO locale-gen >/dev/null
fi
