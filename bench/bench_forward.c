/* bench_forward.c: a forwarding module that takes the event and does nothing with it, so that
 * a send's cost of finding, loading, calling and unloading a module is measured alone. Built
 * four times under different names: a send loads each listed file once. */
#include "kxevent/kxevent.h"

#define FORWARD_EXPORT __attribute__((visibility("default")))

FORWARD_EXPORT int KX_API ForwardVELMessage(uint32_t uProductID, int32_t uEventID,
                                            MessageRecord* pMessage, DetailRecord* pDetail,
                                            ContextRecord* pContext) {
    (void)uProductID;
    (void)uEventID;
    (void)pMessage;
    (void)pDetail;
    (void)pContext;
    return 0;
}
