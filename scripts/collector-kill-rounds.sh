#!/usr/bin/env bash
# collector-kill-rounds.sh [ROUNDS]: the collector's SIGKILL test with many more rounds than CI
# runs (default 200): the collector is killed at random points while backlogs of 2000 alerts
# drain into a private rsyslogd, and every alert must arrive at least once under one alertId.
#
# collector-kill-rounds.sh --pgsql [KILLS]: the PostgreSQL receiver's test with KILLS (default
# 40) kills of the collector and rsyslogd in turn while 10,000 alerts drain: each alert must be
# stored exactly once (tests/collector/pgsql_exactly_once_test.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/setup.sh"
kx_ensure_packages "${KX_TEST_PACKAGES[@]}"
build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$KX_BUILD_TYPE" >/dev/null
if [ "${1:-}" = --pgsql ]; then
    cmake --build "$build" -j"$KX_JOBS" --target kxevent_command
    exec bash "$root/tests/collector/pgsql_exactly_once_test.sh" "$build" "${2:-40}"
fi
cmake --build "$build" -j"$KX_JOBS" --target collector_faults_test kxevent_command
KX_COLLECT_KILL_ROUNDS="${1:-200}" "$build/bin/collector_faults_test" \
    --gtest_filter='CollectorFaults.KilledAtRandomPointsLosesNothingAndDuplicatesShareAlertId'
