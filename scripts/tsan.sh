#!/usr/bin/env bash
# tsan.sh: builds the tests that run the library on several threads at once with
# ThreadSanitizer (KX_SANITIZE_THREAD=ON) in build-tsan, and runs them there: senders on many
# threads and processes, a registry replaced while it is read, concurrent module loads,
# threads that send and re-send the last event together, the collector, whose replies and
# removals run on threads of their own, and FwdSyslog's faults, whose name look-ups do. Only
# those targets are built, so the step stays short. Exits non-zero when the build or any of
# those tests fails or races.
#
#   bash scripts/tsan.sh            # build-tsan under the source root
#   KX_TSAN_BUILD_DIR=/tmp/tsan bash scripts/tsan.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
build="${KX_TSAN_BUILD_DIR:-$root/build-tsan}"
jobs="${KX_JOBS:-2}"

# The first race reported ends the process with an error, so the test that met it fails.
# scripts/tsan.supp names the races of the C library's own that the sanitizer cannot see locked.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

targets=(robust_load_test robust_fault_test platform_registry_test platform_loader_test
    security_attacks_test collector_delivery_test collector_faults_test kxevent_command kxevent
    kxkrnl kxutil kx_resources forwarders_forwarding_faults_test fwdsyslog)
# The test programs of each target, as ctest names their cases (Fixture.Case).
cases='^(LoadTest|FaultTest|PlatRegistry|PlatLoader|SnapshotTearing|CollectorDelivery|CollectorFaults|ForwardingFaults)\.'

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE_THREAD=ON \
    -DKX_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]}"
ctest --test-dir "$build" -j"$jobs" --output-on-failure --no-tests=error -R "$cases"
