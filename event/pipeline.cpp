// pipeline.cpp: the send pipeline (definition, population, variables, expansion, central
// alert, forwarding), the re-send of the last populated event and the long-description query.
#include "event/pipeline.h"

#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "catalogue/definitions.h"
#include "common/alert_settings.h"
#include "common/platform_block.h"
#include "common/text.h"
#include "delivery/central_alert.h"
#include "delivery/forwarding.h"
#include "event/population.h"
#include "event/snapshot.h"
#include "platform/platform.h"

namespace kx {
namespace {

// The send's variable table, released through the live stage table.
struct TableRelease {
    void operator()(VariableTable* table) const { Stages().FreeVariableTable(table); }
};
using TablePtr = std::unique_ptr<VariableTable, TableRelease>;

// The send's expansion buffer, taken from and given back to the platform's allocator.
using ExpansionBuffer = std::unique_ptr<char[], PlatformRelease>;

bool RecordsGiven(const MessageRecord* message, const DetailRecord* detail,
                  const ContextRecord* context) {
    return message != nullptr && detail != nullptr && context != nullptr;
}

// Expands the long description into `buffer` and copies what fits back into the record; when
// nothing was expanded, the buffer receives the long description as it is.
void ExpandLongDescription(const VariableTable* table, MessageRecord& message,
                           std::span<char, kExpansionBufferSize> buffer) {
    TerminateField(message.szLongDescript);
    if (Stages().ExpandVariables(message.szLongDescript, table, buffer.data(),
                                 kExpansionBufferSize) != 0) {
        TerminateField(buffer);
        CopyText(message.szLongDescript, BoundedText(buffer));
    } else {
        CopyText(buffer, FieldText(message.szLongDescript));
    }
}

// The task name of a re-send: null is the empty text, a longer one keeps its first 15
// characters. The caller's text is never read past that.
void SetSnapshotTaskName(DetailRecord& detail, const char* taskName) {
    if (taskName == nullptr) taskName = "";
    CopyCallerText(detail.szTaskName, taskName);
}

// strncpy-style: zeros after a shorter text; a text that fills the buffer has no terminator.
void CopyToCaller(std::string_view text, char* out, std::uint32_t size) {
    const std::size_t n = std::min<std::size_t>(text.size(), size);
    std::memcpy(out, text.data(), n);
    std::memset(out + n, 0, size - n);
}

}  // namespace

const PipelineStages& RealStages() {
    static constexpr PipelineStages kReal{
        &IsCentralAlertEnabled, &LoadMessageDefinition, &PopulateEventStructures,
        &BuildVariableTable,    &ExpandVariables,       &FreeVariableTable,
        &RunCentralAlertStage,  &ForwardEvent,
    };
    return kReal;
}

PipelineStages& Stages() {
    static PipelineStages live = RealStages();
    return live;
}

int SendMessageEx(std::uint32_t productId, std::int32_t eventId, MessageRecord* message,
                  DetailRecord* detail, ContextRecord* context, std::uint32_t suppressAlert) {
    if (!RecordsGiven(message, detail, context)) return EVENT_ERR_NO_DEFINITION;
    const PipelineStages& stages = Stages();
    const bool alertingOn = stages.IsCentralAlertEnabled() != 0;
    if (stages.LoadMessageDefinition(eventId, message, detail) == 0) {
        return EVENT_ERR_NO_DEFINITION;
    }
    int result = stages.PopulateEventStructures(productId, nullptr, message, detail, context);

    // Declared before the table so that the table is released first.
    ExpansionBuffer buffer;
    const TablePtr table(stages.BuildVariableTable(productId, eventId, message, detail, context));
    if (!table) return EVENT_ERR_NO_MEMORY;

    buffer.reset(static_cast<char*>(plat::Allocate(kExpansionBufferSize)));
    if (buffer) {
        ExpandLongDescription(
            table.get(), *message,
            std::span<char, kExpansionBufferSize>(buffer.get(), kExpansionBufferSize));
    }

    if (result == EVENT_OK &&
        CentralAlertDue(alertingOn, suppressAlert != 0, detail->bAlwaysAlert != 0) &&
        !stages.RunCentralAlertStage(eventId, message, detail, buffer.get())) {
        result = EVENT_ERR_NO_ALERT_PATH;
    }
    stages.ForwardEvent(productId, eventId, message, detail, context);
    return result;
}

int SendEventEx(std::uint32_t productId, std::int32_t eventId, const char* taskName,
                std::uint32_t suppressAlert) {
    // The send works on a private copy: other threads may store a new event into the snapshot
    // while this one is being sent, and the alert must not mix the two.
    SnapshotCopy copy;
    LoadSnapshot(copy);
    EventSnapshot& records = copy.records;
    SetSnapshotTaskName(records.detail, taskName);
    int result;
    {
        const ResendScope scope(copy);
        result = SendMessageEx(productId, eventId, &records.message, &records.detail,
                               &records.context, suppressAlert);
    }
    WriteBackSnapshot(copy);
    return result;
}

int QueryMessageText(std::uint32_t productId, std::int32_t eventId, MessageRecord* message,
                     DetailRecord* detail, ContextRecord* context, char* text,
                     std::uint32_t textSize) {
    if (!RecordsGiven(message, detail, context)) return EVENT_ERR_NO_DEFINITION;
    const PipelineStages& stages = Stages();
    if (stages.LoadMessageDefinition(eventId, message, detail) == 0) {
        return EVENT_ERR_NO_DEFINITION;
    }
    const int result = stages.PopulateEventStructures(productId, "", message, detail, context);
    if (result == EVENT_OK && text != nullptr) {
        CopyToCaller(FieldText(message->szLongDescript), text, textSize);
    }
    return result;
}

}  // namespace kx
