/* forward_probe.c: a forwarding module for the Windows integration tests, built in variants.
 *
 * Every variant appends one line per happening to the file named by the environment variable
 * KX_WINE_FORWARD_LOG (read through the system, so that a value the host set after start-up is
 * seen): "attach TAG", "detach TAG" and, for each call,
 * "call TAG|product|event|trap|context byte|computer|long description". PROBE_TAG names the
 * variant; PROBE_NO_ENTRY leaves out ForwardVELMessage; PROBE_UNLOAD_CHECK adds
 * UnloadForwardingCheck; PROBE_STACK_CHECK (32-bit x86) makes each call write
 * "stack TAG|entry stack pointer|product|event|context byte" instead, so that a test can see
 * whether the caller kept its stack level across calls that remove their own arguments. */
#include <stdio.h>
#include <windows.h>

#include "kxevent/kxevent.h"

static void Record(const char* line) {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("KX_WINE_FORWARD_LOG", path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    FILE* out = fopen(path, "ab");
    if (out == NULL) return;
    fputs(line, out);
    fputc('\n', out);
    fclose(out);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)module;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) Record("attach " PROBE_TAG);
    if (reason == DLL_PROCESS_DETACH) Record("detach " PROBE_TAG);
    return TRUE;
}

#if defined(PROBE_STACK_CHECK) && defined(__i386__)
/* The frame of a __stdcall entry: saved EBP, return address, then the five arguments from the
 * left; the stack pointer the caller handed over points at the return address. */
__declspec(dllexport) int KX_API
    ForwardVELMessage(uint32_t uProductID, int32_t uEventID, MessageRecord* pMessage,
                      DetailRecord* pDetail, ContextRecord* pContext) {
    const uint32_t* frame = (const uint32_t*)__builtin_frame_address(0);
    (void)uProductID;
    (void)uEventID;
    (void)pMessage;
    (void)pDetail;
    (void)pContext;
    char line[200];
    /* The arguments as they lie on the stack, not as the compiler hands them to the body. */
    snprintf(line, sizeof line, "stack %s|%08lx|%lu|%ld|%u", PROBE_TAG,
             (unsigned long)(uintptr_t)(frame + 1), (unsigned long)frame[2],
             (long)(int32_t)frame[3],
             (unsigned)((const ContextRecord*)(uintptr_t)frame[6])->abData[0]);
    Record(line);
    return 0;
}
#elif !defined(PROBE_NO_ENTRY)
__declspec(dllexport) int KX_API
    ForwardVELMessage(uint32_t uProductID, int32_t uEventID, MessageRecord* pMessage,
                      DetailRecord* pDetail, ContextRecord* pContext) {
    char line[1400];
    snprintf(line, sizeof line, "call %s|%u|%d|%u|%u|%.63s|%.1023s", PROBE_TAG,
             (unsigned)uProductID, (int)uEventID, (unsigned)pDetail->uTrapID,
             (unsigned)pContext->abData[0], pMessage->szComputerName, pMessage->szLongDescript);
    Record(line);
    return 77; /* ignored by the library */
}
#endif

#ifdef PROBE_UNLOAD_CHECK
__declspec(dllexport) int KX_API UnloadForwardingCheck(void) {
    Record("unload-check " PROBE_TAG); /* the library never calls it */
    return 1;
}
#endif
