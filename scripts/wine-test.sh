#!/usr/bin/env bash
# wine-test.sh: provisions this machine for the Windows integration suite (tests/wine) and runs
# it through the CMake presets: first the x86_64 build in a 64-bit prefix (preset wine64), then,
# where this kernel runs 32-bit programs, the i686 build (the library's real target) in a 32-bit
# prefix (preset wine32), with the same cases and the checks that only 32-bit code has (the
# stack after every call of an export and of a forwarding module). ctest runs the suite with
# Wine as the cross-compiling emulator, the resource module case once more under each of six
# locales (LC_ALL), around fixtures that boot the prefix and start the tests' rsyslogd, which
# receives what FwdSyslog.DLL sends (tests/wine/prefix.sh). After provisioning, the same is
#   cmake --preset wine64 && cmake --build --preset wine64 && ctest --preset wine64
#
#   bash scripts/wine-test.sh [ctest arguments, e.g. -R Wine.Suite]
#   GTEST_FILTER='Alert*' bash scripts/wine-test.sh -R Wine.Suite    # some cases only
#
# Build directories: build-wine64 and build-wine32; each run's prefix is <build>/wine/prefix
# (made anew and booted to the end on every run); GoogleTest's reports: <build>/wine/results*.xml.
# KX_WINE_ARCHES ("x86_64 i686" by default) picks the builds.
# Exits non-zero when a build, the boot of a prefix or any test fails.
# A kernel that cannot run 32-bit programs, or package sources that cannot supply 32-bit Wine, are
# reported in one line and the i686 run skipped (KX_REQUIRE_WINE32=1 makes the latter a failure).
# Installs Wine, the cross compilers and rsyslog with apt-get when they are missing.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"
source scripts/setup.sh

KX_WINE_PACKAGES=(cmake make g++ binutils wine wine64 g++-mingw-w64-x86-64
    binutils-mingw-w64-x86-64 googletest rsyslog)
KX_WINE32_PACKAGES=(wine32:i386 g++-mingw-w64-i686 binutils-mingw-w64-i686)
kx_ensure_packages "${KX_WINE_PACKAGES[@]}" || exit 1

kx_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian's Wine packages keep their loaders and servers in /usr/lib/wine, off the PATH.
kx_find_wine_tool() {
    local name candidate
    for name in "$@"; do
        for candidate in "/usr/lib/wine/$name" "$(command -v "$name" 2>/dev/null)"; do
            if [ -n "$candidate" ] && [ -x "$candidate" ]; then
                echo "$candidate"
                return 0
            fi
        done
    done
    echo "error: none of $* found (Wine packages)" >&2
    return 1
}

# Whether this kernel executes 32-bit x86 programs: a static i386 program of a few instructions
# that exits with 42 through the 32-bit system call gate. Prints why not when it does not.
kx_kernel_runs_32bit() {
    local dir status
    dir="$(mktemp -d)"
    printf '%s\n' '.globl _start' '_start:' 'movl $1, %eax' 'movl $42, %ebx' 'int $0x80' \
        >"$dir/exit42.s"
    if ! as --32 -o "$dir/exit42.o" "$dir/exit42.s" 2>"$dir/log" ||
        ! ld -m elf_i386 -o "$dir/exit42" "$dir/exit42.o" 2>>"$dir/log"; then
        echo "the 32-bit test program could not be built: $(head -n1 "$dir/log")"
        rm -rf "$dir"
        return 1
    fi
    "$dir/exit42" 2>"$dir/log"
    status=$?
    if [ "$status" -ne 42 ]; then
        echo "this kernel does not run 32-bit programs (a static i386 program exited with" \
            "$status instead of 42: $(head -n1 "$dir/log"); check CONFIG_IA32_EMULATION)"
        rm -rf "$dir"
        return 1
    fi
    rm -rf "$dir"
}

# i386 packages need their architecture known to dpkg first. The index update that follows may
# fail for one suite (a mirror in the middle of a sync serves an index of the wrong size): that is
# not the end of the set-up, since the install below says what it cannot find and retries without
# the security suites, so only adding the architecture decides here.
kx_ensure_i386_architecture() {
    if dpkg --print-architecture | grep -qx i386 ||
        dpkg --print-foreign-architectures | grep -qx i386; then
        return 0
    fi
    kx_log "adding the i386 architecture to dpkg"
    kx_as_root dpkg --add-architecture i386 || return 1
    kx_as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null ||
        echo "note: some package indexes could not be updated; installing from the others" >&2
}

# The i386 packages, installed beside the native Wine. Multi-Arch "same" libraries must have one
# version on both architectures: when the security suite's i386 index cannot be had (a mirror in
# the middle of a sync serves a stale one), native libraries already at a security version find no
# i386 partner and apt refuses. The install is then tried once more from the sources without
# their security suites, so both architectures take the release's versions.
kx_ensure_wine32_packages() {
    kx_ensure_packages "${KX_WINE32_PACKAGES[@]}" && return 0
    local parts status
    parts="$(mktemp -d)" || return 1
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] && grep -v -- '-security' "$file" >"$parts/$(basename "$file").list"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] &&
            awk 'BEGIN { RS = ""; ORS = "\n\n" } !/Suites:[^\n]*-security/' "$file" \
                >"$parts/$(basename "$file")"
    done
    kx_log "retrying ${KX_WINE32_PACKAGES[*]} from the sources without their security suites"
    kx_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o Dir::Etc::SourceParts="$parts" -o Dir::Etc::SourceList=/dev/null \
        "${KX_WINE_PACKAGES[@]}" "${KX_WINE32_PACKAGES[@]}" </dev/null
    status=$?
    rm -rf "$parts"
    return "$status"
}

# --- one architecture ------------------------------------------------------------------------------
# "N cases (F failed)" from GoogleTest's XML report.
cases_of() {
    local xml="$1" tests failures
    tests="$(grep -o -m1 '<testsuites [^>]*' "$xml" 2>/dev/null | grep -o ' tests="[0-9]*"' |
        grep -o '[0-9]*')"
    failures="$(grep -o -m1 '<testsuites [^>]*' "$xml" 2>/dev/null | grep -o ' failures="[0-9]*"' |
        grep -o '[0-9]*')"
    echo "${tests:-0} cases (${failures:-?} failed)"
}

failed=()

# run_arch ARCH PRESET WINE WINESERVER [ctest arguments]
run_arch() {
    local arch="$1" preset="$2" wine="$3" wineserver="$4" build="$root/build-$2"
    shift 4
    local started=$SECONDS status=0
    kx_log "$arch: configure ($build, preset $preset)"
    cmake --preset "$preset" -DCMAKE_BUILD_TYPE="$KX_BUILD_TYPE" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" -DKX_WINESERVER="$wineserver" || return 1
    kx_log "$arch: build"
    cmake --build --preset "$preset" -j"$KX_JOBS" || return 1
    local built=$SECONDS
    rm -f "$build"/wine/results*.xml
    kx_log "$arch: run the suite under Wine (ctest --preset $preset)"
    ctest --preset "$preset" "$@" || status=1
    local summary="$arch: suite $(cases_of "$build/wine/results.xml")" runs=0 xml
    for xml in "$build"/wine/results-*.xml; do
        [ -f "$xml" ] && runs=$((runs + $(cases_of "$xml" | cut -d' ' -f1)))
    done
    summary+=", and $runs under the locales; built in $((built - started)) s, ran in $((SECONDS - built)) s"
    kx_log "$summary"
    summaries+=("$summary")
    return "$status"
}

summaries=()

wine64="$(kx_find_wine_tool wine64)" || exit 1
wineserver64="$(kx_find_wine_tool wineserver64 wineserver)" || exit 1
if [[ " ${KX_WINE_ARCHES:-x86_64 i686} " == *" x86_64 "* ]]; then
    run_arch x86_64 wine64 "$wine64" "$wineserver64" "$@" ||
        failed+=("x86_64")
fi

if [[ " ${KX_WINE_ARCHES:-x86_64 i686} " == *" i686 "* ]]; then
    kx_log "i686: does this kernel run 32-bit programs?"
    if why="$(kx_kernel_runs_32bit)"; then
        started=$SECONDS
        if ! kx_ensure_i386_architecture || ! kx_ensure_wine32_packages; then
            # The package sources, not this tree, decide whether 32-bit Wine can be had: a mirror
            # that serves no usable i386 index of the security suite leaves the native libraries
            # without partners. The i686 modules are still built and checked statically.
            if [ -n "${KX_REQUIRE_WINE32:-}" ]; then
                failed+=("i686 set-up")
            else
                kx_log "i686 run skipped: the package sources offer no installable" \
                    "${KX_WINE32_PACKAGES[*]} (apt's reasons above; KX_REQUIRE_WINE32=1 fails instead)"
            fi
        elif wine32="$(kx_find_wine_tool wine)" &&
            wineserver32="$(kx_find_wine_tool wineserver32 wineserver)"; then
            run_arch i686 wine32 "$wine32" "$wineserver32" "$@" ||
                failed+=("i686")
        else
            failed+=("i686 set-up")
        fi
        kx_log "i686: step took $((SECONDS - started)) s"
    else
        kx_log "i686 run skipped: $why"
    fi
fi

for summary in "${summaries[@]}"; do echo "$summary"; done
if [ "${#failed[@]}" -ne 0 ]; then
    kx_log "FAILED: Windows integration suite (${failed[*]})"
    exit 1
fi
kx_log "Windows integration suite passed"
