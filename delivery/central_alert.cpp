// central_alert.cpp: the central-alert stage of a send: the switch, the alerting directory,
// the alert record taken from the send's records, and the report of a failed delivery.
#include "delivery/central_alert.h"

#include <array>
#include <cstddef>

#include "catalogue/variables.h"
#include "common/event_time.h"
#include "common/registry.h"
#include "common/text.h"
#include "delivery/alert_file.h"
#include "delivery/alert_log.h"
#include "runtime/resources.h"

namespace kx {

namespace {

// Fills the record from the send's records as they stand now; the clock is read once, in UTC.
AlertRecord MakeAlertRecord(std::int32_t eventId, const MessageRecord& m, const DetailRecord& d,
                            std::string_view message) {
    const plat::CalendarTime utc = GetEventTime(false);
    AlertRecord r;
    r.uStatus = d.uEngineStatus;
    r.szVirusName = FieldText(d.szVirusName);
    r.szItemName = FieldText(d.szFileName);
    r.szUserName = FieldText(d.szUserName);
    r.szSoftware = FieldText(m.szSoftwareName);
    r.szSoftwareVersion = FieldText(m.szSoftwareVersion);
    r.szComputerName = FieldText(m.szComputerName);
    r.uYear = static_cast<std::uint32_t>(utc.year);
    r.uMonth = static_cast<std::uint32_t>(utc.month);
    r.uDay = static_cast<std::uint32_t>(utc.day);
    r.uHour = static_cast<std::uint32_t>(utc.hour);
    r.uMinute = static_cast<std::uint32_t>(utc.minute);
    r.uSecond = static_cast<std::uint32_t>(utc.second);
    r.uSeverity = m.uSeverity;
    r.szSourceIP = FieldText(m.szSourceIP);
    r.uMessageID = d.uTrapID;
    r.szTaskName = FieldText(m.szTaskID);
    r.szGMTTime = FieldText(m.szGMTTime);
    r.szOS = FieldText(d.szOS);
    r.szEngineVersion = FieldText(d.szEngineVersion);
    r.szDatVersion = FieldText(d.szDatVersion);
    r.dwWinStaClientID = d.dwTSClientID;
    r.pszWinStaClientName = FieldText(d.szClientComputer);
    r.uSpecificTrap = static_cast<std::uint32_t>(eventId);
    r.szActualMessage = message;
    return r;
}

// The message text: the expansion buffer (bounded by its size), else the long description.
std::string_view AlertMessage(const MessageRecord& m, const char* expansion) {
    if (expansion == nullptr) return FieldText(m.szLongDescript);
    return {expansion, FieldLength(expansion, kExpansionBufferSize)};
}

unsigned FailureString(AlertOutcome outcome) {
    return outcome == AlertOutcome::kNotCreated ? kStringCannotCreateAlert : kStringAlertFailed;
}

}  // namespace

int IsCentralAlertEnabled() {
    return ReadCentralAlertSwitch(ReadRegistryValue) ? 1 : 0;
}

char* ReadCentralAlertPath(char* buffer) {
    if (buffer == nullptr) return nullptr;
    const std::span<char, kAlertPathSize> path(buffer, kAlertPathSize);
    return ReadCentralAlertDirectory(ReadRegistryValue, path) ? buffer : nullptr;
}

bool RunCentralAlertStage(std::int32_t eventId, MessageRecord* message, DetailRecord* detail,
                          const char* expansion) {
    if (message == nullptr || detail == nullptr) return true;
    const std::string_view text = AlertMessage(*message, expansion);
    AlertRecord record = MakeAlertRecord(eventId, *message, *detail, text);
    char path[kAlertPathSize] = {};
    if (ReadCentralAlertPath(path) == nullptr) {
        LogAlertFailure(kStringAlertFailed, "", text);
        return false;
    }
    const std::string_view directory = BoundedText(path);
    record.szAlertPath = directory;
    const AlertOutcome outcome = WriteCentralAlert(directory, record);
    if (outcome == AlertOutcome::kUnconfirmed) {
        LogAlertUnconfirmed(directory, text);
    } else if (outcome != AlertOutcome::kWritten) {
        LogAlertFailure(FailureString(outcome), directory, text);
    }
    return true;
}

}  // namespace kx
