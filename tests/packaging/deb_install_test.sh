#!/usr/bin/env bash
# deb_install_test.sh: installs the built Debian packages with dpkg into a scratch root and
# checks the system they make: the files, owners and modes the library's trust check accepts,
# the receiver examples shipped as tested,
# the alerting service's user and group and the alerting directory given to that group (made by
# the maintainer scripts, which dpkg runs inside the root with the host's tools copied in),
# kxevent doctor passing there, the registry as a conffile naming real paths, the development files (a C host built against
# them), and events reported from inside that root (chroot, with /proc of its own) by the
# installed command and that host reaching the system alerting directory, or, for an
# unprivileged user, the per-user default; node_exporter reading the collector's metrics; and
# what upgrading, removing and purging kxevent do to the collector, its state and the alerts.
#
#   bash tests/packaging/deb_install_test.sh DIR     # DIR holds the .deb files (build-deb)
#
# Needs root (dpkg --root, chroot, a mount namespace). Exits non-zero when any case fails.
set -uo pipefail
debs="${1:?usage: deb_install_test.sh DIRECTORY-OF-DEBS}"
source="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
arch="$(dpkg --print-architecture)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
root="$(mktemp -d /tmp/kxevent-deb-root.XXXXXX)"
trap '[ -n "${KX_KEEP_ROOT:-}" ] || rm -rf "$root"' EXIT
chmod 0755 "$root"  # it is the root directory of the system installed into it

modules="/usr/lib/$multiarch/velmora"
failures=0
check() {
    local name="$1"
    shift
    if "$@"; then
        echo "ok   $name"
    else
        echo "FAIL $name"
        failures=$((failures + 1))
        return 1
    fi
}
say() { echo "     $*" >&2; }

# Owner "root" and a mode no one else can write, as the trust check asks of every directory
# above a module or the registry.
owned_by_root_not_shared() {
    local path="$root$1" owner mode
    owner="$(stat -c %u "$path")" && mode="$(stat -c %a "$path")" || return 1
    if [ "$owner" -ne 0 ] || [ $((8#$mode & 8#022)) -ne 0 ]; then
        say "$1: owner $owner, mode $mode"
        return 1
    fi
}

# copy_libraries FILE...: copies the host's shared libraries that FILEs need (found the way the
# dynamic loader finds them, the root's own first) into the root, at the same paths.
copy_libraries() {
    local file library
    for file in "$@"; do
        LD_LIBRARY_PATH="$root/usr/lib/$multiarch" ldd "$file" | grep -o '/[^ ]*' || return 1
    done | sort -u | while read -r library; do
        case "$library" in "$root"/*) continue ;; esac
        [ -e "$root$library" ] ||
            { mkdir -p "$root$(dirname "$library")" && cp -L "$library" "$root$library"; } ||
            return 1
    done
}

# --- install -------------------------------------------------------------------------------
# The programs the maintainer scripts call, from the host, at the same paths: dpkg runs the
# scripts inside the root, which holds no system of its own.
maintainer_tools=(/bin/sh /usr/bin/systemd-sysusers /usr/bin/systemd-tmpfiles
    /usr/bin/dpkg-statoverride /bin/chown /bin/chmod /bin/rm)

# root_dpkg ARG...: dpkg --root with the root's own /proc mounted (systemd-tmpfiles, run by
# a maintainer script, needs one); the scratch root holds no C library, so only our own
# packages' dependencies are forced.
root_dpkg() {
    mkdir -p "$root/proc" &&
        unshare --mount --pid --fork --mount-proc="$root/proc" dpkg --root="$root" --force-depends "$@"
}

install_packages() {
    local tool
    for tool in "${maintainer_tools[@]}"; do
        mkdir -p "$root$(dirname "$tool")" && cp -L "$tool" "$root$tool" || return 1
    done
    copy_libraries "${maintainer_tools[@]}" &&
        # The users and groups any Debian system has (without what an earlier install or test
        # left on this machine), to which the packages add their own.
        mkdir -p "$root/etc" &&
        grep -v '^kxevent' /etc/passwd >"$root/etc/passwd" &&
        grep -v '^kxevent' /etc/group >"$root/etc/group" &&
        mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers" &&
        # The scripts send what they do not need to /dev/null.
        mkdir -p "$root/dev" && mknod -m 0666 "$root/dev/null" c 1 3 &&
        : >"$root/var/lib/dpkg/status" &&
        root_dpkg --install \
            "$debs"/libkxplatform1_*_"$arch".deb "$debs"/libkxevent_*_"$arch".deb \
            "$debs"/libkxevent-dev_*_"$arch".deb "$debs"/kxevent_*_"$arch".deb \
            >"$root/dpkg.log" 2>&1 ||
        { cat "$root/dpkg.log" >&2; return 1; }
}

every_package_is_installed() {
    local package status
    for package in libkxplatform1 libkxevent libkxevent-dev kxevent; do
        status="$(dpkg-query --root="$root" -W -f='${Status}' "$package" 2>/dev/null)"
        [ "$status" = "install ok installed" ] || { say "$package: $status"; return 1; }
    done
}

# --- files ---------------------------------------------------------------------------------
# Each package's copyright file names the licence and where the system keeps its text.
every_package_names_its_licence() {
    local package copyright
    for package in libkxplatform1 libkxevent libkxevent-dev kxevent; do
        copyright="$root/usr/share/doc/$package/copyright"
        grep -qx 'License: Apache-2.0' "$copyright" &&
            grep -q '/usr/share/common-licenses/Apache-2.0' "$copyright" ||
            { say "$copyright does not name the Apache License 2.0"; return 1; }
    done
}

# The receiver's configuration for rsyslog, as tested (examples/rsyslog), among the examples.
receiver_examples_are_shipped() {
    local file
    for file in kxevent-receiver.conf kxevent-receiver-tls.conf; do
        if ! cmp -s "$source/examples/rsyslog/$file" "$root/usr/share/doc/kxevent/examples/$file"; then
            say "/usr/share/doc/kxevent/examples/$file is missing or not the tested one"
            return 1
        fi
    done
}

registry_is_a_conffile() {
    dpkg-query --root="$root" -W -f='${Conffiles}\n' libkxevent | grep -q '^ /etc/velmora/hklm.reg '
}

registry_names_the_installed_paths() {
    local registry="$root/etc/velmora/hklm.reg"
    grep -qx "\"szInstallDir\"=\"$modules\"" "$registry" &&
        grep -qx '"Centralized Alerting Path"="/var/spool/kxevent/alerts"' "$registry" &&
        grep -qx "\"Syslog forwarder\"=\"$modules/FwdSyslog.DLL\"" "$registry" &&
        [ -f "$root$modules/KXEvent.DLL" ] && [ -f "$root$modules/FwdSyslog.DLL" ]
}

no_installed_registry_holds_a_placeholder() {
    ! grep -n '@[A-Za-z0-9_]*@' "$root/etc/velmora/hklm.reg" "$root/usr/share/kxevent/default.reg"
}

trusted_places_belong_to_root() {
    local path
    for path in /etc/velmora /etc/velmora/hklm.reg "$modules" "$modules/KXEvent.DLL" \
        "$modules/FwdSyslog.DLL" /var/spool/kxevent; do
        owned_by_root_not_shared "$path" || return 1
    done
}

# The unit's user and group, made by the package's sysusers.d file through its postinst.
collector_user_and_group_exist() {
    local gid entry
    gid="$(awk -F: '$1 == "kxevent" { print $3 }' "$root/etc/group")"
    entry="$(awk -F: '$1 == "kxevent-collect" { print $4 ":" $6 ":" $7 }' "$root/etc/passwd")"
    [ -n "$gid" ] && [ "$entry" = "$gid:/nonexistent:/usr/sbin/nologin" ] &&
        [ -f "$root/usr/lib/sysusers.d/kxevent.conf" ] ||
        { say "group kxevent: ${gid:-missing}; kxevent-collect: ${entry:-missing}"; return 1; }
}

# Products run as root write alert files; the collector's group alone may remove them.
alerting_directory_belongs_to_the_collectors_group() {
    local gid facts
    gid="$(awk -F: '$1 == "kxevent" { print $3 }' "$root/etc/group")"
    facts="$(stat -c '%u %g %a' "$root/var/spool/kxevent/alerts")"
    [ "$facts" = "0 $gid 2770" ] || { say "alerts: owner, group, mode: $facts"; return 1; }
}

# The installed system as the library sees it: every check of kxevent doctor passes. The
# library sends its event-log entries to /dev/log, which doctor checks someone listens at: a
# socket bound there for the check (by perl, always installed), standing for the system logger.
doctor_passes_inside_the_root() {
    local output ready status
    mkdir -p "$root/dev"
    coproc logger {
        exec perl -MIO::Socket::UNIX -e '
            my $socket = IO::Socket::UNIX->new(Type => SOCK_DGRAM(), Local => $ARGV[0]) or die "$!\n";
            chmod 0666, $ARGV[0];
            $| = 1;
            print "ready\n";
            sleep;' "$root/dev/log"
    }
    read -r -t 60 ready <&"${logger[0]}"
    output="$(chroot_run VEL_EVENTLOG=/tmp/doctor-events.json -- /usr/bin/kxevent doctor 2>&1 \
        </dev/null)"
    status=$?
    kill "$logger_PID"
    wait "$logger_PID" 2>/dev/null
    rm -f "$root/dev/log"
    [ "$ready" = ready ] && [ "$status" -eq 0 ] || { say "$output"; return 1; }
}

# As the unit's user, with its umask, the collector reads the alert files root's send left and
# may change the directory: an entry that is no alert file goes to bad/ (the receiver is down,
# so the alerts themselves stay). Its metrics go where the documented setup puts them.
collector_user_reads_alerts_and_changes_the_directory() {
    local ids output
    ids="$(awk -F: '$1 == "kxevent-collect" { print $3 ":" $4 }' "$root/etc/passwd")"
    printf 'not an alert\r\n' >"$root/var/spool/kxevent/alerts/999999.ALR"
    output="$(chroot_run --userspec="$ids" -- /bin/sh -c 'umask 0027 && exec "$@"' - \
        /usr/bin/kxevent collect --once --dir /var/spool/kxevent/alerts --to relp://127.0.0.1:1 \
        --metrics /var/lib/kxevent-collect/kxevent_collect.prom 2>&1 </dev/null)"
    [ -f "$root/var/spool/kxevent/alerts/bad/999999.ALR.why" ] &&
        grep -q '^kxevent_collect_collected_total [1-9]' \
            "$root/var/lib/kxevent-collect/kxevent_collect.prom" ||
        { say "$output"; return 1; }
}

# node_exporter's textfile collector, run as its own user on a private port, reads the
# package's link into the collector's state directory: the empty file the package made, then
# what the collector wrote, never a scrape error.
node_exporter_scrape() {
    local port pid metrics="" i attempt
    for attempt in 1 2 3; do
        port=$((20000 + RANDOM % 30000))
        [ -z "$(ss -Htln "sport = :$port")" ] && break
    done
    runuser -u prometheus -- prometheus-node-exporter --web.listen-address="127.0.0.1:$port" \
        --collector.disable-defaults --collector.textfile \
        --collector.textfile.directory="$root/var/lib/prometheus/node-exporter" \
        >"$root/node-exporter.log" 2>&1 &
    pid=$!
    for ((i = 0; i < 300; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        metrics="$(curl -sf "http://127.0.0.1:$port/metrics")" && break
        sleep 0.1
    done
    kill "$pid" && wait "$pid"
    [ -n "$metrics" ] || { say "node_exporter:"; cat "$root/node-exporter.log" >&2; return 1; }
    printf '%s\n' "$metrics"
}

node_exporter_reads_the_collectors_metrics() {
    local link="$root/var/lib/prometheus/node-exporter/kxevent_collect.prom" metrics uid
    uid="$(awk -F: '$1 == "kxevent-collect" { print $3 }' "$root/etc/passwd")"
    [ "$(readlink "$link")" = ../../kxevent-collect/kxevent_collect.prom ] &&
        [ "$(stat -c '%a %u' "$root/var/lib/kxevent-collect")" = "711 $uid" ] ||
        { say "link: $(readlink "$link"); $(stat -c '%a %u' "$root/var/lib/kxevent-collect")"; return 1; }
    metrics="$(node_exporter_scrape)" || return 1
    grep -qx 'node_textfile_scrape_error 0' <<<"$metrics" &&
        ! grep -q '^kxevent_collect' <<<"$metrics" || { say "$metrics"; return 1; }
    collector_user_reads_alerts_and_changes_the_directory || return 1
    metrics="$(node_exporter_scrape)" || return 1
    grep -qx 'node_textfile_scrape_error 0' <<<"$metrics" &&
        grep -qx 'kxevent_collect_collected_total [1-9][0-9]*' <<<"$metrics" &&
        grep -qx 'kxevent_collect_last_delivery_timestamp_seconds 0' <<<"$metrics" ||
        { say "$metrics"; return 1; }
}

platform_library_carries_its_soname() {
    objdump -p "$root/usr/lib/$multiarch/libkxplatform.so.1" | grep -q 'SONAME *libkxplatform\.so\.1$' &&
        [ "$(readlink "$root/usr/lib/$multiarch/libkxplatform.so")" = libkxplatform.so.1 ]
}

installed_binaries_are_stripped() {
    local file
    for file in "$root/usr/bin/kxevent" "$root/usr/lib/$multiarch/libkxplatform.so.1" \
        "$root$modules"/*.DLL; do
        if readelf -S "$file" | grep -q '\.symtab\|\.debug_info'; then
            say "$file keeps its symbol table"
            return 1
        fi
    done
}

pkg_config_gives_only_the_library() {
    local libs
    libs="$(PKG_CONFIG_LIBDIR="$root/usr/lib/$multiarch/pkgconfig" pkg-config --libs kxevent)" &&
        [ "$(echo $libs)" = "-lkxplatform" ] || { say "pkg-config --libs: $libs"; return 1; }
}

cmake_package_names_the_versioned_library() {
    grep -q 'IMPORTED_SONAME "libkxplatform.so.1"' \
        "$root/usr/lib/$multiarch/cmake/KXEvent/KXEventConfig.cmake"
}

# --- a send from inside the root -----------------------------------------------------------
# The root gets what any Debian system has and the packages do not bring: the C and C++
# runtime the installed programs and modules link to, the user and host files, /tmp.
prepare_system_files() {
    local file
    copy_libraries "$root/usr/bin/kxevent" "$root/usr/lib/$multiarch/libkxplatform.so.1" \
        "$root$modules"/*.DLL &&
        mkdir -p "$root/etc" "$root/proc" "$root/home/trial" &&
        install -d -m 1777 "$root/tmp" &&
        for file in nsswitch.conf hosts os-release; do
            cp -L "/etc/$file" "$root/etc/$file" || return 1
        done &&
        chown 65534:65534 "$root/home/trial"
}

# chroot_run [NAME=VALUE | chroot option]... -- COMMAND...: runs COMMAND inside the root with a
# fresh /proc and an environment of nothing but PATH and the NAME=VALUE pairs.
chroot_run() {
    local environment=(PATH=/usr/sbin:/usr/bin:/sbin:/bin) options=()
    while [ "$1" != "--" ]; do
        case "$1" in
        --*) options+=("$1") ;;
        *) environment+=("$1") ;;
        esac
        shift
    done
    shift
    env -i "${environment[@]}" unshare --mount --pid --fork --mount-proc="$root/proc" \
        chroot "${options[@]}" "$root" "$@"
}

send_as_root_reaches_the_system_alerting_directory() {
    local output alert
    output="$(chroot_run VEL_EVENTLOG=/tmp/events.json -- /usr/bin/kxevent send --product 1 \
        --event 1000 --virus EICAR --file /srv/share/report.doc 2>&1 </dev/null)" ||
        { say "$output"; return 1; }
    # Every module the registry names passed the trust check.
    if grep -i 'untrusted' "$root/tmp/events.json"; then return 1; fi
    alert="$(find "$root/var/spool/kxevent/alerts" -name '*.ALR' | head -n 1)"
    [ -n "$alert" ] || { say "no alert file; kxevent said: $output"; return 1; }
    grep -q $'^\[CentralAlert\]\r$' "$alert" && grep -q $'^szVirusName=EICAR\r$' "$alert" &&
        grep -q $'^szAlertPath=/var/spool/kxevent/alerts\r$' "$alert" ||
        { say "unexpected alert file:"; cat "$alert" >&2; return 1; }
}

# A product's developer builds the C sample host against the installed -dev package alone, with
# the C compiler alone: once through the CMake package, once with cc and pkg-config. Each build
# then reports from the installed system.
c_host_reports() {
    local host="$1" before output
    before="$(find "$root/var/spool/kxevent/alerts" -name '*.ALR' | wc -l)"
    output="$(chroot_run -- "$host" "$modules" 1 1003 2>&1 </dev/null)" ||
        { say "$output"; return 1; }
    [ "$(find "$root/var/spool/kxevent/alerts" -name '*.ALR' | wc -l)" -gt "$before" ] ||
        { say "no new alert; $host said: $output"; return 1; }
}

c_host_builds_with_the_cmake_package_and_reports() {
    local build="$root/tmp/host-build"
    cmake -S "$source/examples/host_c" -B "$build" -DCMAKE_PREFIX_PATH="$root/usr" \
        -DCMAKE_C_COMPILER=cc >"$build.log" 2>&1 && cmake --build "$build" >>"$build.log" 2>&1 ||
        { cat "$build.log" >&2; return 1; }
    # No C++ compiler enabled, so none can have driven the link.
    if grep -q '^CMAKE_CXX_COMPILER' "$build/CMakeCache.txt"; then
        say "the C host's build enabled C++"
        return 1
    fi
    c_host_reports /tmp/host-build/kxhost_c
}

c_host_builds_with_cc_and_pkg_config_and_reports() {
    local flags
    flags="$(PKG_CONFIG_LIBDIR="$root/usr/lib/$multiarch/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root" \
        pkg-config --cflags --libs kxevent)" || return 1
    # shellcheck disable=SC2086 # the flags are words
    cc -std=c99 -Wall -Wextra -Werror "$source/examples/host_c/host.c" -o "$root/tmp/host-pc" \
        $flags || return 1
    c_host_reports /tmp/host-pc
}

unprivileged_send_uses_the_per_user_default() {
    local output state="$root/home/trial/.local/state/kxevent"
    output="$(chroot_run HOME=/home/trial --userspec=65534:65534 -- /usr/bin/kxevent send \
        --product 1 --event 1011 --task Weekly 2>&1 </dev/null)" ||
        { say "$output"; return 1; }
    tr -d '\r' <"$state/hklm.reg" | grep -qx "\"szInstallDir\"=\"$modules\"" &&
        [ -n "$(find "$state/alerts" -name '*.ALR')" ] ||
        { say "no per-user alert; kxevent said: $output"; return 1; }
}

administrators_registry_survives_a_reinstall() {
    local registry="$root/etc/velmora/hklm.reg"
    sed -i 's/^"bEnableCAlert"=dword:00000001/"bEnableCAlert"=dword:00000000/' "$registry" &&
        root_dpkg --install "$debs"/libkxevent_*_"$arch".deb \
            >"$root/dpkg.log" 2>&1 ||
        { cat "$root/dpkg.log" >&2; return 1; }
    grep -q '^"bEnableCAlert"=dword:00000000' "$registry" &&
        alerting_directory_belongs_to_the_collectors_group
}

# --- upgrade, remove, purge of kxevent ---------------------------------------------------------
# The maintainer scripts' service handling, seen through a deb-systemd-invoke of the test's own
# in a root that claims a running systemd: an upgrade restarts the collector, a removal stops
# it and takes the link out of node_exporter's directory.
upgrade_restarts_and_remove_stops_the_collector() {
    mkdir -p "$root/run/systemd/system" &&
        printf '#!/bin/sh\necho "$*" >>/tmp/invoked\n' >"$root/usr/bin/deb-systemd-invoke" &&
        chmod 0755 "$root/usr/bin/deb-systemd-invoke" &&
        root_dpkg --install "$debs"/kxevent_*_"$arch".deb \
            >"$root/dpkg.log" 2>&1 &&
        grep -qx 'restart kxevent-collect.service' "$root/tmp/invoked" &&
        root_dpkg --remove kxevent >>"$root/dpkg.log" 2>&1 &&
        grep -qx 'stop kxevent-collect.service' "$root/tmp/invoked" &&
        [ ! -L "$root/var/lib/prometheus/node-exporter/kxevent_collect.prom" ] &&
        [ -f "$root/var/lib/kxevent-collect/kxevent_collect.prom" ] ||
        { cat "$root/dpkg.log" "$root/tmp/invoked" >&2; return 1; }
}

# Purge removes the state directory with the metrics file, and says how many alert files it
# left waiting in the alerting directory.
purge_removes_the_state_and_names_the_waiting_alerts() {
    local waiting output
    waiting="$(find "$root/var/spool/kxevent/alerts" -maxdepth 1 -name '*.ALR' | wc -l)"
    output="$(root_dpkg --purge kxevent 2>&1)" || { say "$output"; return 1; }
    [ "$waiting" -gt 0 ] && [ ! -e "$root/var/lib/kxevent-collect" ] &&
        grep -q "kxevent: $waiting alert files wait in /var/spool/kxevent/alerts and were left there" \
            <<<"$output" &&
        [ "$(find "$root/var/spool/kxevent/alerts" -maxdepth 1 -name '*.ALR' | wc -l)" -eq "$waiting" ] ||
        { say "$waiting waiting; dpkg said: $output"; return 1; }
}

check "the four packages install with dpkg into an empty root" install_packages || exit 1
check "dpkg records every package as installed" every_package_is_installed
check "every package's copyright file names the Apache License 2.0" every_package_names_its_licence
check "/etc/velmora/hklm.reg is a conffile" registry_is_a_conffile
check "the rsyslog receiver examples are in /usr/share/doc/kxevent/examples" \
    receiver_examples_are_shipped
check "the registry names the installation and alerting directories that exist" \
    registry_names_the_installed_paths
check "no installed registry holds an @...@ placeholder" no_installed_registry_holds_a_placeholder
check "registry, modules and the spool belong to root and no one else can write them" \
    trusted_places_belong_to_root
check "the unit's user kxevent-collect and group kxevent exist" collector_user_and_group_exist
check "the alerting directory is root:kxevent, mode 2770" \
    alerting_directory_belongs_to_the_collectors_group
check "libkxplatform carries the SONAME libkxplatform.so.1; the -dev link points to it" \
    platform_library_carries_its_soname
check "the command, the platform library and the modules are stripped" \
    installed_binaries_are_stripped
check "pkg-config --libs gives the library alone, no run path" pkg_config_gives_only_the_library
check "the CMake package imports the versioned library" cmake_package_names_the_versioned_library
check "the system files a send needs are put into the root" prepare_system_files || exit 1
check "a send by root writes its alert into /var/spool/kxevent/alerts of the root" \
    send_as_root_reaches_the_system_alerting_directory
check "kxevent doctor passes inside the root" doctor_passes_inside_the_root
check "the unit's user reads the alerts and moves a bad entry aside; node_exporter reads its metrics" \
    node_exporter_reads_the_collectors_metrics
check "a C host builds with the CMake package of libkxevent-dev and reports from the root" \
    c_host_builds_with_the_cmake_package_and_reports
check "a C host builds with cc and pkg-config against libkxevent-dev and reports from the root" \
    c_host_builds_with_cc_and_pkg_config_and_reports
check "a send by an unprivileged user installs and uses the per-user default" \
    unprivileged_send_uses_the_per_user_default
check "an administrator's registry change and the alerting directory's group survive a reinstall" \
    administrators_registry_survives_a_reinstall
check "an upgrade restarts the collector; removing kxevent stops it and takes its link away" \
    upgrade_restarts_and_remove_stops_the_collector
check "purging kxevent removes its state and metrics and names the alert files left waiting" \
    purge_removes_the_state_and_names_the_waiting_alerts

if [ "$failures" -ne 0 ]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "all cases passed"
