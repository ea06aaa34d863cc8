#!/usr/bin/env bash
# pgsql_exactly_once_test.sh BUILD_DIR [KILLS]: the shipped PostgreSQL receiver
# (examples/rsyslog/kxevent-pgsql.conf, kxevent-alerts.sql) stores each alert exactly once. A
# private PostgreSQL (a socket in a scratch directory, run as postgres when we are root) and
# rsyslogd on a loopback port take 10,000 alert files from kxevent collect while, as the rows come
# in, the collector and rsyslogd are killed with SIGKILL in turn (KILLS, default 8) and
# PostgreSQL is stopped once until rsyslogd meets it closed. Then exactly 10,000 rows must hold
# every field as the files had it. Installs nothing (scripts/setup.sh does); 77: skipped.
set -uo pipefail
build="${1:?usage: pgsql_exactly_once_test.sh BUILD_DIR [KILLS]}" kills="${2:-8}" total=10000
source="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
pgbin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
for need in "$pgbin/initdb" /usr/sbin/rsyslogd /usr/lib/*/rsyslog/ompgsql.so /usr/lib/*/rsyslog/imrelp.so; do
    [ -e "$need" ] || { echo "skipped: $need is missing (scripts/setup.sh installs it)"; exit 77; }
done

scratch="$(mktemp -d /tmp/kxevent-pgsql.XXXXXX)" && chmod 0755 "$scratch"
pgdata="$scratch/pg" alerts="$scratch/alerts" as_postgres=() rsyslog_pid="" collector_pid=""
mkdir -p "$pgdata" "$alerts"
if [ "$(id -u)" -eq 0 ]; then chown postgres: "$pgdata" && as_postgres=(runuser -u postgres --); fi
cleanup() {
    exec 2>/dev/null
    kill -KILL $collector_pid $rsyslog_pid
    "${as_postgres[@]}" "$pgbin/pg_ctl" -D "$pgdata/data" -m immediate stop >/dev/null
    wait
    [ -n "${KX_KEEP_SCRATCH:-}" ] || rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL $*"
    for log in "$scratch"/*.log; do echo "--- $log" && tail -n 20 "$log"; done
    exit 1
}
# wait_for DESCRIPTION SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
    local what="$1" deadline=$((SECONDS + $2))
    shift 2
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "after $deadline s: $what"
        sleep 0.1
    done
}

# --- PostgreSQL with the shipped table, and rsyslogd with the shipped snippet ----------------
pg() { "${as_postgres[@]}" "$pgbin/pg_ctl" -D "$pgdata/data" -l "$pgdata/server.log" -w -t 120 "$@" >>"$scratch/pg.log" 2>&1; }
psql() { "$pgbin/psql" -h "$pgdata" -U postgres -X -q -v ON_ERROR_STOP=1 "$@"; }
rows() { psql -d kxevent -Atc 'SELECT count(*) FROM kxevent_alerts' 2>/dev/null || echo -1; }
"${as_postgres[@]}" "$pgbin/initdb" -D "$pgdata/data" -A trust -U postgres -E UTF8 --locale=C.UTF-8 \
    >"$scratch/pg.log" 2>&1 && pg -o "-k $pgdata -c listen_addresses=" start &&
    psql -d postgres -c 'CREATE DATABASE kxevent' && psql -d kxevent -f "$source/examples/rsyslog/kxevent-alerts.sql" ||
    fail "PostgreSQL with kxevent-alerts.sql"

# The tests' rsyslogd (tests/support/rsyslogd.sh) runs the shipped snippet pointed at the private
# database, its port taken from the environment as the other receiver examples take theirs.
rsyslogd_sh="$source/tests/support/rsyslogd.sh"
port="$(bash "$rsyslogd_sh" port)" || fail "no free port"
sed -e "s|@localhost/kxevent\"|@/kxevent?host=$pgdata\"|" \
    -e "s|port=\"2514\"|address=\"127.0.0.1\" port=\`echo \$KXEVENT_RELP_PORT\`|" \
    "$source/examples/rsyslog/kxevent-pgsql.conf" >"$scratch/kxevent-pgsql.conf"
grep -q "host=$pgdata\"" "$scratch/kxevent-pgsql.conf" && grep -q 'port=`echo $KXEVENT_RELP_PORT`' "$scratch/kxevent-pgsql.conf" ||
    fail "kxevent-pgsql.conf no longer has the conninfo and port this test points elsewhere"
bash "$rsyslogd_sh" check "$scratch/rsyslog" KXEVENT_RELP_PORT="$port" "$scratch/kxevent-pgsql.conf" \
    >"$scratch/rsyslog.log" 2>&1 || fail "rsyslogd -N1 refuses kxevent-pgsql.conf"
# rsyslogd in place of the fixture's shell, a child of this one: killed and waited for here.
listening() { ss -Htlnp "sport = :$port" | grep -q "pid=$rsyslog_pid,"; }
rsyslog_start() {
    bash "$rsyslogd_sh" run "$scratch/rsyslog" KXEVENT_RELP_PORT="$port" "$scratch/kxevent-pgsql.conf" \
        >>"$scratch/rsyslog.log" 2>&1 &
    rsyslog_pid=$!
    wait_for "rsyslogd listening on port $port" 60 listening
}
collector_start() {
    "$build/bin/kxevent" collect --dir "$alerts" --to "relp://127.0.0.1:$port" >>"$scratch/collector.log" 2>&1 &
    collector_pid=$!
}

# --- 10,000 alert files: quotes, backslashes, "]", UTF-8 and Latin-1 in the values -----------
# expected.csv says what each row must hold (Latin-1 read as UTF-8).
LC_ALL=C awk -v dir="$alerts" -v total="$total" 'BEGIN {
    for (i = 1; i <= total; i++) {
        file = sprintf("%08d.ALR", i); path = dir "/" file; event = 1000 + i % 30
        host = "ws-" (i % 7); virus = "V" i " \"q\" '\''a'\'' ] \\ \303\251"
        item = "C:\\Users\\u" i "\\a b.exe"; product = "Scanner '\''Pro'\''"
        user = (i % 50 == 0) ? "j\366rg" : "user" (i % 13); utf8 = (i % 50 == 0) ? "j\303\266rg" : user
        message = "message " i ": \"quoted\" and '\''single'\'' and \\ and ] \342\202\254"
        month = 1 + i % 12; day = 1 + i % 28; hour = i % 24; minute = i % 60; second = (7 * i) % 60
        printf "[CentralAlert]\r\nuFileVersion=1\r\nuStatus=0\r\nszVirusName=%s\r\nszItemName=%s\r\n" \
            "szUserName=%s\r\nszSoftware=%s\r\nszSoftwareVersion=4.5\r\nszComputerName=%s\r\n" \
            "uYear=2026\r\nuMonth=%d\r\nuDay=%d\r\nuHour=%d\r\nuMinute=%d\r\nuSecond=%d\r\n" \
            "szAlertPath=%s\r\nuSeverity=%d\r\nszSourceIP=10.1.2.3\r\nuMessageID=%d\r\n" \
            "szTaskName=scan %d\r\nszGMTTime=x\r\nszOS=Linux\r\nszEngineVersion=4.4\r\n" \
            "szDatVersion=4.1\r\ndwWinStaClientID=0\r\npszWinStaClientName=\r\n" \
            "uSpecificTrap=%d\r\nszActualMessage=%s\r\n", virus, item, user, product, host, month,
            day, hour, minute, second, dir, i % 5, event, i, event, message > path
        close(path)
        n = split(file "\t" host "\t" event "\t" (i % 5) "\t" virus "\t" item "\t" utf8 "\t" product "\t" message, f, "\t")
        line = sprintf("2026-%02d-%02dT%02d:%02d:%02dZ,%d", month, day, hour, minute, second, i)
        for (k = 1; k <= n; k++) { gsub(/"/, "\"\"", f[k]); line = line ",\"" f[k] "\"" }
        print line > (dir "/../expected.csv")
    }
}' && [ "$(find "$alerts" -name '*.ALR' | wc -l)" -eq "$total" ] || fail "writing the alert files"

# --- the drain, with kills as the rows come in -----------------------------------------------
ready_left() { [ -n "$(find "$alerts" -maxdepth 1 -name '*.ALR' -print -quit)" ]; }
rows_or_drained() { [ "$(rows)" -ge "$1" ] || ! ready_left; }
db_error_logged() { [ "$(grep -c 'db error' "$scratch/rsyslog.log")" -gt "$1" ]; }
started=$SECONDS collector_kills=0 rsyslog_kills=0 pg_restarts=0
rsyslog_start
collector_start
for ((round = 1; round <= kills + 1; round++)); do
    # A file leaves only once its row is committed: a drained directory ends the rounds.
    wait_for "$((round * total / (kills + 2))) rows (now $(rows))" 300 rows_or_drained $((round * total / (kills + 2)))
    ready_left || break
    if [ "$round" -eq $(((kills + 2) / 2)) ]; then
        # The database goes away under a running receiver, which must hold the alerts unanswered.
        errors="$(grep -c 'db error' "$scratch/rsyslog.log")"
        pg -m fast stop || fail "PostgreSQL does not stop"
        wait_for "rsyslogd meeting the stopped database" 120 db_error_logged "$errors"
        pg -o "-k $pgdata -c listen_addresses=" start || fail "PostgreSQL does not start again"
        pg_restarts=$((pg_restarts + 1))
    elif [ $((round % 2)) -eq 1 ]; then
        kill -KILL "$collector_pid" && wait "$collector_pid" 2>/dev/null
        collector_kills=$((collector_kills + 1)) && collector_start
    else
        kill -KILL "$rsyslog_pid" && wait "$rsyslog_pid" 2>/dev/null
        rsyslog_kills=$((rsyslog_kills + 1)) && rsyslog_start
    fi
done
wait_for "every alert file acknowledged and removed" 300 eval '! ready_left'
kill -TERM "$collector_pid" && wait "$collector_pid"
collector_pid="" seconds=$((SECONDS - started))

# --- exactly once, every field intact --------------------------------------------------------
stored="$(rows)"
intact="$(psql -d kxevent -At <<END
CREATE TEMPORARY TABLE expected (time timestamptz, number int, file text, host text, event bigint,
    severity bigint, virus text, item text, user_name text, product text, message text);
\\copy expected FROM '$scratch/expected.csv' WITH (FORMAT csv)
SELECT count(*) FROM expected e JOIN kxevent_alerts a USING (virus, time, host, event, severity, item, user_name, product)
WHERE a.alert_id ~ ('^' || e.host || '/' || e.file || '/[0-9]+\.[0-9]{9}$') AND a.alert->>'alertId' = a.alert_id
  AND a.alert->>'szActualMessage' = e.message AND a.alert->>'szVirusName' = e.virus
  AND a.alert->>'szUserName' = e.user_name AND a.alert->>'szTaskName' = 'scan ' || e.number
  AND (SELECT count(*) FROM jsonb_object_keys(a.alert)) = 28;
END
)" || fail "the check query"
echo "rows $stored of $total alerts, $intact intact; collector killed $collector_kills times," \
    "rsyslogd $rsyslog_kills times, PostgreSQL restarted $pg_restarts time; $seconds s"
[ "$stored" -eq "$total" ] || fail "$stored rows for $total alerts"
[ "$intact" -eq "$total" ] || fail "$((total - intact)) rows differ from their alert files"
echo "ok   10,000 alerts stored exactly once, every field intact"
