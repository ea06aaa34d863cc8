#!/usr/bin/env bash
# run.sh: builds the library and the kxevent command and reports one event for real, the way a
# scanning product would: the built-in default configuration (installed at first use), the
# expanded description, the central alert file the alerting service would collect, and the
# event forwarded to a syslog collector by the FwdSyslog forwarding module, then the alerting
# service "kxevent collect" taking the alert file into rsyslog over RELP.
#
#   bash scripts/run.sh [event number] [product number]
#
# The demonstration keeps its state under build/demo: the per-user default registry and its
# alerting directory, and a private syslog collector on a loopback port whose log shows the
# forwarded message.
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

demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo/syslog"
export XDG_STATE_HOME="$demo/state"
export KXEVENT_SYSTEM_REGISTRY="$demo/no-system-registry.reg"
unset VEL_REGISTRY
kxevent="$build/bin/kxevent"

# A private collector, the tests' rsyslogd (tests/support/rsyslogd.sh): on a free loopback port
# plain syslog (UDP and TCP), raw messages into one file; and on another the receiver the
# package ships (examples/rsyslog/kxevent-receiver.conf), a RELP input for the alerting service,
# one JSON line per alert, written before it is acknowledged.
rsyslogd_sh="$root/tests/support/rsyslogd.sh"
port="$(bash "$rsyslogd_sh" port)"
relp_port="$(bash "$rsyslogd_sh" port)"
while [ "$relp_port" = "$port" ]; do relp_port="$(bash "$rsyslogd_sh" port)"; done
trap 'bash "$rsyslogd_sh" stop "$demo/syslog"' EXIT
bash "$rsyslogd_sh" start "$demo/syslog" KX_SYSLOG_PORT="$port" \
    KX_SYSLOG_LOG="$demo/syslog/messages.log" KXEVENT_RELP_PORT="$relp_port" \
    KXEVENT_ALERTS_FILE="$demo/syslog/alerts.json" \
    "$root/examples/rsyslog/kxevent-receiver.conf" "$root/tests/support/rsyslog/syslog-inputs.conf"

kx_log "first use: the built-in default configuration"
"$kxevent" query --product "${2:-1}" --event "${1:-1000}" > /dev/null
registry="$XDG_STATE_HOME/kxevent/hklm.reg"
echo "registry: $registry"
forwarding='Software\Velmora\QRD\Shared Components\Events\Forwarding\Syslog'
"$kxevent" reg --file "$registry" set "$forwarding" Transport udp
"$kxevent" reg --file "$registry" set "$forwarding" Port "$port" --type dword

kx_log "send"
"$kxevent" send --product "${2:-1}" --event "${1:-1000}" --virus "Demo.Trojan.A" \
    --file "/srv/share/invoice.pdf.exe" --task "Nightly scan" --field szTaskID=Nightly

kx_log "syslog line"
for _ in $(seq 1 50); do
    [ -s "$demo/syslog/messages.log" ] && break
    sleep 0.1
done
cat "$demo/syslog/messages.log"

kx_log "the alerting service: kxevent collect --once (the registry's alerting directory)"
"$kxevent" collect --once --to "relp://127.0.0.1:$relp_port"
echo "left in the alerting directory: $(find "$XDG_STATE_HOME/kxevent/alerts" -name '*.ALR' | wc -l)"
kx_log "the line rsyslog wrote for the alert"
cat "$demo/syslog/alerts.json"
