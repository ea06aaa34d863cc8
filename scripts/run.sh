#!/usr/bin/env bash
# run.sh: builds the library and runs the main job: a host program loads KXEvent.DLL with the
# platform loader from the build tree's installation directory and queries an event of the
# sample registry (examples/sample.reg).
#
#   bash scripts/run.sh [event number] [product number]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
source scripts/setup.sh

kx_ensure_packages "${KX_RUN_PACKAGES[@]}"

build="$root/build"
kx_log "configure ($build)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$KX_BUILD_TYPE" \
    -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF
kx_log "build"
cmake --build "$build" -j"$KX_JOBS"

kx_log "run"
# The registry, the installation directory and the event log of this run: the sample registry,
# the build tree's installation directory, and a log file in the build tree.
export VEL_REGISTRY="${VEL_REGISTRY:-$root/examples/sample.reg}"
export VEL_DEBUGCORE="${VEL_DEBUGCORE:-$build/lib/velmora}"
export VEL_EVENTLOG="${VEL_EVENTLOG:-$build/eventlog.jsonl}"
"$build/bin/kxhost" "$build/lib/velmora/KXEvent.DLL" "${1:-1000}" "${2:-1}"
