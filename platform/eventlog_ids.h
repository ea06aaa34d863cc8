/* eventlog_ids.h: the event identifier and category every entry of the Windows event log is
   written with, and the sources the installer registers for them. The message file
   (platform/win32/eventlog_messages.mc) holds one message per identifier below; a source that
   is not one of these is written with KX_EVENT_ID_OTHER. C and C++ (the installer checks use it
   from C). */
#ifndef KX_PLATFORM_EVENTLOG_IDS_H
#define KX_PLATFORM_EVENTLOG_IDS_H

#include <string.h>

/* The sources the library, the platform layer and FwdSyslog write under. Traces carry no source
   of their own and are filed under KX_EVENT_SOURCE_TRACE. */
#define KX_EVENT_SOURCE_TRACE "KXEvent"
#define KX_EVENT_SOURCE_PLATFORM "KXEvent Platform"
#define KX_EVENT_SOURCE_SYSLOG "FwdSyslog"
#define KX_EVENT_SOURCE_ALERT "Derad Edarevu Razud Evarivive"

/* The alerting service on Windows ("kxevent collect --to eventlog") files every alert it takes
   from an alerting directory under a source of its own, with its own message file: the alert's
   event number is the entry's identifier (0 for a number outside 0 to KX_EVENT_ALERTS_HIGHEST_ID,
   which Event Viewer could not show), and every identifier's message is "%1", the alert as the
   collector wrote it out. Strings %2 on are the alert file's values in file order, then its
   alertId. */
#define KX_EVENT_SOURCE_ALERTS "KXEvent Alerts"
#define KX_EVENT_ALERTS_MESSAGE_FILE "KXEventAlerts.dll"
#define KX_EVENT_ALERTS_HIGHEST_ID 65535u
/* The Windows service that runs it (the Linux unit's name too). */
#define KX_COLLECT_SERVICE_NAME "kxevent-collect"

/* Event identifiers as written. Event Viewer shows the low 16 bits: 0xC0000101 is shown as 257.
   The central-alert identifier is the number the library has always logged them with. */
#define KX_EVENT_ID_TRACE 100u
#define KX_EVENT_ID_MODULE_REFUSED 200u
#define KX_EVENT_ID_FORWARDING 300u
/* The alerting service's own log lines, under KX_EVENT_SOURCE_TRACE. */
#define KX_EVENT_ID_COLLECTOR 400u
#define KX_EVENT_ID_OTHER 900u
#define KX_EVENT_ID_ALERT_DELIVERY 0xC0000101u

/* Categories (the message file's first messages, 1 to KX_EVENT_CATEGORY_COUNT). */
#define KX_EVENT_CATEGORY_ALERTING 1u
#define KX_EVENT_CATEGORY_FORWARDING 2u
#define KX_EVENT_CATEGORY_DIAGNOSTICS 3u
#define KX_EVENT_CATEGORY_MODULE_TRUST 4u
#define KX_EVENT_CATEGORY_OTHER 5u
#define KX_EVENT_CATEGORY_COUNT 5u

typedef struct kx_event_log_key {
    const char* source; /* the registered source the entry is written under */
    unsigned id;        /* its event identifier */
    unsigned short category;
} kx_event_log_key;

/* The key of an entry the event-log call was given `source` for (null for a trace). */
static inline kx_event_log_key kx_event_log_key_of(const char* source) {
    kx_event_log_key key;
    key.source = source != NULL ? source : KX_EVENT_SOURCE_TRACE;
    if (strcmp(key.source, KX_EVENT_SOURCE_ALERT) == 0) {
        key.id = KX_EVENT_ID_ALERT_DELIVERY;
        key.category = KX_EVENT_CATEGORY_ALERTING;
    } else if (strcmp(key.source, KX_EVENT_SOURCE_TRACE) == 0) {
        key.id = KX_EVENT_ID_TRACE;
        key.category = KX_EVENT_CATEGORY_DIAGNOSTICS;
    } else if (strcmp(key.source, KX_EVENT_SOURCE_PLATFORM) == 0) {
        key.id = KX_EVENT_ID_MODULE_REFUSED;
        key.category = KX_EVENT_CATEGORY_MODULE_TRUST;
    } else if (strcmp(key.source, KX_EVENT_SOURCE_SYSLOG) == 0) {
        key.id = KX_EVENT_ID_FORWARDING;
        key.category = KX_EVENT_CATEGORY_FORWARDING;
    } else {
        key.id = KX_EVENT_ID_OTHER;
        key.category = KX_EVENT_CATEGORY_OTHER;
    }
    return key;
}

#endif
