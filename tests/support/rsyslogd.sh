#!/usr/bin/env bash
# rsyslogd.sh: a private rsyslogd for the tests and the demonstration, run from configuration
# files as they are (the receiver examples shipped in examples/rsyslog, the test inputs in
# tests/support/rsyslog), each included unchanged by a wrapper that only adds a working
# directory of its own. The files take their ports and paths from rsyslogd's environment.
#
#   rsyslogd.sh run DIR [NAME=VALUE...] FILE...     rsyslogd in the foreground, in place of this
#                                                   script (a caller's child, stopped by SIGTERM)
#   rsyslogd.sh start DIR [NAME=VALUE...] FILE...   in the background; returns once every
#                                                   *_PORT accepts TCP connections and every
#                                                   *_SOCKET exists (60 s at most)
#   rsyslogd.sh check DIR [NAME=VALUE...] FILE...   rsyslogd -N1: the files' configuration checked
#   rsyslogd.sh stop DIR                            stops what start started, waits for its end
#   rsyslogd.sh port                                prints a TCP port of 127.0.0.1 free now
#
# DIR receives rsyslog.conf (the wrapper), work/, rsyslogd.pid and rsyslogd.log.
set -uo pipefail

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

free_port() {
    local port
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 30000))
        port_open "$port" || { echo "$port"; return 0; }
    done
    echo "rsyslogd.sh: no free port found" >&2
    return 1
}

prepare() {
    dir="$1"
    shift
    mkdir -p "$dir/work" || exit 1
    settings=()
    while [ "$#" -gt 0 ] && [[ "$1" == *=* ]]; do
        settings+=("$1")
        shift
    done
    [ "$#" -gt 0 ] || { echo "rsyslogd.sh: no configuration file given" >&2; exit 2; }
    {
        echo "global(workDirectory=\"$dir/work\")"
        local file
        for file in "$@"; do
            [ -r "$file" ] || { echo "rsyslogd.sh: cannot read $file" >&2; exit 1; }
            echo "include(file=\"$(cd "$(dirname "$file")" && pwd)/$(basename "$file")\")"
        done
    } >"$dir/rsyslog.conf"
}

ready() {
    local setting name value
    for setting in "${settings[@]}"; do
        name="${setting%%=*}"
        value="${setting#*=}"
        case "$name" in
        *_PORT) port_open "$value" || return 1 ;;
        *_SOCKET) [ -S "$value" ] || return 1 ;;
        esac
    done
}

case "${1:-}" in
run)
    shift
    prepare "$@"
    exec env "${settings[@]}" /usr/sbin/rsyslogd -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid"
    ;;
check)
    shift
    prepare "$@"
    exec env "${settings[@]}" /usr/sbin/rsyslogd -N1 -f "$dir/rsyslog.conf"
    ;;
start)
    shift
    prepare "$@"
    env "${settings[@]}" /usr/sbin/rsyslogd -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid" \
        </dev/null >"$dir/rsyslogd.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/rsyslogd.started"
    for _ in $(seq 1 600); do
        if ready; then exit 0; fi
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "rsyslogd.sh: rsyslogd ended at its start: $(tail -n 3 "$dir/rsyslogd.log")" >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "rsyslogd.sh: rsyslogd did not become ready in 60 s (see $dir/rsyslogd.log)" >&2
    kill "$pid" 2>/dev/null
    exit 1
    ;;
stop)
    dir="${2:?usage: rsyslogd.sh stop DIR}"
    [ -s "$dir/rsyslogd.started" ] || exit 0
    pid="$(cat "$dir/rsyslogd.started")"
    rm -f "$dir/rsyslogd.started"
    kill "$pid" 2>/dev/null || exit 0
    for _ in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    ;;
port)
    free_port
    ;;
*)
    echo "usage: rsyslogd.sh run|start DIR [NAME=VALUE...] FILE... | stop DIR | port" >&2
    exit 2
    ;;
esac
