#!/usr/bin/env bash
# wine-test.sh: builds the Windows trees with their integration suite (tests/wine) and runs the
# suite under Wine: first the x86_64 build in a 64-bit prefix, then, where this kernel runs
# 32-bit programs, the i686 build (the library's real target) in a 32-bit prefix, with the same
# cases and the checks that only 32-bit code has (the stack after every call of an export and
# of a forwarding module). A real rsyslogd on a free loopback port receives what FwdSyslog.DLL
# sends.
#
#   bash scripts/wine-test.sh [GoogleTest arguments, e.g. --gtest_filter=Alert*]
#
# Build directories: build-wine64 and build-wine32; each run's prefix is <build>/wine/prefix
# (made anew and booted to the end on every run, see boot_prefix); GoogleTest's reports:
# <build>/wine/results*.xml. KX_WINE_ARCHES ("x86_64 i686" by default) picks the builds.
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

# --- rsyslogd for FwdSyslog's cases --------------------------------------------------------------
syslog_dir="$root/build-wine64/wine/rsyslog"
syslog_pid=""
stop_rsyslog() {
    if [ -n "$syslog_pid" ]; then
        kill "$syslog_pid" 2>/dev/null
        wait "$syslog_pid" 2>/dev/null
        syslog_pid=""
    fi
}
tcp_port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Starts rsyslogd in the foreground on 127.0.0.1:PORT (UDP and TCP), raw messages one per line
# into out.log, trying a few ports until one is free.
start_rsyslog() {
    local attempt port
    rm -rf "$syslog_dir"
    mkdir -p "$syslog_dir/work"
    for attempt in 1 2 3 4 5; do
        port=$((20000 + (RANDOM % 20000)))
        if tcp_port_open "$port"; then continue; fi
        cat >"$syslog_dir/rsyslog.conf" <<CONF
global(workDirectory="$syslog_dir/work" maxMessageSize="64k")
module(load="imudp")
module(load="imtcp")
input(type="imudp" address="127.0.0.1" port="$port")
input(type="imtcp" address="127.0.0.1" port="$port")
template(name="raw" type="string" string="%rawmsg%\n")
action(type="omfile" file="$syslog_dir/out.log" template="raw")
CONF
        /usr/sbin/rsyslogd -n -f "$syslog_dir/rsyslog.conf" -i "$syslog_dir/rsyslog.pid" \
            >"$syslog_dir/rsyslogd.log" 2>&1 &
        syslog_pid=$!
        local try
        for try in $(seq 1 100); do
            if tcp_port_open "$port"; then
                export KX_WINE_SYSLOG_PORT="$port"
                # Wine maps the Unix root to drive Z:.
                KX_WINE_SYSLOG_LOG="$(printf 'Z:%s' "$syslog_dir/out.log" | tr / '\\')"
                export KX_WINE_SYSLOG_LOG
                return 0
            fi
            kill -0 "$syslog_pid" 2>/dev/null || break
            sleep 0.05
        done
        stop_rsyslog
    done
    echo "error: rsyslogd did not start (see $syslog_dir/rsyslogd.log)" >&2
    return 1
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
current_wineserver=""
stop_server() {
    if [ -n "$current_wineserver" ]; then "$current_wineserver" -k >/dev/null 2>&1 || true; fi
}
trap 'stop_server; stop_rsyslog' EXIT

# boot_prefix ARCH BUILD WINE WINESERVER: makes the new prefix WINEPREFIX and boots it to the
# end. "wineboot --init" returns once wine.inf is installed, but the services it started (the
# device drivers, plug and play, the desktop) go on setting up the prefix and writing its
# registry in processes of their own for many seconds more, and on a first run the suite would
# start in the middle of that. So the boot runs under a server of its own, not the run's
# persistent one, and "wineserver -w" waits until that server has ended: every process of the
# boot has exited and the registry is saved. The run's server then starts on a finished
# prefix, as on a rerun. Wine's messages of the boot go to <build>/wine/wineboot.log.
boot_prefix() {
    local arch="$1" build="$2" wine="$3" wineserver="$4" status
    local log="$build/wine/wineboot.log"
    timeout 300 "$wine" wineboot --init >"$log" 2>&1
    status=$?
    if [ "$status" -eq 0 ]; then
        timeout 300 "$wineserver" -w
        status=$?
        [ "$status" -eq 0 ] || echo "error: $arch: the boot's Wine processes did not end" \
            "(wineserver -w: status $status; 124 is the 300 s limit)" >&2
    else
        echo "error: $arch: wineboot --init failed (status $status; 124 is the 300 s limit)," \
            "see $log: $(tail -n1 "$log")" >&2
    fi
    if [ "$status" -ne 0 ]; then
        "$wineserver" -k >/dev/null 2>&1
        return 1
    fi
}

# run_arch ARCH BUILD TOOLCHAIN WINEARCH WINE WINESERVER [GoogleTest arguments]
run_arch() {
    local arch="$1" build="$root/$2" toolchain="$3" winearch="$4" wine="$5" wineserver="$6"
    shift 6
    local started=$SECONDS
    kx_log "$arch: configure ($build)"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$KX_BUILD_TYPE" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$toolchain" \
        -DKX_BUILD_TESTS=ON -DKX_BUILD_WINE_TESTS=ON -DKX_BUILD_BENCH=OFF || return 1
    kx_log "$arch: build"
    cmake --build "$build" -j"$KX_JOBS" --target kxwine_test || return 1
    local built=$SECONDS

    # One prefix per run, shared by every process of the run; the server stays up until the
    # end of the run (starting it is the slow part), once the prefix has been booted.
    export WINEPREFIX="$build/wine/prefix"
    export WINEARCH="$winearch"
    export WINEDEBUG="${WINEDEBUG:--all}"
    # No browser or .NET runtime is needed: skip the installers a new prefix would offer.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    rm -rf "$WINEPREFIX" "$build"/wine/results*.xml
    mkdir -p "$WINEPREFIX"
    current_wineserver="$wineserver"
    kx_log "$arch: Wine prefix ($WINEPREFIX, $winearch)"
    boot_prefix "$arch" "$build" "$wine" "$wineserver" || return 1
    "$wineserver" -p

    kx_log "$arch: run the suite under Wine"
    local driver="$build/bin/kxwine_test.exe" results status=0
    results="$(printf 'Z:%s' "$build/wine" | tr / '\\')"
    timeout 600 "$wine" "$driver" --gtest_color=no --gtest_output="xml:$results\\results.xml" \
        "$@" || status=1
    local summary="$arch: $(cases_of "$build/wine/results.xml")"

    # Wine takes the user's and the system's locale from the Unix locale it is started under:
    # the resource module case once more under each locale with a module of its own or a
    # fallback.
    if [ "$#" -eq 0 ]; then
        local locale runs=0
        for locale in de_DE fr_FR fr_CA ja_JP it_IT en_GB; do
            kx_log "$arch: resource module case under $locale.UTF-8"
            LC_ALL="$locale.UTF-8" timeout 120 "$wine" "$driver" --gtest_color=no \
                --gtest_filter='SystemLocaleTest.*' \
                --gtest_output="xml:$results\\results-$locale.xml" || status=1
            runs=$((runs + $(cases_of "$build/wine/results-$locale.xml" |
                cut -d' ' -f1)))
        done
        summary+=", and $runs under 6 locales"
    fi
    stop_server
    current_wineserver=""
    summary+="; built in $((built - started)) s, ran in $((SECONDS - built)) s"
    kx_log "$summary"
    summaries+=("$summary")
    return "$status"
}

summaries=()
start_rsyslog || exit 1

wine64="$(kx_find_wine_tool wine64)" || exit 1
wineserver64="$(kx_find_wine_tool wineserver64 wineserver)" || exit 1
if [[ " ${KX_WINE_ARCHES:-x86_64 i686} " == *" x86_64 "* ]]; then
    run_arch x86_64 build-wine64 mingw-x86_64.cmake win64 "$wine64" "$wineserver64" "$@" ||
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
            run_arch i686 build-wine32 mingw-i686.cmake win32 "$wine32" "$wineserver32" "$@" ||
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
