#!/usr/bin/env bash
# sanitize.sh: builds the whole tree with AddressSanitizer and UndefinedBehaviorSanitizer
# (KX_SANITIZE=ON) in build-asan and runs the complete test suite there. LeakSanitizer runs at
# the exit of every test process, so a block or module a send forgets fails the test that made
# it. Exits non-zero when the build or any test fails.
#
#   bash scripts/sanitize.sh            # build-asan under the source root
#   KX_ASAN_BUILD_DIR=/tmp/asan bash scripts/sanitize.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
build="${KX_ASAN_BUILD_DIR:-$root/build-asan}"
jobs="${KX_JOBS:-2}"

# Keep going after nothing: the first report of any sanitizer ends the process with an error.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=ON \
    -DKX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" -j"$jobs" --output-on-failure --no-tests=error
