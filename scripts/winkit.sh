#!/usr/bin/env bash
# Builds the Windows test kit dist/tolvane-winkit-X.Y.Z.zip: both exes, the
# package made from them by scripts/package.sh, the package of the next
# patch version (upgrade\) and a build of it whose service cannot start
# (failed\), for the upgrade and its rollback, the fast-test and
# contract-test exes (statically linked: nothing else to install) and
# run.cmd, which runs them all on a Windows machine (see
# docs/developing.md, "Testing on Windows").
#
# usage: bash scripts/winkit.sh [--build DIR] [--release DIR] [--out DIR]
#   --build    take everything from this configured and built test tree
#              (cmake --preset mingw32) instead of setting up and building
#   --release  the package tolvane-X.Y.Z.msi in DIR (scripts/package.sh's,
#              to be released) instead of one made from the test tree's
#              exes, and the two exes taken out of it: the kit then tests
#              what is released
#   --out      where the kit goes (default: dist)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build=""
release=""
out="$root/dist"

die() { echo "winkit: $*" >&2; exit 1; }

while [ $# -gt 0 ]; do
    case "$1" in
        --build) build="${2:-}"; shift 2 ;;
        --release) release="${2:-}"; shift 2 ;;
        --out) out="${2:-}"; shift 2 ;;
        *) die "unknown argument $1 (usage: winkit.sh [--build DIR] [--release DIR] [--out DIR])" ;;
    esac
done

if [ -z "$build" ]; then
    bash "$root/scripts/setup.sh"
    (cd "$root" && cmake --preset mingw32 >/dev/null && cmake --build --preset mingw32 >/dev/null)
    build="$root/build"
fi
build="$(cd "$build" && pwd)"
version="$(sed -n 's/^project(tolvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || die "no project version in CMakeLists.txt"
next="tests/wine/package/next"
for file in tolvane.exe tolvane-check.exe tolvane-setup.dll tests/unit_tests.exe \
            tests/contract_tests.exe "$next/tolvane.exe" "$next/tolvane-check.exe"; do
    [ -f "$build/$file" ] || die "no $file in $build (build the tests: cmake --preset mingw32)"
done

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
kit="$stage/tolvane-winkit-$version"
mkdir -p "$kit"
if [ -n "$release" ]; then
    [ -f "$release/tolvane-$version.msi" ] || die "no tolvane-$version.msi in $release"
    cp "$release/tolvane-$version.msi" "$kit/"
    mkdir -p "$stage/released"
    msiextract -C "$stage/released" "$kit/tolvane-$version.msi" >"$stage/package.log" 2>&1 ||
        { cat "$stage/package.log" >&2; die "the exes could not be taken out of tolvane-$version.msi"; }
    for exe in tolvane.exe tolvane-check.exe; do
        found=("$stage"/released/*/*/"$exe")
        [ ${#found[@]} = 1 ] && [ -f "${found[0]}" ] || die "tolvane-$version.msi holds no single $exe"
        cp "${found[0]}" "$kit/"
    done
else
    bash "$root/scripts/package.sh" --bin "$build" --out "$kit" >"$stage/package.log" 2>&1 ||
        { cat "$stage/package.log" >&2; die "the package could not be made"; }
    cp "$build/tolvane.exe" "$build/tolvane-check.exe" "$kit/"
fi
# The next version, from the exes built at it, twice: the second build's
# service is registered with an option tolvane.exe refuses, so it exits at
# once and never starts; the upgrade to it fails and must roll back.
newer="${version%.*}.$((${version##*.} + 1))"
mkdir -p "$stage/next"
cp "$build/$next/tolvane.exe" "$build/$next/tolvane-check.exe" "$build/tolvane-setup.dll" "$stage/next/"
bash "$root/scripts/package.sh" --bin "$stage/next" --version "$newer" --out "$kit/upgrade" \
    >"$stage/package.log" 2>&1 &&
    env -u TOLVANE_SIGN_CERT -u TOLVANE_SIGN_KEY \
        bash "$root/scripts/package.sh" --bin "$stage/next" --version "$newer" --out "$kit/failed" \
        >"$stage/package.log" 2>&1 ||
    { cat "$stage/package.log" >&2; die "the next version's packages could not be made"; }
# Built unsigned: changed after signing, its signature would no longer hold.
msibuild "$kit/failed/tolvane-$newer.msi" \
    -q "UPDATE \`ServiceInstall\` SET \`Arguments\` = '/cannot-start' WHERE \`ServiceInstall\` = 'Service'" ||
    die "the failed upgrade's package could not be changed"
cp "$build/tests/unit_tests.exe" "$build/tests/contract_tests.exe" "$kit/"
# cmd reads its labels reliably only from CRLF lines.
sed 's/\r*$/\r/' "$root/tests/wine/winkit/run.cmd" >"$kit/run.cmd"

mkdir -p "$out"
out="$(cd "$out" && pwd)"
zip="$out/tolvane-winkit-$version.zip"
rm -f "$zip"
(cd "$stage" && python3 -m zipfile -c "$zip.part" "tolvane-winkit-$version")
mv "$zip.part" "$zip"
echo "winkit: $zip"
