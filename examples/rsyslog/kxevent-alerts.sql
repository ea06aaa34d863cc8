-- kxevent-alerts.sql: the PostgreSQL table that rsyslog's ompgsql output (kxevent-pgsql.conf)
-- fills with one row per alert, whatever how often the collector sent it: the alertId is the
-- primary key, and a copy sent again is dropped by INSERT ... ON CONFLICT DO NOTHING.
--
--   createdb kxevent && psql -d kxevent -f kxevent-alerts.sql
--
-- rsyslog logs in as the role kxevent_rsyslog, which may add rows and nothing else.

CREATE TABLE IF NOT EXISTS kxevent_alerts (
    alert_id  text PRIMARY KEY,       -- alertId: szComputerName/FILE NAME/MTIME of the alert file
    time      timestamptz NOT NULL,   -- the alert's own time (its UTC time keys)
    host      text NOT NULL,          -- szComputerName
    event     bigint NOT NULL,        -- uSpecificTrap, the event number
    severity  bigint NOT NULL,        -- uSeverity: 0 informational ... 4 critical
    virus     text NOT NULL,          -- szVirusName
    item      text NOT NULL,          -- szItemName: the file or mail item
    user_name text NOT NULL,          -- szUserName
    product   text NOT NULL,          -- szSoftware
    alert     jsonb NOT NULL,         -- every key of the alert file, and alertId
    received  timestamptz NOT NULL DEFAULT now()  -- when the row went in
);

CREATE INDEX IF NOT EXISTS kxevent_alerts_host_time ON kxevent_alerts (host, time);
CREATE INDEX IF NOT EXISTS kxevent_alerts_time ON kxevent_alerts (time);

DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'kxevent_rsyslog') THEN
        CREATE ROLE kxevent_rsyslog LOGIN;
    END IF;
END
$$;
-- Adding rows, and reading the key alone, which ON CONFLICT (alert_id) needs.
GRANT INSERT, SELECT (alert_id) ON kxevent_alerts TO kxevent_rsyslog;
