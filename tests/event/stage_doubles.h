// stage_doubles.h: recording doubles for the send pipeline's stages, shared by the pipeline
// and export tests. Each double appends its name to a call log and answers as configured.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/variables.h"
#include "event/pipeline.h"
#include "kxevent/kxevent.h"

namespace kx::test {

struct StageScript {
    int alertingOn = 1;
    int definitionFound = 1;
    std::uint32_t alwaysAlert = 0;  // written into bAlwaysAlert by the definition double
    int populationResult = EVENT_OK;
    bool tableAvailable = true;
    int expansionResult = 1;
    std::string expansion = "expanded text";
    bool alertPathReadable = true;
};

struct StageRecord {
    std::vector<std::string> calls;
    MessageRecord* message = nullptr;  // records the stages were given (last call)
    DetailRecord* detail = nullptr;
    ContextRecord* context = nullptr;
    std::uint32_t productId = 0;
    std::int32_t eventId = 0;
    bool populateTaskNull = false;
    std::string populateTask;
    std::string expandInput;
    bool alertBufferNull = false;
    std::string alertText;  // the alert's message text: the buffer, or szLongDescript
    VariableTable* builtTable = nullptr;
    VariableTable* freedTable = nullptr;
};

inline StageScript script;
inline StageRecord seen;
inline VariableTable fakeTable{};

inline void Note(const char* call) {
    seen.calls.emplace_back(call);
}

inline PipelineStages RecordingStages() {
    PipelineStages s{};
    s.IsCentralAlertEnabled = +[] {
        Note("switch");
        return script.alertingOn;
    };
    s.LoadMessageDefinition = +[](std::int32_t eventId, MessageRecord* m, DetailRecord* d) {
        Note("definition");
        seen.eventId = eventId;
        seen.message = m;
        seen.detail = d;
        if (script.definitionFound == 0) return 0;
        std::strcpy(m->szLongDescript, "long %VIRUSNAME%");
        d->bAlwaysAlert = script.alwaysAlert;
        return 1;
    };
    s.PopulateEventStructures = +[](std::uint32_t productId, const char* task, MessageRecord* m,
                                    DetailRecord* d, ContextRecord* c) {
        Note("populate");
        seen.productId = productId;
        seen.populateTaskNull = task == nullptr;
        seen.populateTask = task ? task : "";
        seen.message = m;
        seen.detail = d;
        seen.context = c;
        return script.populationResult;
    };
    s.BuildVariableTable = +[](std::uint32_t, std::int32_t eventId, MessageRecord*, DetailRecord* d,
                               ContextRecord*) -> VariableTable* {
        Note("build");
        if (!script.tableAvailable) return nullptr;
        d->uTrapID = static_cast<std::uint32_t>(eventId);
        seen.builtTable = &fakeTable;
        return &fakeTable;
    };
    s.ExpandVariables = +[](const char* text, const VariableTable*, char* out, int size) {
        Note("expand");
        seen.expandInput = text;
        if (script.expansionResult == 0) return 0;
        const std::size_t n = std::min(script.expansion.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(out, script.expansion.data(), n);
        out[n] = '\0';
        return 1;
    };
    s.FreeVariableTable = +[](VariableTable* table) {
        Note("free");
        seen.freedTable = table;
    };
    s.RunCentralAlertStage =
        +[](std::int32_t, MessageRecord* m, DetailRecord*, const char* buffer) {
            Note("alert");
            seen.alertBufferNull = buffer == nullptr;
            seen.alertText = buffer ? buffer : m->szLongDescript;
            return script.alertPathReadable;
        };
    s.ForwardEvent =
        +[](std::uint32_t, std::int32_t, MessageRecord*, DetailRecord*, ContextRecord*) {
            Note("forward");
            return 0;
        };
    return s;
}

// Puts the recording doubles into the live stage table for the scope.
class ScopedStages {
  public:
    ScopedStages() : saved_(Stages()) { Stages() = RecordingStages(); }
    ~ScopedStages() { Stages() = saved_; }
    ScopedStages(const ScopedStages&) = delete;
    ScopedStages& operator=(const ScopedStages&) = delete;

  private:
    PipelineStages saved_;
};

using Calls = std::vector<std::string>;

}  // namespace kx::test
