/* forward_module.c: a forwarding module for the delivery tests, built in several variants.
 *
 * Each variant appends what happens to it to the file named by KX_TEST_FORWARD_LOG, one line
 * per event: "attach TAG", "call TAG product event trap context-byte description",
 * "detach TAG". FORWARD_TAG names the variant; FORWARD_NO_ENTRY leaves out ForwardVELMessage;
 * FORWARD_UNLOAD_CHECK adds UnloadForwardingCheck; FORWARD_REENTER calls the library again from
 * inside a re-send of event 2000 (ForwardTestReenterWith names the send it calls). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

#ifdef FORWARD_REENTER
typedef int(KX_API* ForwardSendFn)(uint32_t, int32_t, MessageRecord*, DetailRecord*,
                                   ContextRecord*);
static ForwardSendFn reenter;

/* The test keeps the module loaded, so this survives the library's loads and unloads. */
FORWARD_EXPORT void ForwardTestReenterWith(ForwardSendFn send) {
    reenter = send;
}

/* An event of the module's own, sent as event 1000 while the library re-sends event 2000. */
static void SendNested(uint32_t product) {
    static MessageRecord message;
    static DetailRecord detail;
    static ContextRecord context;
    memset(&message, 0, sizeof message);
    memset(&detail, 0, sizeof detail);
    memset(&context, 0, sizeof context);
    strcpy(detail.szVirusName, "NESTED");
    Record("reenter " FORWARD_TAG);
    reenter(product, 1000, &message, &detail, &context);
}
#endif

#ifndef FORWARD_NO_ENTRY
FORWARD_EXPORT int KX_API ForwardVELMessage(uint32_t uProductID, int32_t uEventID,
                                            MessageRecord* pMessage, DetailRecord* pDetail,
                                            ContextRecord* pContext) {
    char line[1200];
    snprintf(line, sizeof line, "call %s %u %d %u %u %.1023s", FORWARD_TAG, (unsigned)uProductID,
             (int)uEventID, (unsigned)pDetail->uTrapID, (unsigned)pContext->abData[0],
             pMessage->szLongDescript);
    Record(line);
#ifdef FORWARD_REENTER
    if (reenter != NULL && uEventID == 2000) SendNested(uProductID);
#endif
    return 77; /* ignored by the library */
}
#endif

#ifdef FORWARD_UNLOAD_CHECK
FORWARD_EXPORT int KX_API UnloadForwardingCheck(void) {
    Record("unload-check " FORWARD_TAG); /* the library never calls it */
    return 1;
}
#endif
