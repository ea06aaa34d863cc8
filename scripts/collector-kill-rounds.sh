#!/usr/bin/env bash
# collector-kill-rounds.sh [ROUNDS]: the collector's SIGKILL test with many more rounds than CI
# runs (default 200): the collector is killed at random points while backlogs of 2000 alerts
# drain into a private rsyslogd, and every alert must arrive at least once under one alertId.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/setup.sh"
kx_ensure_packages "${KX_TEST_PACKAGES[@]}"
build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$KX_BUILD_TYPE" >/dev/null
cmake --build "$build" -j"$KX_JOBS" --target collector_faults_test kxevent_command
KX_COLLECT_KILL_ROUNDS="${1:-200}" "$build/bin/collector_faults_test" \
    --gtest_filter='CollectorFaults.KilledAtRandomPointsLosesNothingAndDuplicatesShareAlertId'
