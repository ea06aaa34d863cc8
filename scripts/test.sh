#!/usr/bin/env bash
# test.sh: builds everything and runs every test: the Linux build with its test suite (ctest);
# the cross-compiled Windows builds for i686 (the library's real target) and x86_64, whose
# export tables, version resources and debug files the test suite then checks, and copies of
# whose modules are signed and verified with a test certificate, and whose installer packages
# are built with wixl and signed likewise; the Windows integration suite under Wine; the whole
# suite again under the address and undefined-behaviour sanitizers; the threaded tests under the
# thread sanitizer; every fuzz target for a bounded time (KX_FUZZ_SECONDS, default 20); the
# Debian packages, checked with lintian and installed into a scratch root; and the source
# formatting.
#
#   bash scripts/test.sh
#
# Build directories: build-ci (Linux), build-mingw32, build-mingw64. Exits non-zero when any
# build or test fails; every step runs even after an earlier one failed, so one run reports all.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
source scripts/setup.sh

kx_ensure_packages "${KX_TEST_PACKAGES[@]}" || exit 1

failed=()
step() {
    local name="$1"
    shift
    kx_log "$name"
    if ! "$@"; then
        failed+=("$name")
        return 1
    fi
}

# Every build is a preset of CMakePresets.json, so that each step can be rerun by hand.
windows_build() {
    local preset="$1"
    cmake --preset "$preset" -DCMAKE_BUILD_TYPE="$KX_BUILD_TYPE" &&
        cmake --build --preset "$preset" -j"$KX_JOBS"
}

# Copies of every module of both Windows builds signed with a throwaway test certificate, each
# signature verified (scripts/sign-windows.sh); the build trees stay as the linker left them.
# (The packages do not take these: they carry the installed, stripped modules, which
# windows-msi.sh signs itself.)
windows_signing() {
    local dir
    for dir in build-mingw32 build-mingw64; do
        rm -rf "$root/$dir/signed"
        bash "$root/scripts/sign-windows.sh" --test-certificate --output "$root/$dir/signed" \
            "$root/$dir" || return 1
    done
}

# The installer package of each Windows build (scripts/windows-msi.sh), it and the installed
# modules it carries signed with a test certificate and verified; the suite checks their tables
# and signatures and installs the x86_64 one under Wine (tests/installer).
windows_packages() {
    bash "$root/scripts/windows-msi.sh" --test-certificate "$root/build-mingw32" &&
        bash "$root/scripts/windows-msi.sh" --test-certificate "$root/build-mingw64"
}

# Every C and C++ source of the tree as clang-format lays it out.
format_check() {
    git -C "$root" ls-files -z '*.c' '*.cpp' '*.h' | (cd "$root" && xargs -0 clang-format --dry-run --Werror)
}

step "configure Linux (build-ci)" cmake --preset ci -DCMAKE_BUILD_TYPE="$KX_BUILD_TYPE"
linux_configured=$?
if [ "$linux_configured" -eq 0 ]; then
    step "build Linux" cmake --build --preset ci -j"$KX_JOBS"
fi
step "build Windows i686 (build-mingw32)" windows_build mingw32
step "build Windows x86_64 (build-mingw64)" windows_build mingw64
step "sign and verify the Windows modules (test certificate)" windows_signing
step "Windows installer packages (build-mingw32/msi, build-mingw64/msi)" windows_packages

if [ "$linux_configured" -eq 0 ]; then
    step "test" ctest --preset ci -j"$KX_JOBS"
fi

step "Windows integration suite under Wine (build-wine64, build-wine32)" bash "$root/scripts/wine-test.sh"
step "address and undefined-behaviour sanitizers (build-asan)" bash "$root/scripts/sanitize.sh"
step "threaded tests under ThreadSanitizer (build-tsan)" bash "$root/scripts/tsan.sh"
step "fuzzing, ${KX_FUZZ_SECONDS:-20} s per target (build-fuzz)" \
    bash "$root/fuzz/run.sh" "${KX_FUZZ_SECONDS:-20}"
step "Debian packages: lintian, install into a scratch root (build-deb)" bash "$root/scripts/deb.sh"
step "source formatting (clang-format)" format_check

if [ "${#failed[@]}" -ne 0 ]; then
    kx_log "FAILED: ${failed[*]}"
    exit 1
fi
kx_log "all builds and tests passed"
