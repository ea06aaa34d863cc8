#!/usr/bin/env bash
# run.sh SECONDS: builds every fuzz target of this folder with clang and the sanitizers, then
# runs each one for SECONDS seconds. Exits non-zero when any target found a fault; the input
# that caused it is left in the build directory as fuzz/<target>-crash-*.
set -euo pipefail

seconds=${1:?usage: fuzz/run.sh SECONDS}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${KX_FUZZ_BUILD_DIR:-$root/build-fuzz}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DKX_BUILD_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF >/dev/null
targets=$(sed -n 's/^kx_add_fuzz(\([A-Za-z0-9_]*\).*/\1/p' "$here/CMakeLists.txt")
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

status=0
for target in $targets; do
    corpus="$build/fuzz/corpus/$target"
    mkdir -p "$corpus"
    args=(-max_total_time="$seconds" -max_len=16384 -print_final_stats=1
          -artifact_prefix="$build/fuzz/$target-")
    [[ -f "$here/$target.dict" ]] && args+=(-dict="$here/$target.dict")
    dirs=("$corpus")
    [[ -d "$here/corpus/$target" ]] && dirs+=("$here/corpus/$target")
    echo "== $target: ${seconds}s"
    "$build/fuzz/$target" "${args[@]}" "${dirs[@]}" || status=1
done
exit "$status"
