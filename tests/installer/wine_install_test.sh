#!/usr/bin/env bash
# wine_install_test.sh BUILD_DIR: the build's installer package in a fresh 64-bit Wine prefix.
# Installed with a syslog host (TCP, to a port nobody listens on): files, registry in the
# package's view, event sources, the alerting service (registered, on demand, stopped), the
# alerting directory's access list. A C program reports through the installed KXEvent.DLL: the
# alert file appears in the alerting directory, and every
# event-log entry the sends made (traces, FwdSyslog's failure, a failed alert) renders from its
# source's registered message file. Repaired, uninstalled with an alert file waiting (kept, and
# said in the log), installed and uninstalled without a syslog host (no forwarding list, nothing
# left). The x86 package runs only under 32-bit Wine. Exits 77 (skipped) when a tool or the
# build is missing.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$(cd "${1:?usage: wine_install_test.sh BUILD_DIR}" 2>/dev/null && pwd)" || {
    echo "skipped: no Windows build at $1"
    exit 77
}
if [ ! -f "$build/msi/package.env" ]; then
    echo "skipped: $build is not a Windows build"
    exit 77
fi
source "$build/msi/package.env"
first_tool() {  # the first of the paths or commands that is executable
    local tool
    for tool in "$@"; do
        tool="$(command -v "$tool" 2>/dev/null)" && [ -x "$tool" ] && echo "$tool" && return 0
    done
    return 1
}
wine="$(first_tool /usr/lib/wine/wine64 wine64)"
wineserver="$(first_tool /usr/lib/wine/wineserver64 wineserver)"
if [ "$KX_MSI_ARCH" = x86 ]; then
    compiler=i686-w64-mingw32-gcc
    host_wine=/usr/lib/wine/wine  # Debian's 32-bit loader
    program_files="Program Files (x86)"
    view=(/reg:32)
    view_name="32-bit view"
    other_view=(/reg:64)
    other_view_name="64-bit view"
    if ! dpkg-query -W -f='${Status}\n' wine32:i386 2>/dev/null | grep -q 'install ok installed' ||
        [ ! -x "$host_wine" ]; then
        echo "skipped: the x86 package runs under 32-bit Wine (wine32:i386), which is not installed;" \
            "its tables are checked by msi_package_test"
        exit 77
    fi
else
    compiler=x86_64-w64-mingw32-gcc
    host_wine="$wine"
    program_files="Program Files"
    view=(/reg:64)
    view_name="64-bit view"
    other_view=(/reg:32)
    other_view_name="32-bit view"
fi
if [ -z "$wine" ] || [ -z "$wineserver" ] || ! command -v "$compiler" >/dev/null; then
    echo "skipped: wine64, wineserver or $compiler is not installed"
    exit 77
fi

work="$build/installer"
rm -rf "$work"
mkdir -p "$work"
package="$(bash "$root/scripts/windows-msi.sh" --test-certificate "$build" | tail -n 1)" || exit 1

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...: the command must succeed
    local what="$1"
    shift
    if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { "$wineserver" -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
# The boot ends when its own server has ended (every service of the new prefix done).
if ! timeout 300 "$wine" wineboot --init >"$work/wineboot.log" 2>&1 ||
    ! timeout 300 "$wineserver" -w; then
    echo "error: the Wine prefix did not boot (see $work/wineboot.log)" >&2
    exit 1
fi
"$wineserver" -p

host="$work/installed_host.exe"
"$compiler" -std=c11 -Wall -Wextra -Werror -I"$root/include" -I"$root" \
    -o "$host" "$root/tests/installer/installed_host.c" -ladvapi32 || exit 1

drive="$WINEPREFIX/drive_c"
install_dir="$drive/$program_files/Velmora/kxevent"
alert_dir="$drive/ProgramData/Velmora/kxevent/alerts"
win_install="C:\\$program_files\\Velmora\\kxevent"
win_alerts='C:\ProgramData\Velmora\kxevent\alerts'
shared='HKLM\Software\Velmora\QRD\Shared Components'
eventlog='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
sources=(KXEvent "KXEvent Platform" FwdSyslog "Derad Edarevu Razud Evarivive")
alerts_source="KXEvent Alerts"
service_key='HKLM\SYSTEM\CurrentControlSet\Services\kxevent-collect'
# A TCP port nobody listens on: taken from the kernel, then closed again.
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null || echo 9)"

reg_value() {  # reg_value KEY NAME: the value's data as reg query prints it
    "$wine" reg query "$1" /v "$2" "${view[@]}" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" '{ line = $0; sub(/^ +/, "", line) }
            index(line, name " ") == 1 { sub(/^[^ ]+( [^ ]+)* +REG_[A-Z_]+ +/, "", line); print line }'
}
has_key() { "$wine" reg query "$1" "${view[@]}" >/dev/null 2>&1; }
no_key() { ! has_key "$1"; }

# 1. Install.
check "msiexec /i installs" timeout 300 "$wine" msiexec /i "$package" /qn /l*v "$work/install.log" \
    SYSLOGHOST=127.0.0.1 SYSLOGTRANSPORT=tcp SYSLOGPORT="$port"
for file in KXEvent.DLL KXKRNL.DLL KXUTIL.DLL FwdSyslog.DLL KXEventMessages.dll KXEventAlerts.dll \
    kxevent.exe LICENSE.txt \
    Res0901/kxUtlRes.dll Res0701/kxUtlRes.dll Res0c01/kxUtlRes.dll Res1101/kxUtlRes.dll; do
    check "installed $file" test -f "$install_dir/$file"
done
check "szInstallDir names the installation directory" \
    test "$(reg_value "$shared\\Brisa\\CurrentVersion" szInstallDir)" = "$win_install\\"
check "the alerting path names the alerting directory" \
    test "$(reg_value "$shared\\Brisa\\Alerting" "Centralized Alerting Path")" = "$win_alerts"
if [ "$KX_MSI_ARCH" = x86 ]; then
    check "nothing is written to the 64-bit view" \
        test -z "$("$wine" reg query "$shared\\Brisa\\CurrentVersion" /reg:64 2>/dev/null)"
fi
check "FwdSyslog is in the forwarding list" \
    test "$(reg_value "$shared\\Events\\Forwarding" "Syslog forwarder")" = "$win_install\\FwdSyslog.DLL"
for source in "${sources[@]}"; do
    check "event source $source registered with the message file" \
        test "$(reg_value "$eventlog\\$source" EventMessageFile)" = "$win_install\\KXEventMessages.dll"
done
check "event source $alerts_source registered with its own message file" \
    test "$(reg_value "$eventlog\\$alerts_source" EventMessageFile)" = "$win_install\\KXEventAlerts.dll"
check "event source $alerts_source takes its categories from the message file" \
    test "$(reg_value "$eventlog\\$alerts_source" CategoryMessageFile)" = "$win_install\\KXEventMessages.dll"
# The alerting service: registered to run the installed kxevent.exe, on demand, and not started.
image_path="$(reg_value "$service_key" ImagePath)"
check "the alerting service runs the installed kxevent.exe ($image_path)" test \
    "$image_path" = "\"$win_install\\kxevent.exe\" collect --service --to eventlog" -o \
    "$image_path" = "$win_install\\kxevent.exe collect --service --to eventlog"
check "the alerting service starts on demand" test "$(reg_value "$service_key" Start)" = 0x3
service_state="$("$wine" sc query kxevent-collect 2>&1 | tr -d '\r')"
check "the alerting service is not running" grep -qE 'STATE +: +1 +STOPPED' <<<"$service_state"
check "the alerting service restarts after a failure" grep -aqF \
    "kxevent: the alerting service kxevent-collect restarts after a failure" "$work/install.log"
# Wine keeps no access lists on its files (it reads back one made from the Unix mode), so the
# list itself is not observable here: the custom action must have set it and said so.
check "the alerting directory's access list was set" grep -aqF \
    "kxevent: the alerting directory $win_alerts may be changed by Administrators and SYSTEM only" \
    "$work/install.log"

# 2. A product reports through the installed library.
events="$work/eventlog.json"
result="$(VEL_EVENTLOG="$events" "$host_wine" "$host" send "$win_install\\KXEvent.DLL" 1000 | tr -d '\r')"
check "the send succeeds (result $result)" test "$result" = 0
check "the alert file is in the installed alerting directory" \
    test -n "$(find "$alert_dir" -maxdepth 1 -name '*ALR' -print -quit)"
"$wine" reg add "$shared\\Brisa\\Alerting" /v Diagnostics /t REG_SZ /d 1 /f "${view[@]}" >/dev/null
"$wine" reg add "$shared\\Brisa\\Alerting" /v "Centralized Alerting Path" /t REG_SZ \
    /d 'C:\ProgramData\Velmora\kxevent\missing' /f "${view[@]}" >/dev/null
VEL_EVENTLOG="$events" "$host_wine" "$host" send "$win_install\\KXEvent.DLL" 1000 >/dev/null
"$wine" reg add "$shared\\Brisa\\Alerting" /v "Centralized Alerting Path" /t REG_SZ \
    /d "$win_alerts" /f "${view[@]}" >/dev/null
"$wine" reg delete "$shared\\Brisa\\Alerting" /v Diagnostics /f "${view[@]}" >/dev/null
for wanted in '"source":null' '"source":"FwdSyslog"' '"source":"Derad Edarevu Razud Evarivive"'; do
    check "the sends logged an entry with $wanted" grep -q "$wanted" "$events"
done
while IFS= read -r source; do
    rendered="$("$host_wine" "$host" render "$source" | tr -d '\r')"
    check "entry of source ${source} renders: ${rendered}" test -n "$rendered"
done < <(sed -n 's/^{"source":\(null\|"\([^"]*\)"\),.*/\2/p;' "$events" |
    sed 's/^$/-/' | sort -u)

# 3. kxevent.exe on the installation, with no HOME: it reads the registry in the package's view
# and finds the library through "szInstallDir". doctor passes; for each fault of the table it
# fails naming the cause, and passes again once the fault is undone.
kxevent="$build/bin/kxevent.exe"
kx() { env -u HOME -u XDG_STATE_HOME "$host_wine" "$kxevent" "$@" 2>&1 | tr -d '\r'; }
kx_status() { env -u HOME -u XDG_STATE_HOME "$host_wine" "$kxevent" "$@" >/dev/null 2>&1; }
if [ -f "$kxevent" ]; then
    doctor="$(kx doctor)"
    check "kxevent.exe doctor passes on the installation" kx_status doctor
    check "doctor checks the alerting service's program" \
        grep -qF 'ok    alerting service "kxevent-collect": runs' <<<"$doctor"
    check "doctor read the registry in the package's view" \
        grep -qF "Shared Components read in HKEY_LOCAL_MACHINE ($view_name)" <<<"$doctor"
    echo "$doctor" >"$work/doctor.txt"
    syslog_key="$shared\\Events\\Forwarding\\Syslog"
    winreg() { "$wine" reg "$@" >/dev/null 2>&1; }
    # Each fault is made by break_NAME and undone by mend_NAME.
    break_install_dir() {
        winreg delete "$shared\\Brisa\\CurrentVersion" /v szInstallDir /f "${view[@]}"
    }
    mend_install_dir() {
        winreg add "$shared\\Brisa\\CurrentVersion" /v szInstallDir /t REG_SZ /d "$win_install\\" /f "${view[@]}"
    }
    break_module() { mv "$install_dir/KXUTIL.DLL" "$work/KXUTIL.DLL"; }
    mend_module() { mv "$work/KXUTIL.DLL" "$install_dir/KXUTIL.DLL"; }
    break_alert_dir() { mv "$alert_dir" "$work/alerts.aside"; }
    mend_alert_dir() { mv "$work/alerts.aside" "$alert_dir"; }
    break_alert_acl() { chmod o+w "$alert_dir"; }
    mend_alert_acl() { chmod o-w "$alert_dir"; }
    break_source() {
        winreg export "$eventlog\\FwdSyslog" "$(winepath_of "$work/source.reg")" /y &&
            winreg delete "$eventlog\\FwdSyslog" /f
    }
    mend_source() { winreg import "$(winepath_of "$work/source.reg")"; }
    break_alerts_source() {
        winreg export "$eventlog\\$alerts_source" "$(winepath_of "$work/alerts_source.reg")" /y &&
            winreg delete "$eventlog\\$alerts_source" /f
    }
    mend_alerts_source() { winreg import "$(winepath_of "$work/alerts_source.reg")"; }
    break_service() { mv "$install_dir/kxevent.exe" "$work/kxevent.exe"; }
    mend_service() { mv "$work/kxevent.exe" "$install_dir/kxevent.exe"; }
    # The settings moved into the view the library does not read.
    break_view() {
        winreg export "$shared" "$(winepath_of "$work/shared.reg")" /y "${view[@]}" &&
            winreg delete "$shared" /f "${view[@]}" &&
            winreg import "$(winepath_of "$work/shared.reg")" "${other_view[@]}"
    }
    mend_view() {
        winreg delete "$shared" /f "${other_view[@]}"
        winreg import "$(winepath_of "$work/shared.reg")" "${view[@]}"
    }
    break_transport() { winreg add "$syslog_key" /v Transport /t REG_SZ /d local /f "${view[@]}"; }
    mend_transport() { winreg add "$syslog_key" /v Transport /t REG_SZ /d tcp /f "${view[@]}"; }
    winepath_of() { echo "Z:${1//\//\\}"; }
    # NAME|FAULT|CAUSE doctor names
    faults=(
        'install_dir|szInstallDir removed|"szInstallDir" is missing'
        'module|a module missing|module KXUTIL.DLL: not found in'
        'alert_dir|the alerting directory removed|does not exist or is no directory'
        'alert_acl|the alerting directory writable by others|lets Everyone change it'
        'source|an event source unregistered|event source "FwdSyslog": is not registered'
        'alerts_source|the alerting service'"'"'s source unregistered|event source "KXEvent Alerts": is not registered'
        'service|the alerting service'"'"'s program missing|kxevent\kxevent.exe, which does not exist'
        'view|the settings in the other view|Shared Components is in the '"$other_view_name"' only'
        'transport|the transport "local"|FwdSyslog transport: "Transport" is "local"'
    )
    for row in "${faults[@]}"; do
        IFS='|' read -r name fault cause <<<"$row"
        "break_$name"
        report="$(kx doctor)"
        check "doctor fails with $fault" test -n "$(grep '^FAIL' <<<"$report")"
        check "doctor names the cause of $fault ($cause)" grep -qF "$cause" <<<"$report"
        grep -qF "$cause" <<<"$report" || grep '^FAIL' <<<"$report" >&2  # what it said instead
        "mend_$name"
        check "doctor passes again once $fault is undone" kx_status doctor
    done
    check "kxevent.exe events lists the installed catalogue's event 1000" \
        grep -qE '(^|[^0-9])1000([^0-9]|$)' <<<"$(kx events)"
    reg_said="$(kx reg query)"
    check "kxevent.exe reg says to use reg.exe" grep -qF "use reg.exe" <<<"$reg_said"
    kx_status reg query
    check "kxevent.exe reg exits as a usage error" test $? -eq 2
    sent="$(kx send --product 1 --event 1000 --virus EICAR-Test)"
    written="$(sed -n 's/^alert file: //p' <<<"$sent")"
    check "kxevent.exe send shows the alert file it wrote ($written)" \
        test -n "$written" -a -f "$alert_dir/$(basename "${written//\\//}")"
    check "kxevent.exe alert show shows it" grep -qF "EICAR-Test" <<<"$(kx alert show "$written")"
    rm -f "$alert_dir/$(basename "${written//\\//}")"
else
    fail "no $kxevent in the build"
fi

# 4. The alerting service. The installed kxevent.exe collect --once --to eventlog, with no --dir,
# drains the installed alerting directory: one event-log call per alert file (Wine's event-log
# trace shows each call and its strings), the entry renders from the alerts source's message
# file, and a file that is no alert goes to bad/ with its reason. The installed service
# kxevent-collect then drains what arrives while it runs, and, stopped and started again, what
# arrived meanwhile.
send_alerts() {  # send_alerts N: N alert files written by the installed library
    local i
    for ((i = 0; i < $1; i++)); do
        "$host_wine" "$host" send "$win_install\\KXEvent.DLL" 1000 >/dev/null
    done
}
waiting_alerts() { find "$alert_dir" -maxdepth 1 -name '*.ALR' | wc -l; }
rm -f "$alert_dir"/*.ALR
send_alerts 3
printf 'not an alert\r\n' >"$alert_dir/00000001.ALR"
severity="$(sed -n 's/^uSeverity=\([0-9]*\).*/\1/p' "$(find "$alert_dir" -maxdepth 1 -name '*.ALR' \
    ! -name 00000001.ALR -print -quit)")"
case "$severity" in 3 | 4) entry_type=0x0001 ;; 2) entry_type=0x0002 ;; *) entry_type=0x0004 ;; esac
trace="$work/collect-trace.txt"
WINEDEBUG=+eventlog env -u HOME "$host_wine" "$install_dir/kxevent.exe" collect --once --to eventlog \
    >"$work/collect.out" 2>"$trace"
collected=$?
check "collect --once --to eventlog exits 0 ($collected)" test "$collected" -eq 0
calls="$(grep -cE "ReportEventW \([0-9A-Fa-f]+,$entry_type,0x0001,0x000003e8,[0-9A-Fa-f]+,0x001d," "$trace")"
check "one entry per alert, ID 1000, level of uSeverity $severity, 29 strings ($calls of 3)" \
    test "$calls" = 3
ids="$(grep -cE 'eventlog:ReportEventW L"[^"/]+/[0-9]{8}\.ALR/[0-9]+\.[0-9]{9}"$' "$trace")"
check "each entry's last string is its alertId ($ids of 3)" test "$ids" = 3
check "the collector says what it did" grep -qF \
    "done: 3 alert files acknowledged by eventlog, 1 set aside in bad/; none left" "$trace"
check "the alerting directory is drained" test "$(waiting_alerts)" = 0
check "the file that is no alert is in bad/ with its reason" \
    test -f "$alert_dir/bad/00000001.ALR" -a -f "$alert_dir/bad/00000001.ALR.why"
rendered="$("$host_wine" "$host" render "KXEvent Alerts" 1000 | tr -d '\r')"
check "an alert entry renders from the alerts source's message file ($rendered)" \
    test "${rendered%%|*}|$(cut -d'|' -f2 <<<"$rendered")|${rendered##*|}" = "KXEvent Alerts|1000|label: text"
rm -rf "$alert_dir/bad"
# The lock of --state, in a directory that others may write, could be held by any of them.
state="$drive/ProgramData/Velmora/kxevent/state"
mkdir -m 0755 "$state"
collect_state() {
    env -u HOME "$host_wine" "$install_dir/kxevent.exe" collect --once --to eventlog \
        --state 'C:\ProgramData\Velmora\kxevent\state' 2>&1 | tr -d '\r'
}
said="$(collect_state)"
check "collect takes the lock of a state directory only it may write" test -f "$state/collect.lock"
chmod o+w "$state"
said="$(collect_state)"
check "collect refuses a state directory others may write ($said)" grep -qF \
    "may be written by Everyone, Users or Authenticated Users, who could hold its lock" <<<"$said"
rm -rf "$state"

service_state() { "$wine" sc query kxevent-collect 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *//p'; }
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 1
    done
}
drained() { test "$(waiting_alerts)" = 0; }
stopped() { test "$(service_state)" = STOPPED; }
check "the service is installed and not running" stopped
send_alerts 2
check "the service starts" "$wine" sc start kxevent-collect
check "the service drains the alerting directory" wait_for 120 drained
check "the service stops" "$wine" sc stop kxevent-collect
check "the service has stopped" wait_for 60 stopped
send_alerts 2
check "alerts wait while the service is stopped" test "$(waiting_alerts)" = 2
check "the service starts again" "$wine" sc start kxevent-collect
check "the service takes up what arrived while it was stopped" wait_for 120 drained
"$wine" sc stop kxevent-collect >/dev/null 2>&1
wait_for 60 stopped
# One alert waits for the uninstall.
send_alerts 1

# 5. Repair (msiexec /fa, as properties: Wine's msiexec does not take /f), then uninstall with
# an alert file still waiting.
rm -f "$install_dir/KXEvent.DLL"
check "the repair runs" timeout 300 "$wine" msiexec /i "$package" REINSTALL=ALL REINSTALLMODE=amus \
    /qn /l*v "$work/repair.log"
check "the repair restored KXEvent.DLL" test -f "$install_dir/KXEvent.DLL"
check "msiexec /x uninstalls" timeout 300 "$wine" msiexec /x "$package" /qn /l*v "$work/uninstall.log"
check "no installed file is left" test -z "$(find "$install_dir" -type f 2>/dev/null)"
check "the registry values are gone" no_key "$shared\\Brisa\\CurrentVersion"
check "the catalogue is gone" no_key "$shared\\Events\\0901\\1000"
check "the forwarding list is gone" \
    test -z "$(reg_value "$shared\\Events\\Forwarding" "Syslog forwarder")"
for source in "${sources[@]}"; do
    check "event source $source is unregistered" no_key "$eventlog\\$source"
done
check "event source $alerts_source is unregistered" no_key "$eventlog\\$alerts_source"
check "the alerting service is removed" no_key "$service_key"
check "the waiting alert file is left" \
    test -n "$(find "$alert_dir" -maxdepth 1 -name '*ALR' -print -quit)"
check "the uninstall log says the alert files were left" \
    grep -aqF "alert file(s) not yet collected are left in $win_alerts" "$work/uninstall.log"

# 6. Without a syslog host, no forwarding list; with STARTCOLLECTOR=1 the service starts at
# once and at every boot, and collects; with nothing waiting, nothing left at all.
rm -f "$alert_dir"/*
check "msiexec /i without SYSLOGHOST, with STARTCOLLECTOR=1, installs" \
    timeout 300 "$wine" msiexec /i "$package" STARTCOLLECTOR=1 /qn
check "no forwarding list without SYSLOGHOST" \
    test -z "$(reg_value "$shared\\Events\\Forwarding" "Syslog forwarder")"
check "with STARTCOLLECTOR=1 the service starts automatically" \
    test "$(reg_value "$service_key" Start)" = 0x2
check "with STARTCOLLECTOR=1 the service runs" test "$(service_state)" = RUNNING
send_alerts 1
check "the started service collects" wait_for 120 drained
check "msiexec /x uninstalls again" timeout 300 "$wine" msiexec /x "$package" /qn
check "the uninstall stopped and removed the service" no_key "$service_key"
check "no directory of the installation is left" \
    test ! -e "$drive/$program_files/Velmora" -a ! -e "$drive/ProgramData/Velmora"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; logs in $work" >&2
    exit 1
fi
echo "all installer checks passed"
