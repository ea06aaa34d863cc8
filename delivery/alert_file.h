// alert_file.h: the central alert file writer: the alert record, its key table, the file's
// names and lines, and the publication under the final ".ALR" name.
//
// Internal to the delivery subsystem; the send reaches it through central_alert.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/alert_file.h"
#include "common/alert_settings.h"
#include "common/platform_block.h"
#include "platform/platform.h"

namespace kx {

// A text of the alert: the bytes of a field of someone else, or absent.
using AlertText = std::optional<std::string_view>;

// One alert: references into the send's records and buffers, in key-line order.
struct AlertRecord {
    std::uint32_t uFileVersion = 1;
    std::uint32_t uStatus = 0;
    AlertText szVirusName;
    AlertText szItemName;
    AlertText szUserName;
    AlertText szSoftware;
    AlertText szSoftwareVersion;
    AlertText szComputerName;
    std::uint32_t uYear = 0;
    std::uint32_t uMonth = 0;
    std::uint32_t uDay = 0;
    std::uint32_t uHour = 0;
    std::uint32_t uMinute = 0;
    std::uint32_t uSecond = 0;
    AlertText szAlertPath;
    std::uint32_t uSeverity = 0;
    AlertText szSourceIP;
    std::uint32_t uMessageID = 0;
    AlertText szTaskName;
    AlertText szGMTTime;
    AlertText szOS;
    AlertText szEngineVersion;
    AlertText szDatVersion;
    std::uint32_t dwWinStaClientID = 0;
    AlertText pszWinStaClientName;
    std::uint32_t uSpecificTrap = 0;
    AlertText szActualMessage;
};

enum class AlertKeyKind : std::uint32_t { kText = 0, kNumber = 1 };

// One key line to write; the end entry has no name.
struct AlertKey {
    const char* name = nullptr;
    AlertKeyKind kind = AlertKeyKind::kText;
    const std::uint32_t* number = nullptr;  // kNumber
    AlertText text;                         // kText
};

using AlertKeyTable = std::unique_ptr<AlertKey[], PlatformRelease>;
using AlertLineBuffer = std::unique_ptr<char[], PlatformRelease>;

enum class AlertOutcome : int {
    kWritten = 0,       // complete file under its final name
    kIncomplete = 1,    // a required field is missing; nothing made
    kNotCreated = 2,    // no temporary file could be created; nothing made
    kNameTooLong = 3,   // directory and name exceed 259 characters; nothing made
    kWriteFailed = 4,   // not written whole, not on disk, or no group-readable mode; deleted
    kNoMemory = 5,      // no key table or line buffer; nothing made
    kNotPublished = 6,  // complete and flushed, but no final name could be given; deleted
    kUnconfirmed = 7,   // under its final name, but the directory could not be made durable
};

// The key table of `record`: 27 entries in key-line order and the end entry. Null when memory
// is short.
AlertKeyTable BuildAlertKeyTable(const AlertRecord& record);

// The section line, in one write. True when written whole.
bool WriteAlertSectionLine(std::uint32_t file);
// One key line, formatted into `line` (kAlertLineSize bytes) and written in one write. True
// when written whole; its length is then added to `*size` when given.
bool WriteAlertKeyLine(std::uint32_t file, const AlertKey& key, char* line,
                       std::uint64_t* size = nullptr);

enum class Publication {
    kDurable,      // under its final name, and that name is on disk
    kUnconfirmed,  // under its final name, but the directory could not be synchronised
    kNone,         // still under `tempName`
};

// Gives the complete temporary file `tempName` a final ".ALR" name that no other alert bears,
// with one rename that never replaces a file. When its own ".ALR" was taken meanwhile, the
// rename goes straight to the next number of `numbers` whose ".TMP" and ".ALR" are both free.
// The final name is left in `finalName` (kAlertNameSize bytes).
Publication PublishAlertFile(const char* tempName, std::string_view directory,
                             AlertNumbering& numbers, char* finalName);

// Reads "Centralized Alerting Path" into `buffer` (kAlertPathSize bytes): the buffer on
// success; null when no buffer was given, or the path is missing, too long or empty.
char* ReadCentralAlertPath(char* buffer);

// Writes the alert file into `directory`.
AlertOutcome WriteCentralAlert(std::string_view directory, const AlertRecord& record);

}  // namespace kx
