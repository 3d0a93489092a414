#!/usr/bin/env bash
# Sets up the machine, builds the service and runs it under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
export WINEPREFIX="$PWD/build-release/wineprefix" WINEARCH=win32 WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/.tolvane-ready" ]; then
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.tolvane-ready"
fi
set +e
wine build-release/tolvane.exe </dev/null
rc=$?
set -e
echo "tolvane.exe exited with $rc"
WINEPREFIX="$WINEPREFIX" wineserver -k || true
