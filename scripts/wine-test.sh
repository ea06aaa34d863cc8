#!/usr/bin/env bash
# wine-test.sh: builds the x86_64 Windows tree with its integration suite (tests/wine) and runs
# the suite under Wine, in a fresh Wine prefix under the build directory.
#
#   bash scripts/wine-test.sh [GoogleTest arguments, e.g. --gtest_filter=Alert*]
#
# Build directory: build-wine64; prefix: build-wine64/wine/prefix (made anew on every run);
# GoogleTest's report: build-wine64/wine/results.xml. Exits non-zero when the build or any test
# fails. Installs Wine and the cross compiler with apt-get when they are missing.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
source scripts/setup.sh

KX_WINE_PACKAGES=(cmake make g++ wine wine64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    googletest)
kx_ensure_packages "${KX_WINE_PACKAGES[@]}" || exit 1

# Debian's wine64 package keeps its loader and server in /usr/lib/wine, off the PATH.
kx_find_wine_tool() {
    local name="$1" candidate
    for candidate in "/usr/lib/wine/$name" "$(command -v "$name" 2>/dev/null)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
    echo "error: $name not found (package wine64)" >&2
    return 1
}
wine="$(kx_find_wine_tool wine64)" || exit 1
wineserver="$(kx_find_wine_tool wineserver)" || exit 1

build="$root/build-wine64"
kx_log "configure ($build)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$KX_BUILD_TYPE" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-x86_64.cmake" \
    -DKX_BUILD_TESTS=ON -DKX_BUILD_WINE_TESTS=ON -DKX_BUILD_BENCH=OFF || exit 1
kx_log "build"
cmake --build "$build" -j"$KX_JOBS" --target kxwine_test || exit 1

# One prefix per run, shared by every process of the run; the server stays up until the end
# (starting it is the slow part) and is stopped whatever happens.
export WINEPREFIX="$build/wine/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No browser or .NET runtime is needed: skip the installers a new prefix would offer.
export WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
stop_server() { "$wineserver" -k >/dev/null 2>&1 || true; }
trap stop_server EXIT

kx_log "Wine prefix ($WINEPREFIX)"
"$wineserver" -p
timeout 300 "$wine" wineboot --init >/dev/null 2>&1

kx_log "run the suite under Wine"
driver="$build/bin/kxwine_test.exe"
results="$(printf 'Z:%s' "$build/wine" | tr / '\\')"
failed=()
timeout 600 "$wine" "$driver" --gtest_color=no --gtest_output="xml:$results\\results.xml" "$@" ||
    failed+=("suite")

# Wine takes the user's and the system's locale from the Unix locale it is started under: the
# resource module case once more under each locale with a module of its own or a fallback.
if [ "$#" -eq 0 ]; then
    for locale in de_DE fr_FR fr_CA ja_JP it_IT en_GB; do
        kx_log "resource module case under $locale.UTF-8"
        LC_ALL="$locale.UTF-8" timeout 120 "$wine" "$driver" --gtest_color=no \
            --gtest_filter='SystemLocaleTest.*' \
            --gtest_output="xml:$results\\results-$locale.xml" || failed+=("$locale")
    done
fi

if [ "${#failed[@]}" -ne 0 ]; then
    kx_log "FAILED: Windows integration suite (${failed[*]})"
    exit 1
fi
kx_log "Windows integration suite passed"
