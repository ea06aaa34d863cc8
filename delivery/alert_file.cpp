// alert_file.cpp: writing one central alert file: exclusive temporary name, one write per
// line, a durable close, and a rename that never replaces another alert.
#include "delivery/alert_file.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>

#include "runtime/siblings.h"

namespace kx {

namespace {

constexpr std::string_view kSectionLine = "[CentralAlert]\r\n";
constexpr std::size_t kMaxNameLength = kAlertNameSize - 1;

AlertKey NumberKey(const char* name, const std::uint32_t& value) {
    return AlertKey{name, AlertKeyKind::kNumber, &value, std::nullopt};
}

AlertKey TextKey(const char* name, const AlertText& value) {
    return AlertKey{name, AlertKeyKind::kText, nullptr, value};
}

// Only the last line may run on over several physical lines: a reader takes it to the end of
// the file. A line break anywhere before it would start a line of the writer's choosing.
bool KeepsLineBreaks(const AlertKey& key) {
    return std::string_view(key.name) == kAlertMultiLineKey;
}

// A name is taken when another file bears it already, whatever the platform calls that.
bool NameTaken(plat::Dword error) {
    return error == static_cast<plat::Dword>(plat::kErrorFileExists) ||
           error == static_cast<plat::Dword>(plat::kErrorAlreadyExists);
}

// The final name: the temporary name with "ALR" over its last three characters.
void MakeFinalName(const char* tempName, char* finalName) {
    const std::size_t length = std::strlen(tempName);
    std::memcpy(finalName, tempName, length + 1);
    std::memcpy(finalName + length - 3, "ALR", 3);
}

bool RequiredFieldsPresent(const AlertRecord& r) {
    const AlertText* texts[] = {
        &r.szVirusName,    &r.szItemName, &r.szUserName, &r.szSoftware,      &r.szSoftwareVersion,
        &r.szComputerName, &r.szSourceIP, &r.szOS,       &r.szEngineVersion, &r.szDatVersion};
    for (const AlertText* text : texts) {
        if (!text->has_value()) return false;
    }
    return r.uYear != 0 && r.uMonth != 0 && r.uDay != 0;
}

template <typename T>
std::unique_ptr<T[], PlatformRelease> AllocateZeroed(std::size_t count) {
    void* block = plat::Allocate(sizeof(T) * count);
    if (block == nullptr) return nullptr;
    std::memset(block, 0, sizeof(T) * count);
    return std::unique_ptr<T[], PlatformRelease>(static_cast<T*>(block));
}

struct CreatedFile {
    AlertOutcome outcome;
    std::uint32_t file;
};

// Creates the temporary file under the first number whose name nobody holds.
CreatedFile CreateTempFile(std::string_view directory, AlertNumbering& numbers, char* tempName) {
    std::uint32_t number = 0;
    while (numbers.Take(&number)) {
        if (!MakeAlertTempName(directory, number, tempName, kAlertNameSize)) {
            return {AlertOutcome::kNameTooLong, kKrnlInvalidFile};
        }
        const std::uint32_t file = KrnlFileCreate(tempName);
        if (file != kKrnlInvalidFile) return {AlertOutcome::kWritten, file};
        if (!NameTaken(plat::GetLastError())) break;
    }
    return {AlertOutcome::kNotCreated, kKrnlInvalidFile};
}

bool WriteAllLines(std::uint32_t file, const AlertKey* table, char* line) {
    if (!WriteAlertSectionLine(file)) return false;
    for (const AlertKey* key = table; key->name != nullptr; ++key) {
        if (!WriteAlertKeyLine(file, *key, line)) return false;
    }
    return true;
}

}  // namespace

bool AlertNumbering::Take(std::uint32_t* number) {
    if (left_ == 0) return false;
    --left_;
    *number = next_++;
    return true;
}

AlertKeyTable BuildAlertKeyTable(const AlertRecord& r) {
    AlertKeyTable table = AllocateZeroed<AlertKey>(kAlertKeyCount + 1);
    if (!table) return table;
    const AlertKey keys[kAlertKeyCount] = {
        NumberKey("uFileVersion", r.uFileVersion),
        NumberKey("uStatus", r.uStatus),
        TextKey("szVirusName", r.szVirusName),
        TextKey("szItemName", r.szItemName),
        TextKey("szUserName", r.szUserName),
        TextKey("szSoftware", r.szSoftware),
        TextKey("szSoftwareVersion", r.szSoftwareVersion),
        TextKey("szComputerName", r.szComputerName),
        NumberKey("uYear", r.uYear),
        NumberKey("uMonth", r.uMonth),
        NumberKey("uDay", r.uDay),
        NumberKey("uHour", r.uHour),
        NumberKey("uMinute", r.uMinute),
        NumberKey("uSecond", r.uSecond),
        TextKey("szAlertPath", r.szAlertPath),
        NumberKey("uSeverity", r.uSeverity),
        TextKey("szSourceIP", r.szSourceIP),
        NumberKey("uMessageID", r.uMessageID),
        TextKey("szTaskName", r.szTaskName),
        TextKey("szGMTTime", r.szGMTTime),
        TextKey("szOS", r.szOS),
        TextKey("szEngineVersion", r.szEngineVersion),
        TextKey("szDatVersion", r.szDatVersion),
        NumberKey("dwWinStaClientID", r.dwWinStaClientID),
        TextKey("pszWinStaClientName", r.pszWinStaClientName),
        NumberKey("uSpecificTrap", r.uSpecificTrap),
        TextKey("szActualMessage", r.szActualMessage),
    };
    // The block is raw zeroed memory: give each entry its life before assigning it.
    for (std::size_t i = 0; i < kAlertKeyCount; ++i) new (&table[i]) AlertKey(keys[i]);
    new (&table[kAlertKeyCount]) AlertKey();
    return table;
}

bool MakeAlertTempName(std::string_view directory, std::uint32_t number, char* out,
                       std::size_t size) {
    const bool endsWithBackslash = !directory.empty() && directory.back() == '\\';
    char tail[24];
    const int tailLength =
        std::snprintf(tail, sizeof tail, endsWithBackslash ? "%08d.TMP" : "\\%08d.TMP",
                      static_cast<std::int32_t>(number));
    const std::size_t length = directory.size() + static_cast<std::size_t>(tailLength);
    if (length > kMaxNameLength || length >= size) return false;
    std::memcpy(out, directory.data(), directory.size());
    std::memcpy(out + directory.size(), tail, static_cast<std::size_t>(tailLength) + 1);
    return true;
}

void MakeSingleLine(std::span<char> text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
}

bool WriteAlertSectionLine(std::uint32_t file) {
    const auto count = static_cast<std::uint32_t>(kSectionLine.size());
    return KrnlFileWrite(file, kSectionLine.data(), count) == count;
}

bool WriteAlertKeyLine(std::uint32_t file, const AlertKey& key, char* line) {
    const std::string_view name = key.name;
    char* const end = line + kAlertLineSize - 2;  // room for CR LF
    char* at = line;
    std::memcpy(at, name.data(), name.size());
    at += name.size();
    *at++ = '=';
    if (key.kind == AlertKeyKind::kNumber) {
        at = std::to_chars(at, end, key.number != nullptr ? *key.number : 0u).ptr;
    } else if (key.text) {
        const std::size_t room = static_cast<std::size_t>(end - at);
        const std::size_t n = key.text->size() < room ? key.text->size() : room;
        std::memcpy(at, key.text->data(), n);
        if (!KeepsLineBreaks(key)) MakeSingleLine({at, n});
        at += n;
    }
    *at++ = '\r';
    *at++ = '\n';
    const auto count = static_cast<std::uint32_t>(at - line);
    return KrnlFileWrite(file, line, count) == count;
}

bool PublishAlertFile(char* tempName, std::string_view directory, AlertNumbering& numbers,
                      char* finalName) {
    MakeFinalName(tempName, finalName);
    if (plat::MoveFileA(tempName, finalName)) return true;
    std::uint32_t number = 0;
    char candidate[kAlertNameSize];
    while (NameTaken(plat::GetLastError()) && numbers.Take(&number)) {
        // Move to the next free temporary name first: it reserves the number against every
        // other sender, who would have to create that very name exclusively.
        if (!MakeAlertTempName(directory, number, candidate, sizeof candidate)) return false;
        if (!plat::MoveFileA(tempName, candidate)) continue;
        std::memcpy(tempName, candidate, std::strlen(candidate) + 1);
        MakeFinalName(tempName, finalName);
        if (plat::MoveFileA(tempName, finalName)) return true;
    }
    return false;
}

AlertOutcome WriteCentralAlert(std::string_view directory, const AlertRecord& record) {
    if (!RequiredFieldsPresent(record)) return AlertOutcome::kIncomplete;
    // An empty directory would put the file at the root of the drive: nothing is created.
    if (directory.empty()) return AlertOutcome::kNotCreated;
    const AlertKeyTable table = BuildAlertKeyTable(record);
    const AlertLineBuffer line = AllocateZeroed<char>(kAlertLineSize);
    if (!table || !line) return AlertOutcome::kNoMemory;

    AlertNumbering numbers(plat::GetTickCount(), kAlertNameAttempts);
    char tempName[kAlertNameSize];
    const CreatedFile created = CreateTempFile(directory, numbers, tempName);
    if (created.outcome != AlertOutcome::kWritten) return created.outcome;

    const bool written = WriteAllLines(created.file, table.get(), line.get());
    KrnlFileClose(created.file);  // flushes the data to disk before any rename shows it
    if (!written) {
        KrnlFileDelete(tempName);
        return AlertOutcome::kWriteFailed;
    }
    char finalName[kAlertNameSize];
    return PublishAlertFile(tempName, directory, numbers, finalName) ? AlertOutcome::kWritten
                                                                     : AlertOutcome::kNotPublished;
}

}  // namespace kx
