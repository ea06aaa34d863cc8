#!/usr/bin/env bash
# prefix.sh: the fixtures ctest runs around the Windows integration suite (tests/wine), so that
# one "ctest --preset wine64" runs it as scripts/wine-test.sh did.
#
#   prefix.sh boot PREFIX WINEARCH WINE WINESERVER   a new prefix, booted to the end
#   prefix.sh end PREFIX WINESERVER                   ends whatever still runs in the prefix
#   prefix.sh syslog-start DIR                        the tests' rsyslogd (syslog inputs) on a
#                                                     free port, which DIR/port names
#   prefix.sh syslog-stop DIR
set -uo pipefail
support="$(cd "$(dirname "${BASH_SOURCE[0]}")/../support" && pwd)"

case "${1:-}" in
boot)
    prefix="$2" winearch="$3" wine="$4" wineserver="$5"
    export WINEPREFIX="$prefix" WINEARCH="$winearch" WINEDEBUG=-all
    # No browser or .NET runtime is needed: skip the installers a new prefix would offer.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    "$wineserver" -k >/dev/null 2>&1
    rm -rf "$prefix"
    mkdir -p "$prefix"
    log="$(dirname "$prefix")/wineboot.log"
    # "wineboot --init" returns once wine.inf is installed, but the services it started go on
    # setting up the prefix and writing its registry in processes of their own for many seconds
    # more. The boot therefore runs under a server of its own, and "wineserver -w" waits until
    # that server has ended: every process of the boot has exited and the registry is saved.
    if ! timeout 300 "$wine" wineboot --init >"$log" 2>&1; then
        echo "error: wineboot --init failed (124 is the 300 s limit), see $log: $(tail -n1 "$log")" >&2
        "$wineserver" -k >/dev/null 2>&1
        exit 1
    fi
    if ! timeout 300 "$wineserver" -w; then
        echo "error: the boot's Wine processes did not end (wineserver -w)" >&2
        "$wineserver" -k >/dev/null 2>&1
        exit 1
    fi
    # No persistent server: the system processes a test's first process starts (services.exe
    # and the like) keep that test's output pipe open while they live, and ctest waits for it.
    # The server ends them a few seconds after the test's last process.
    ;;
end)
    WINEPREFIX="$2" "$3" -k >/dev/null 2>&1
    exit 0
    ;;
syslog-start)
    dir="$2"
    rm -rf "$dir"
    mkdir -p "$dir"
    port="$(bash "$support/rsyslogd.sh" port)" || exit 1
    echo "$port" >"$dir/port"
    bash "$support/rsyslogd.sh" start "$dir" KX_SYSLOG_PORT="$port" KX_SYSLOG_LOG="$dir/out.log" \
        "$support/rsyslog/syslog-inputs.conf" "$support/rsyslog/large-messages.conf"
    ;;
syslog-stop)
    bash "$support/rsyslogd.sh" stop "$2"
    ;;
*)
    echo "usage: prefix.sh boot|end|syslog-start|syslog-stop ..." >&2
    exit 2
    ;;
esac
