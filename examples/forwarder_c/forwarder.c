/* forwarder.c: a forwarding module in C. KXEvent.DLL loads it for every send (when its path
 * is listed under "...\Events\Forwarding") and calls ForwardVELMessage with the records the
 * send has just completed. This one appends one line per event to the file named by the
 * environment variable KXEVENT_SAMPLE_FORWARD_LOG:
 *
 *   <product> <event> <severity> <event name>: <expanded description> */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kxevent/kxevent.h"

#if defined(_WIN32)
#define SAMPLE_EXPORT __declspec(dllexport)
#else
#define SAMPLE_EXPORT __attribute__((visibility("default")))
#endif

/* A field's length, never looking past its width even without a terminator. */
static int field_length(const char* field, size_t width) {
    const char* end = memchr(field, '\0', width);
    return (int)(end ? (size_t)(end - field) : width);
}

SAMPLE_EXPORT int KX_API ForwardVELMessage(uint32_t uProductID, int32_t uEventID,
                                           MessageRecord* pMessage, DetailRecord* pDetail,
                                           ContextRecord* pContext) {
    const char* path = getenv("KXEVENT_SAMPLE_FORWARD_LOG");
    FILE* log;
    (void)pContext;
    if (path == NULL || pMessage == NULL || pDetail == NULL) return 1;
    log = fopen(path, "a");
    if (log == NULL) return 1;
    fprintf(log, "%u %d %u %.*s: %.*s\n", (unsigned)uProductID, (int)uEventID,
            (unsigned)pMessage->uSeverity,
            field_length(pDetail->szEventName, sizeof pDetail->szEventName), pDetail->szEventName,
            field_length(pMessage->szLongDescript, sizeof pMessage->szLongDescript),
            pMessage->szLongDescript);
    return fclose(log) == 0 ? 0 : 1;
}
