// pipeline.h: the send pipeline behind the exports, and its replaceable stages.
#pragma once

#include <cstdint>

#include "catalogue/variables.h"
#include "kxevent/kxevent.h"

namespace kx {

// The stages a send runs, in order. The live table points at the real stages; tests replace
// entries with doubles to check order, short-circuits and results.
struct PipelineStages {
    int (*IsCentralAlertEnabled)();
    int (*LoadMessageDefinition)(std::int32_t, MessageRecord*, DetailRecord*);
    int (*PopulateEventStructures)(std::uint32_t, const char*, MessageRecord*, DetailRecord*,
                                   ContextRecord*);
    VariableTable* (*BuildVariableTable)(std::uint32_t, std::int32_t, MessageRecord*, DetailRecord*,
                                         ContextRecord*);
    int (*ExpandVariables)(const char*, const VariableTable*, char*, int);
    void (*FreeVariableTable)(VariableTable*);
    bool (*RunCentralAlertStage)(std::int32_t, MessageRecord*, DetailRecord*, const char*);
    int (*ForwardEvent)(std::uint32_t, std::int32_t, MessageRecord*, DetailRecord*, ContextRecord*);
};

PipelineStages& Stages();
const PipelineStages& RealStages();

// The send, the re-send of the last populated event and the long-description query. A null
// record address is refused with EVENT_ERR_NO_DEFINITION before any stage runs ("nothing was
// done"). A re-send keeps at most the first 15 characters of its task name.
int SendMessageEx(std::uint32_t productId, std::int32_t eventId, MessageRecord* message,
                  DetailRecord* detail, ContextRecord* context, std::uint32_t suppressAlert);
int SendEventEx(std::uint32_t productId, std::int32_t eventId, const char* taskName,
                std::uint32_t suppressAlert);
int QueryMessageText(std::uint32_t productId, std::int32_t eventId, MessageRecord* message,
                     DetailRecord* detail, ContextRecord* context, char* text,
                     std::uint32_t textSize);

}  // namespace kx
