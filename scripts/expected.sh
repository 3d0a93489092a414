#!/usr/bin/env bash
# Rewrites the check tool's expected outputs (tests/unit/expected) from what
# it prints now over the simulated Windows, then runs the fast tests against
# them. A change of output is meant: read it in `git diff tests/unit/expected`.
#
#     bash scripts/expected.sh [BUILD_DIR]     # default: build (the mingw32 preset's)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
expected=$root/tests/unit/expected
run=$root/cmake/wine-run.sh

cmake --build "$build" --target unit_tests
# The test process writes through Wine, which maps the Unix root to Z:.
rm -f "$expected"/*.txt "$expected"/*.json
TOLVANE_WRITE_EXPECTED="Z:${expected//\//\\}\\" \
    "$run" "$build/tests/unit_tests.exe" --gtest_brief=1 --gtest_filter='States/CheckOutput.*' ||
    echo "expected.sh: written, but the failures above remain (an exit code, a /json key)" >&2
# Embedded anew, and checked as the tests check them.
cmake --build "$build" --target unit_tests
git -C "$root" status --short -- tests/unit/expected
"$run" "$build/tests/unit_tests.exe" --gtest_brief=1
