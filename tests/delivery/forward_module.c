/* forward_module.c: a forwarding module for the delivery tests, built in several variants.
 *
 * Each variant appends what happens to it to the file named by KX_TEST_FORWARD_LOG, one line
 * per event: "attach TAG", "call TAG product event trap context-byte description",
 * "detach TAG". FORWARD_TAG names the variant; FORWARD_NO_ENTRY leaves out ForwardVELMessage;
 * FORWARD_UNLOAD_CHECK adds UnloadForwardingCheck. */
#include <stdio.h>
#include <stdlib.h>

#include "kxevent/kxevent.h"

#define FORWARD_EXPORT __attribute__((visibility("default")))

static void Record(const char* line) {
    const char* file = getenv("KX_TEST_FORWARD_LOG");
    if (file == NULL) return;
    FILE* out = fopen(file, "a");
    if (out == NULL) return;
    fputs(line, out);
    fputc('\n', out);
    fclose(out);
}

FORWARD_EXPORT int DllMain(void* module, uint32_t reason, void* reserved) {
    (void)module;
    (void)reserved;
    if (reason == KX_DLL_PROCESS_ATTACH) Record("attach " FORWARD_TAG);
    if (reason == KX_DLL_PROCESS_DETACH) Record("detach " FORWARD_TAG);
    return 1;
}

#ifndef FORWARD_NO_ENTRY
FORWARD_EXPORT int KX_API ForwardVELMessage(uint32_t uProductID, int32_t uEventID,
                                            MessageRecord* pMessage, DetailRecord* pDetail,
                                            ContextRecord* pContext) {
    char line[1200];
    snprintf(line, sizeof line, "call %s %u %d %u %u %.1023s", FORWARD_TAG, (unsigned)uProductID,
             (int)uEventID, (unsigned)pDetail->uTrapID, (unsigned)pContext->abData[0],
             pMessage->szLongDescript);
    Record(line);
    return 77; /* ignored by the library */
}
#endif

#ifdef FORWARD_UNLOAD_CHECK
FORWARD_EXPORT int KX_API UnloadForwardingCheck(void) {
    Record("unload-check " FORWARD_TAG); /* the library never calls it */
    return 1;
}
#endif
