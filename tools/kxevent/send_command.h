// send_command.h: the send, query and resend commands: their options, the records they fill,
// and running a chain of them ("--then") in one process so that a resend sees the snapshot
// left by the sends before it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/record_fields.h"
#include "kxevent/kxevent.h"
#include "tools/admin/registry_files.h"

namespace kx::tool {

class EventLibrary;
class EventLogCapture;

enum class StepKind { Send, Query, Resend };

struct FieldAssignment {
    const fields::FieldInfo* field;
    std::string value;
};

struct SendStep {
    StepKind kind = StepKind::Send;
    std::uint32_t product = 0;
    std::int32_t event = 0;
    bool suppress = false;
    bool verbose = false;  // print the event-log entries the step produced
    std::optional<std::string> task;
    std::vector<FieldAssignment> assignments;
};

// Of the alert files that appeared in the alerting directory during a send, the ones that can
// be that send's: the only one; of several (other programs sent too), those whose "uMessageID"
// is the send's `messageId` when it is known. More than one left means the send's own cannot be
// told apart, and none of them is shown as its.
std::vector<std::filesystem::path> SendsAlertFiles(std::vector<std::filesystem::path> appeared,
                                                   std::optional<std::uint32_t> messageId);

// Parses "send|query|resend OPTIONS [--then send|query|resend OPTIONS ...]". Throws UsageError
// for an unknown option, a missing value, an unknown field or a value that does not fit.
std::vector<SendStep> ParseSteps(std::span<const std::string> args);

// Fills the records from the step's options. Throws UsageError when a value does not fit.
void FillRecords(const SendStep& step, MessageRecord& message, DetailRecord& detail);

// Runs the steps in order on the loaded library; stops at the first that fails. Returns the
// exit status. With `capture`, each step's event-log entries are printed (-v) or, when one
// says forwarding failed, that one on standard error; the status does not change.
int RunSteps(const std::vector<SendStep>& steps, EventLibrary& library, const AlertSettings& alerts,
             EventLogCapture* capture = nullptr);

}  // namespace kx::tool
