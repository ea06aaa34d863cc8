#!/usr/bin/env bash
# sanitize.sh: builds the whole tree with AddressSanitizer and UndefinedBehaviorSanitizer
# (KX_SANITIZE=ON) in build-asan and runs the complete test suite there: the preset "asan"
# (CMakePresets.json), whose test preset sets the sanitizers' options. LeakSanitizer runs at the
# exit of every test process, so a block or module a send forgets fails the test that made it.
# Exits non-zero when the build or any test fails. The same by hand, or to rerun some cases:
#   cmake --preset asan && cmake --build --preset asan && ctest --preset asan [-R REGEX]
#
#   bash scripts/sanitize.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs="${KX_JOBS:-2}"

cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"
