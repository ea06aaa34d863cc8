// exports.cpp: the 17 exported functions of KXEvent.DLL.
//
// Eleven answer with fixed values and touch nothing; the others hand over to the send pipeline
// and the population. Of the fixed-value exports, ordinals 2, 3, 4 and 6 are one function and
// 5, 7 and 13 another: the other names of a group are aliases of its first, so the export table
// gives the whole group one address. No C++ exception ever leaves an export: the pipeline's code
// does not throw, and the guard below turns anything unexpected into a failure result. Each working
// call sees the machine through one facts view: one version of the registry for the whole
// send, and each file of facts checked once.
#include "event/pipeline.h"
#include "event/population.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace {

template <typename Fn>
int Guarded(Fn&& fn, int onFailure) noexcept {
    try {
        const kx::plat::FactsView view;
        return fn();
    } catch (...) {
        return onFailure;
    }
}

}  // namespace

// The alias names the assembler symbol: on 32-bit Windows that carries the Windows API
// decoration, the bytes of arguments the function removes. An alias claims what the compiler
// knows of its target (it throws nothing): gcc asks for that, while clang refuses nothrow on a
// function the header declared without it, as a different promise of what it may throw.
#if defined(__clang__)
#define KX_ALIAS_NOTHROW
#else
#define KX_ALIAS_NOTHROW , nothrow
#endif
#if defined(_WIN32) && !defined(_WIN64)
#define KX_ALIAS_OF(name, argumentBytes) \
    __attribute__((alias(#name "@" #argumentBytes) KX_ALIAS_NOTHROW))
#else
#define KX_ALIAS_OF(name, argumentBytes) __attribute__((alias(#name) KX_ALIAS_NOTHROW))
#endif

extern "C" {

KX_EXPORT int KX_API EVENT_SendAlertUsingAMgr(uint32_t, uint32_t, uint32_t) {
    return 0;
}
// Ordinals 2, 3, 4 and 6: one argument, result 1.
KX_EXPORT int KX_API EVENT_ConfigureEventClient(uint32_t) {
    return 1;
}
KX_EXPORT int KX_API EVENT_GetEventClientConfig(uint32_t)
    KX_ALIAS_OF(EVENT_ConfigureEventClient, 4);
KX_EXPORT int KX_API EVENT_ConfigureEventMessages(uint32_t)
    KX_ALIAS_OF(EVENT_ConfigureEventClient, 4);
KX_EXPORT int KX_API EVENT_ConfigureEventMgrClient(uint32_t)
    KX_ALIAS_OF(EVENT_ConfigureEventClient, 4);

// Ordinals 5, 7 and 13: three arguments, result 1.
KX_EXPORT int KX_API EVENT_ConfigureEventMessagesEx(uint32_t, uint32_t, uint32_t) {
    return 1;
}
KX_EXPORT int KX_API EVENT_ConfigureEventMgrClientEx(uint32_t, uint32_t, uint32_t)
    KX_ALIAS_OF(EVENT_ConfigureEventMessagesEx, 12);
KX_EXPORT int KX_API EVENT_SelectAlertManagerDestination(uint32_t, uint32_t, uint32_t)
    KX_ALIAS_OF(EVENT_ConfigureEventMessagesEx, 12);

KX_EXPORT int KX_API EVENT_GetDefaultPublishedAM(uint32_t, uint32_t, uint32_t) {
    return 11;
}
KX_EXPORT int KX_API EVENT_HasEventClientBeenConfigured(void) {
    return 1;
}
KX_EXPORT int KX_API EVENT_IsEventClientConfigurable(void) {
    return 0;
}

KX_EXPORT int KX_API EVENT_PopulateEventStructures(uint32_t uProductID, const char* pszTaskName,
                                                   MessageRecord* pMessage, DetailRecord* pDetail,
                                                   ContextRecord* pContext) {
    return Guarded(
        [&] {
            return kx::PopulateEventStructures(uProductID, pszTaskName, pMessage, pDetail,
                                               pContext);
        },
        EVENT_ERR_NO_MEMORY);
}

KX_EXPORT int KX_API EVENT_QueryMessageText(uint32_t uProductID, int32_t uEventID,
                                            MessageRecord* pMessage, DetailRecord* pDetail,
                                            ContextRecord* pContext, char* pszText,
                                            uint32_t cchText) {
    return Guarded(
        [&] {
            return kx::QueryMessageText(uProductID, uEventID, pMessage, pDetail, pContext, pszText,
                                        cchText);
        },
        EVENT_ERR_NO_MEMORY);
}

KX_EXPORT int KX_API EVENT_SendVELMessageEx(uint32_t, uint32_t uProductID, int32_t uEventID,
                                            MessageRecord* pMessage, DetailRecord* pDetail,
                                            ContextRecord* pContext, uint32_t bSuppressAlert,
                                            uint32_t) {
    return Guarded(
        [&] {
            return kx::SendMessageEx(uProductID, uEventID, pMessage, pDetail, pContext,
                                     bSuppressAlert);
        },
        EVENT_ERR_NO_MEMORY);
}

KX_EXPORT int KX_API EVENT_SendVELMessage(uint32_t uProductID, int32_t uEventID,
                                          MessageRecord* pMessage, DetailRecord* pDetail,
                                          ContextRecord* pContext) {
    return EVENT_SendVELMessageEx(0, uProductID, uEventID, pMessage, pDetail, pContext, 0, 0);
}

KX_EXPORT int KX_API EVENT_SendVELEventEx(uint32_t, uint32_t uProductID, int32_t uEventID,
                                          const char* pszTaskName, uint32_t bSuppressAlert,
                                          uint32_t) {
    return Guarded(
        [&] { return kx::SendEventEx(uProductID, uEventID, pszTaskName, bSuppressAlert); },
        EVENT_ERR_NO_MEMORY);
}

KX_EXPORT int KX_API EVENT_SendVELEvent(uint32_t uProductID, int32_t uEventID,
                                        const char* pszTaskName) {
    return EVENT_SendVELEventEx(0, uProductID, uEventID, pszTaskName, 0, 0);
}

}  // extern "C"
