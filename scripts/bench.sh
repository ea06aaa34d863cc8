#!/usr/bin/env bash
# bench.sh: builds the benchmarks (Release, in build-bench) and runs them: the catalogue steps,
# the population and whole sends beside the floor (the same alert file written with bare system
# calls), each printed as "name: X us, ratio Y"; concurrent senders and the registry's costs with
# large files, beside their targets; then the system calls of one send beside those of one floor
# drop, traced with strace.
#
#   bash scripts/bench.sh [extra Google Benchmark options]
#
# Each run writes to a fresh ext4 file system, a loop-mounted image made for it (as root): on an
# aged file system, creating files after many deletions costs far more kernel time and the
# ratios swing. Where nothing can be mounted the scratch directory is used instead, and the
# script says so.
#
# Environment: KX_BENCH_BUILD (build directory), KX_BENCH_DIR (scratch directory for the registry
# files and the alerting and floor directories, used instead of a fresh file system; one file
# system for both), KX_BENCH_REPETITIONS (default 5; the medians are compared),
# KX_BENCH_MIN_TIME (seconds per run, default 0.5), KX_BENCH_SENDS (sends per concurrent
# sender, default 100), KX_COLLECT_BENCH_FILES / _SAMPLES / _ROUNDS (the collector's drain
# beside the floor, in turns: files per drain, latency samples, rounds), and
# KX_COLLECT_BENCH_MEMORY_FILES (set, e.g. to 1000000, to measure the collector's peak memory
# with that backlog; not run otherwise), KX_FORWARD_FAULT_ROUNDS (runs of the forwarding
# faults' ten sends, default 3).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/setup.sh"
kx_ensure_packages cmake make g++ libbenchmark-dev strace
build=${KX_BENCH_BUILD:-$root/build-bench}
repetitions=${KX_BENCH_REPETITIONS:-5}
min_time=${KX_BENCH_MIN_TIME:-0.5}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target kxevent_bench kxevent_send_once kxevent_scale_bench \
    kxevent_collect_bench kxevent_forward_fault_bench

fixed_dir=${KX_BENCH_DIR:-}
scratch=$build/bench-scratch
mkdir -p "$scratch"
unset VEL_EVENTLOG VEL_OSVERSION VEL_COMPUTERNAME VEL_USERNAME VEL_TICKCOUNT

mounted=()
traces=$(mktemp -d)
cleanup() {
    for point in "${mounted[@]}"; do umount "$point" 2>/dev/null || true; done
    rm -rf "$traces" "$scratch"/fs-*
}
trap cleanup EXIT

# Sets KX_BENCH_DIR to a fresh file system for the next run.
fresh_file_system() {
    if [[ -n "$fixed_dir" ]]; then
        export KX_BENCH_DIR=$fixed_dir
        echo "(file system: $KX_BENCH_DIR, as KX_BENCH_DIR says)"
        return
    fi
    local image point
    image=$(mktemp "$scratch/fs-XXXXXX.img")
    point=${image%.img}.mnt
    mkdir -p "$point"
    if [[ $EUID -eq 0 ]] && truncate -s 1G "$image" && mkfs.ext4 -q -F "$image" 2>/dev/null &&
        mount -o loop "$image" "$point" 2>/dev/null; then
        mounted+=("$point")
        export KX_BENCH_DIR=$point
        echo "(file system: a fresh loop-mounted ext4 image at $point)"
    else
        rm -f "$image"
        export KX_BENCH_DIR=$point
        echo "(file system: NO fresh image could be mounted here; $point on the build's file" \
            "system is used, and its age may swing the figures)"
    fi
}

fresh_file_system
echo "== Benchmarks (load: $(cut -d' ' -f1-3 /proc/loadavg)) =="
"$build/bin/kxevent_bench" \
    --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_min_time="$min_time" "$@"

echo
fresh_file_system
echo "== Scale (load: $(cut -d' ' -f1-3 /proc/loadavg)) =="
"$build/bin/kxevent_scale_bench" "${KX_BENCH_SENDS:-100}"

echo
fresh_file_system
echo "== System calls: one send (central alerting on, no forwarding) beside one floor drop =="
# The measured step lies between two marker calls; everything else (loading the library, a
# warm-up send) is cut away.
window() {
    awk '/kx-bench-mark-begin/ { on = 1; next } /kx-bench-mark-end/ { on = 0 } on' "$1" |
        sed -E 's/^[0-9]+ +//'
}
counts() {
    window "$1" | sed -E 's/^([a-z0-9_]+)\(.*/\1/' | sort | uniq -c |
        awk '{ printf "%-14s %4d\n", $2, $1 }'
}
strace -f -qq -o "$traces/send.trace" "$build/bin/kxevent_send_once" send 0
strace -f -qq -o "$traces/floor.trace" "$build/bin/kxevent_send_once" floor
counts "$traces/send.trace" >"$traces/send.counts"
counts "$traces/floor.trace" >"$traces/floor.counts"
printf '%-19s %-19s\n' "send" "floor"
paste -d' ' <(awk '{ printf "%-19s\n", $0 }' "$traces/send.counts") \
    <(awk '{ printf "%-19s\n", $0 }' "$traces/floor.counts") |
    sed 's/^ *$//'
printf '%-14s %4d %-14s %4d\n' total "$(window "$traces/send.trace" | wc -l)" \
    total "$(window "$traces/floor.trace" | wc -l)"
registry_stats=$(window "$traces/send.trace" | grep -c 'stat.*\.reg"' || true)
registry_opens=$(window "$traces/send.trace" | grep -c 'open.*\.reg"' || true)
echo "registry file during the send: $registry_stats stat, $registry_opens open (no re-parse)"
echo
echo "The send's system calls, in order (writes of the alert lines folded):"
window "$traces/send.trace" | cut -c1-110 |
    awk '/^write\(/ { writes++; next } { if (writes) { print "  write x" writes; writes = 0 } print "  " $0 }
         END { if (writes) print "  write x" writes }'

echo
fresh_file_system
echo "== Forwarding faults: 10 sends with FwdSyslog pointed at each fault, beside a working receiver"
"$build/bin/kxevent_forward_fault_bench" "${KX_FORWARD_FAULT_ROUNDS:-3}"

echo
echo "== kxevent collect: drain into rsyslogd over RELP beside a plain-TCP floor, and latency"
if [ -x /usr/sbin/rsyslogd ]; then
    KX_BENCH_DIR="$build/bench-collect" "$build/bin/kxevent_collect_bench" "$build/bin/kxevent" \
        "${KX_COLLECT_BENCH_FILES:-100000}" "${KX_COLLECT_BENCH_SAMPLES:-200}" \
        "${KX_COLLECT_BENCH_ROUNDS:-3}" 2>/dev/null
    # On demand only (a few minutes and a million directory entries): the collector's peak
    # memory with a large backlog.
    if [[ -n "${KX_COLLECT_BENCH_MEMORY_FILES:-}" ]]; then
        echo "== kxevent collect: peak memory with a backlog of $KX_COLLECT_BENCH_MEMORY_FILES files"
        KX_BENCH_DIR="$build/bench-collect" "$build/bin/kxevent_collect_bench" --memory \
            "$build/bin/kxevent" "$KX_COLLECT_BENCH_MEMORY_FILES" 2>/dev/null
    fi
else
    echo "rsyslogd is not installed: skipped"
fi
