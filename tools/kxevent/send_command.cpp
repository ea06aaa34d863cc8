// send_command.cpp: filling the records from options, sending, and reporting what happened.
#include "tools/kxevent/send_command.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "common/alert_log_source.h"
#include "common/alert_settings.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/utf8.h"
#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/event_library.h"
#include "tools/admin/event_log_capture.h"
#include "tools/admin/numbers.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/accounts.h"
#include "tools/kxevent/alert_file.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/options.h"

namespace kx::tool {

namespace fs = std::filesystem;

namespace {

// "--then" separates the commands of a chain; it is no option of any of them.
constexpr std::string_view kThen = "--then";

constexpr char kSendAbout[] =
    "send     fills the event records from the options, sends them through KXEvent.DLL and\n"
    "         prints the result, the expanded description and the alert file written.\n"
    "query    prints the event's long description as the catalogue holds it (unexpanded).\n"
    "resend   sends the records of the last populated event again under a new event number\n";
constexpr char kSendExitStatus[] =
    "Exit status: 0 when every send returned EVENT_OK, 1 on a send or runtime failure,\n"
    "2 on a usage error.\n";

enum SendOptionId { kProduct, kEvent, kVirus, kFile, kUser, kTask, kSuppress, kField, kVerbose };

// Indexed by SendOptionId.
constexpr Option kSendOptions[] = {
    {kProduct, "--product", "N", "product number (decimal or 0x hexadecimal)"},
    {kEvent, "--event", "N", "event number"},
    {kVirus, "--virus", "NAME", "szVirusName", OptionLayout::kPaired},
    {kFile, "--file", "PATH", "szFileName", OptionLayout::kPaired},
    {kUser, "--user", "NAME", "szUserName", OptionLayout::kPaired},
    {kTask, "--task", "NAME", "szTaskName", OptionLayout::kPaired},
    {kSuppress, "--suppress", "", "raise no central alert unless the event says \"Always Alert\""},
    {kField, "--field", "NAME=VALUE",
     "any record field by name, e.g. szTargetIP=10.0.0.5, uNumVirs=3"},
    {kVerbose, "--verbose", "", "(-v) print every event-log entry the step produced",
     OptionLayout::kLine, "-v"},
};

// resend sends records it does not fill: it takes none of the record options.
bool TakesOption(StepKind kind, const Option& option) {
    const bool recordOption =
        option.id == kVirus || option.id == kFile || option.id == kUser || option.id == kField;
    return kind != StepKind::Resend || !recordOption;
}

// What the manual and the completion offer a step: what it takes, less what CheckStep refuses
// and, for query, the named record fields its usage does not show (it prints, never sends).
std::span<const Option> OfferedOptions(StepKind kind) {
    static const auto offered = [](StepKind of) {
        std::vector<Option> options;
        for (const Option& option : kSendOptions) {
            const bool notForQuery = option.id == kSuppress || option.id == kTask ||
                                     option.id == kVirus || option.id == kFile ||
                                     option.id == kUser;
            if (TakesOption(of, option) && !(of == StepKind::Query && notForQuery)) {
                options.push_back(option);
            }
        }
        return options;
    };
    static const std::vector<Option> send = offered(StepKind::Send);
    static const std::vector<Option> query = offered(StepKind::Query);
    static const std::vector<Option> resend = offered(StepKind::Resend);
    switch (kind) {
        case StepKind::Query:
            return query;
        case StepKind::Resend:
            return resend;
        case StepKind::Send:
            break;
    }
    return send;
}

StepKind KindOf(std::string_view command) {
    if (command == "send") return StepKind::Send;
    if (command == "query") return StepKind::Query;
    if (command == "resend") return StepKind::Resend;
    throw UsageError("'" + std::string(command) + "' cannot be chained; use send, query or resend");
}

const char* NameOf(StepKind kind) {
    switch (kind) {
        case StepKind::Send:
            return "send";
        case StepKind::Query:
            return "query";
        case StepKind::Resend:
            return "resend";
    }
    return "?";
}

// Fields the library fills itself on every send, whatever the caller put there, and who does.
struct FilledField {
    std::string_view name;
    std::string_view filler;
};
constexpr FilledField kFilledFields[] = {
    {"szSoftwareName", "the product's name from the registry"},
    {"szComputerName", "the computer's name from the system"},
    {"szOS", "the operating system's description from the system"},
    {"szGMTTime", "the time of the send"},
    {"szLocalTime", "the time of the send"},
    {"szLanguageCode", "the language of the resource module loaded"},
    {"szProcessorSerial", "the processor's serial number from the system"},
    {"szEventName", "the event's \"ID\" from the catalogue"},
    {"szShortDescript", "the event's \"SHORTDESCRIPT\" from the catalogue"},
    {"szLongDescript", "the event's \"LONGDESCRIPT\" from the catalogue"},
    {"szURL", "the event's \"URL\" from the catalogue"},
    {"szResolution", "the event's \"RESOLUTION\" from the catalogue"},
    {"uSeverity", "the event's \"SEVERITY\" from the catalogue"},
    {"bAlwaysAlert", "the event's \"Always Alert\" from the catalogue"},
};

FieldAssignment ParseAssignment(std::string_view text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        throw UsageError("--field needs NAME=VALUE, got '" + std::string(text) + "'");
    }
    const std::string_view name = text.substr(0, equals);
    const fields::FieldInfo* field = fields::FindField(name);
    if (field == nullptr) {
        throw UsageError("unknown record field '" + std::string(name) + "'");
    }
    for (const FilledField& filled : kFilledFields) {
        if (filled.name == field->name) {
            throw UsageError("--field " + std::string(field->name) +
                             ": the library overwrites it with " + std::string(filled.filler) +
                             " on every send");
        }
    }
    return {field, std::string(text.substr(equals + 1))};
}

FieldAssignment Named(std::string_view fieldName, std::string value) {
    return {fields::FindField(fieldName), std::move(value)};
}

void CheckStep(const SendStep& step, bool haveProduct, bool haveEvent) {
    if (!haveProduct) throw UsageError(std::string(NameOf(step.kind)) + " needs --product N");
    if (!haveEvent) throw UsageError(std::string(NameOf(step.kind)) + " needs --event N");
    if (step.kind == StepKind::Resend && !step.assignments.empty()) {
        throw UsageError("resend sends the last event's records; it takes no record options");
    }
    if (step.kind == StepKind::Query && (step.suppress || step.task)) {
        throw UsageError("query takes neither --suppress nor --task");
    }
    if (step.kind == StepKind::Resend && step.task && step.task->size() >= 16) {
        throw UsageError("--task: '" + *step.task + "' is " + std::to_string(step.task->size()) +
                         " characters long; szTaskName holds at most 15");
    }
}

// Parses one step from args[at] (the command name) up to the next "--then".
SendStep ParseStep(std::span<const std::string> args, std::size_t& at) {
    SendStep step;
    step.kind = KindOf(args[at++]);
    bool haveProduct = false, haveEvent = false;
    std::vector<Option> options;
    for (const Option& option : kSendOptions) {
        if (TakesOption(step.kind, option)) options.push_back(option);
    }
    const auto take = [&](const Option& option, const std::string& value) {
        switch (static_cast<SendOptionId>(option.id)) {
            case kProduct:
                step.product = ParseUnsigned(value, option.name);
                haveProduct = true;
                break;
            case kEvent:
                step.event = ParseSigned(value, option.name);
                haveEvent = true;
                break;
            case kSuppress:
                step.suppress = true;
                break;
            case kVerbose:
                step.verbose = true;
                break;
            case kTask:
                step.task = value;
                if (step.kind == StepKind::Send)
                    step.assignments.push_back(Named("szTaskName", *step.task));
                break;
            case kVirus:
                step.assignments.push_back(Named("szVirusName", value));
                break;
            case kFile:
                step.assignments.push_back(Named("szFileName", value));
                break;
            case kUser:
                step.assignments.push_back(Named("szUserName", value));
                break;
            case kField:
                step.assignments.push_back(ParseAssignment(value));
                break;
        }
    };
    ParseOptions(args, at, options, {.verb = NameOf(step.kind), .operands = false, .stopAt = kThen},
                 take);
    CheckStep(step, haveProduct, haveEvent);
    return step;
}

void AssignText(const FieldAssignment& assignment, char* bytes) {
    const std::size_t limit = assignment.field->width - 1;
    if (assignment.value.size() > limit) {
        throw UsageError(std::string(assignment.field->name) + ": the value is " +
                         std::to_string(assignment.value.size()) +
                         " characters long; the field holds at most " + std::to_string(limit));
    }
    std::memset(bytes, 0, assignment.field->width);
    std::memcpy(bytes, assignment.value.data(), assignment.value.size());
}

// Names of the *.ALR files in the alerting directory.
std::set<std::string> AlertFileNames(const std::optional<fs::path>& directory) {
    std::set<std::string> names;
    std::error_code error;
    if (!directory || !fs::is_directory(*directory, error)) return names;
    for (const fs::path& file : ListAlertFiles(*directory, error)) {
        names.insert(file.filename().string());
    }
    return names;
}

// The alert files that were not there before the send, in name order.
std::vector<fs::path> NewAlertFiles(const AlertSettings& alerts,
                                    const std::set<std::string>& before) {
    std::vector<fs::path> appeared;
    for (const std::string& name : AlertFileNames(alerts.directory)) {
        if (!before.contains(name)) appeared.push_back(*alerts.directory / name);
    }
    return appeared;
}

// The event-log entries of one step, read back once when first asked for, so that both the
// report of a missing alert and the report of the step's entries see them.
class StepLog {
  public:
    explicit StepLog(EventLogCapture* capture) : capture_(capture) {}
    bool captured() const { return capture_ != nullptr; }
    const std::vector<EventLogEntry>& Entries() {
        if (!entries_) entries_ = capture_ ? capture_->Take() : std::vector<EventLogEntry>{};
        return *entries_;
    }

  private:
    EventLogCapture* capture_;
    std::optional<std::vector<EventLogEntry>> entries_;
};

// What to do about a central alert the library could not deliver into `directory`.
std::string UndeliveredAlertAdvice(const std::optional<fs::path>& directory) {
    std::error_code error;
    if (!directory) return "set \"Centralized Alerting Path\" (kxevent doctor checks it)";
    if (!fs::is_directory(*directory, error)) return AlertDirectoryCreateAdvice(*directory);
    if (!CanCreateFilesIn(*directory)) return AlertDirectoryWriteAdvice(*directory);
    return "kxevent doctor checks the alerting directory";
}

// The library reports an alert it could not deliver only in its event log, under the source
// kAlertLogSource, and its send still returns EVENT_OK: said here in one line, with what to do.
bool ReportUndeliveredAlert(const AlertSettings& alerts, StepLog& log) {
    for (const EventLogEntry& entry : log.Entries()) {
        if (entry.source != kAlertLogSource) continue;
        std::cerr << "kxevent: the alert was not delivered: " << ForPerson(entry.text)
                  << " (event log source \"" << kAlertLogSource << "\"); "
                  << ForPerson(UndeliveredAlertAdvice(alerts.directory)) << "\n";
        return true;
    }
    return false;
}

std::string WithoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

// Prints the alert file a send wrote; returns false when one was due and none appeared.
bool ReportAlertFile(const AlertSettings& alerts, const std::set<std::string>& before,
                     bool alertDue, std::string* actualMessage, StepLog& log,
                     std::optional<std::uint32_t> messageId) {
    const std::vector<fs::path> candidates =
        SendsAlertFiles(NewAlertFiles(alerts, before), messageId);
    if (candidates.size() > 1) {
        std::cout << "alert file: one of " << candidates.size()
                  << " that appeared during the send, as other programs sent alerts too:";
        for (const fs::path& candidate : candidates) {
            std::cout << " " << ForPerson(candidate.string());
        }
        std::cout << "\n";
        return true;
    }
    const std::optional<fs::path> file =
        candidates.empty() ? std::nullopt : std::optional<fs::path>(candidates.front());
    if (!file) {
        if (!alertDue) {
            std::cout << "alert file: none\n";
            return true;
        }
        if (ReportUndeliveredAlert(alerts, log)) return false;
        std::cerr << "kxevent: no alert file appeared in "
                  << (alerts.directory ? ForPerson(alerts.directory->string())
                                       : std::string("(no path)"))
                  << "; the library logs the reason in the system event log\n";
        return false;
    }
    std::cout << "alert file: " << ForPerson(file->string()) << "\n";
    const std::string content = ReadWholeFile(*file);
    if (actualMessage) {
        try {
            const AlertFile parsed = ParseAlertFile(content, file->string());
            if (const std::string* message = parsed.Find("szActualMessage"))
                *actualMessage = *message;
        } catch (const RuntimeError&) {
            // Shown raw below; the description simply stays unknown.
        }
    }
    std::cout << ForPersonLines(WithoutCarriageReturns(content));
    return true;
}

int ReportFailure(const SendStep& step, int result) {
    std::cerr << "kxevent: " << NameOf(step.kind) << " of event " << step.event << " returned "
              << result << " " << ResultName(result) << ": " << ResultExplanation(result) << "\n";
    return kExitFailure;
}

int RunSend(const SendStep& step, EventLibrary& library, const AlertSettings& alerts,
            StepLog& log) {
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};
    FillRecords(step, message, detail);
    const std::set<std::string> before = AlertFileNames(alerts.directory);
    const int result = library.sendMessageEx(0, step.product, step.event, &message, &detail,
                                             &context, step.suppress ? 1 : 0, 0);
    std::cout << "result: " << result << " " << ResultName(result) << "\n";
    if (result == EVENT_ERR_NO_DEFINITION) return ReportFailure(step, result);
    std::cout << "event: " << step.event << " " << ForPerson(FieldText(detail.szEventName))
              << " (severity " << message.uSeverity << ")\n";
    std::cout << "description: " << ForPerson(FieldText(message.szLongDescript)) << "\n";
    const bool due = result == EVENT_OK &&
                     CentralAlertDue(alerts.enabled, step.suppress, detail.bAlwaysAlert != 0);
    const bool delivered = ReportAlertFile(alerts, before, due, nullptr, log, detail.uTrapID);
    if (result != EVENT_OK) return ReportFailure(step, result);
    return delivered ? kExitOk : kExitFailure;
}

int RunResend(const SendStep& step, EventLibrary& library, const AlertSettings& alerts,
              StepLog& log) {
    const std::set<std::string> before = AlertFileNames(alerts.directory);
    const int result =
        library.sendEventEx(0, step.product, step.event, step.task ? step.task->c_str() : nullptr,
                            step.suppress ? 1 : 0, 0);
    std::cout << "result: " << result << " " << ResultName(result) << "\n";
    if (result == EVENT_ERR_NO_DEFINITION) return ReportFailure(step, result);
    std::string description;
    // The snapshot's own "Always Alert" stays inside the library; only the switch and the
    // caller's suppression are known here.
    const bool due = result == EVENT_OK && CentralAlertDue(alerts.enabled, step.suppress, false);
    const bool delivered = ReportAlertFile(alerts, before, due, &description, log, std::nullopt);
    if (!description.empty()) std::cout << "description: " << ForPerson(description) << "\n";
    if (result != EVENT_OK) return ReportFailure(step, result);
    return delivered ? kExitOk : kExitFailure;
}

int RunQuery(const SendStep& step, EventLibrary& library) {
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};
    FillRecords(step, message, detail);
    char text[1025] = {};  // one byte more than offered, so the text always ends inside
    const int result = library.queryMessageText(step.product, step.event, &message, &detail,
                                                &context, text, sizeof text - 1);
    if (result != EVENT_OK) return ReportFailure(step, result);
    std::cout << ForPersonLines(text) << "\n";
    return kExitOk;
}

}  // namespace

std::vector<SendStep> ParseSteps(std::span<const std::string> args) {
    std::vector<SendStep> steps;
    std::size_t at = 0;
    while (at < args.size()) {
        steps.push_back(ParseStep(args, at));
        if (at < args.size()) {
            ++at;  // kThen
            if (at >= args.size()) throw UsageError("--then needs a command after it");
        }
    }
    if (steps.empty()) throw UsageError("no command given");
    // The snapshot resend reuses lives in the library of this process only.
    if (steps.front().kind == StepKind::Resend) {
        throw UsageError(
            "resend has nothing to send again: a new process holds no last event; chain it after "
            "a send or query, as in: kxevent send ... --then resend ...");
    }
    return steps;
}

void FillRecords(const SendStep& step, MessageRecord& message, DetailRecord& detail) {
    for (const FieldAssignment& assignment : step.assignments) {
        char* bytes = fields::FieldBytes(*assignment.field, message, detail);
        if (assignment.field->kind == fields::Kind::Number) {
            const std::uint32_t number = ParseUnsigned(assignment.value, assignment.field->name);
            std::memcpy(bytes, &number, sizeof number);
        } else {
            AssignText(assignment, bytes);
        }
    }
}

// A forwarding module refused by the loader, or one that reported its own failure.
bool IsForwardingFailure(const EventLogEntry& entry) {
    return entry.label == "Untrusted module refused" || entry.source.rfind("Fwd", 0) == 0;
}

void ReportEventLog(const SendStep& step, StepLog& log) {
    if (!log.captured()) return;
    const std::vector<EventLogEntry>& entries = log.Entries();
    if (step.verbose) {
        for (const EventLogEntry& entry : entries) {
            // Entries carry texts from the registry and modules: no control character of theirs
            // may reach the terminal raw.
            std::cout << "event log: " << ForPerson(entry.source) << ": " << ForPerson(entry.label)
                      << ": " << ForPerson(entry.text) << "\n";
        }
        return;
    }
    const auto failure = std::find_if(entries.begin(), entries.end(), IsForwardingFailure);
    if (failure != entries.end()) {
        std::cerr << "kxevent: forwarding failed: " << ForPerson(failure->text)
                  << " (-v prints every event-log entry)\n";
    }
}

int RunSteps(const std::vector<SendStep>& steps, EventLibrary& library, const AlertSettings& alerts,
             EventLogCapture* capture) {
    if (capture != nullptr) capture->Take();  // what the attach logged is no step's
    for (const SendStep& step : steps) {
        int status = kExitOk;
        StepLog log(capture);
        switch (step.kind) {
            case StepKind::Send:
                status = RunSend(step, library, alerts, log);
                break;
            case StepKind::Query:
                status = RunQuery(step, library);
                break;
            case StepKind::Resend:
                status = RunResend(step, library, alerts, log);
                break;
        }
        ReportEventLog(step, log);
        if (status != kExitOk) return status;
    }
    return kExitOk;
}

std::span<const Option> SendOptionTable() {
    return OfferedOptions(StepKind::Send);
}

std::span<const Option> QueryOptionTable() {
    return OfferedOptions(StepKind::Query);
}

std::span<const Option> ResendOptionTable() {
    return OfferedOptions(StepKind::Resend);
}

std::string SendHelp() {
    const auto required = [](SendOptionId id) { return Spelled(kSendOptions[id]); };
    const auto allowed = [](SendOptionId id) { return Synopsis(kSendOptions[id]); };
    const std::string fields = Synopsis(kSendOptions[kField], true);
    const std::string numbers = required(kProduct) + " " + required(kEvent) + " ";
    const std::string then(kThen);
    std::string text;
    text += "usage: kxevent send   " + numbers + allowed(kVirus) + " " + allowed(kFile) + " " +
            allowed(kUser) + "\n";
    text += "                      " + allowed(kTask) + " " + allowed(kSuppress) + " " + fields +
            " " + allowed(kVerbose) + "\n";
    text += "       kxevent query  " + numbers + fields + "\n";
    text += "       kxevent resend " + numbers + allowed(kTask) + " " + allowed(kSuppress) + "\n";
    text +=
        "       any of them followed by " + then + " and another one, run in the same process\n";
    text += "\n";
    text += kSendAbout;
    text +=
        "         (the library's snapshot): chain it after a send or query with " + then + ".\n";
    text += "\n";
    text += FormatOptionList(kSendOptions);
    text += "\n";
    text += kSendExitStatus;
    return text;
}

std::vector<fs::path> SendsAlertFiles(std::vector<fs::path> appeared,
                                      std::optional<std::uint32_t> messageId) {
    if (appeared.size() <= 1 || !messageId) return appeared;
    const std::string wanted = std::to_string(*messageId);
    std::erase_if(appeared, [&](const fs::path& file) {
        try {
            const AlertFile parsed = ParseAlertFile(ReadWholeFile(file), file.string());
            const std::string* id = parsed.Find("uMessageID");
            return id == nullptr || *id != wanted;
        } catch (const RuntimeError&) {
            return true;  // taken away meanwhile, or not the library's
        }
    });
    return appeared;
}

int RunSendCommand(std::span<const std::string> args) {
    const std::vector<SendStep> steps = ParseSteps(args);
    const fs::path libraryDirectory = FindLibraryDirectory();
    const RegistryChoice registry = SelectTrustedRegistry(libraryDirectory);
    const AlertSettings alerts =
        ReadAlertSettings(LoadRegistryChoice(registry));  // refuses a bad file
    EventLogCapture capture;  // before the load, so that the library writes where it reads
    EventLibrary library(libraryDirectory);
    return RunSteps(steps, library, alerts, &capture);
}

}  // namespace kx::tool
