#!/usr/bin/env bash
# tsan.sh: builds the tests that run the library on several threads at once with
# ThreadSanitizer (KX_SANITIZE_THREAD=ON) in build-tsan, and runs them there: the preset "tsan"
# (CMakePresets.json), which builds the target tests_threads and runs the cases labelled
# "threads" (senders on many threads and processes, a registry replaced while it is read,
# concurrent module loads, threads that send and re-send the last event together, the
# collector, whose replies and removals run on threads of their own, and FwdSyslog's faults,
# whose name look-ups do). A test joins them with LABELS threads in its kx_add_test (or
# kx_label_cases for some of its cases). The first race reported ends the process with an
# error (scripts/tsan.supp names the races of the C library's own that the sanitizer cannot see
# locked). Exits non-zero when the build or any of those tests fails or races. By hand:
#   cmake --preset tsan && cmake --build --preset tsan && ctest --preset tsan [-R REGEX]
#
#   bash scripts/tsan.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs="${KX_JOBS:-2}"

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs"
ctest --preset tsan -j"$jobs"
