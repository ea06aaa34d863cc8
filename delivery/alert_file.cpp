// alert_file.cpp: writing one central alert file: exclusive temporary name, a mode the
// alerting directory's group can read, one write per line, its data checked on disk by the
// library's own means, and a rename that never replaces another alert.
#include "delivery/alert_file.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

#include "runtime/siblings.h"

namespace kx {

namespace {

// The record's field for each key of kAlertKeys, in the same order: a number or a text.
struct RecordField {
    std::uint32_t AlertRecord::*number;
    AlertText AlertRecord::*text;
};

constexpr RecordField kRecordFields[] = {
    {&AlertRecord::uFileVersion, nullptr},
    {&AlertRecord::uStatus, nullptr},
    {nullptr, &AlertRecord::szVirusName},
    {nullptr, &AlertRecord::szItemName},
    {nullptr, &AlertRecord::szUserName},
    {nullptr, &AlertRecord::szSoftware},
    {nullptr, &AlertRecord::szSoftwareVersion},
    {nullptr, &AlertRecord::szComputerName},
    {&AlertRecord::uYear, nullptr},
    {&AlertRecord::uMonth, nullptr},
    {&AlertRecord::uDay, nullptr},
    {&AlertRecord::uHour, nullptr},
    {&AlertRecord::uMinute, nullptr},
    {&AlertRecord::uSecond, nullptr},
    {nullptr, &AlertRecord::szAlertPath},
    {&AlertRecord::uSeverity, nullptr},
    {nullptr, &AlertRecord::szSourceIP},
    {&AlertRecord::uMessageID, nullptr},
    {nullptr, &AlertRecord::szTaskName},
    {nullptr, &AlertRecord::szGMTTime},
    {nullptr, &AlertRecord::szOS},
    {nullptr, &AlertRecord::szEngineVersion},
    {nullptr, &AlertRecord::szDatVersion},
    {&AlertRecord::dwWinStaClientID, nullptr},
    {nullptr, &AlertRecord::pszWinStaClientName},
    {&AlertRecord::uSpecificTrap, nullptr},
    {nullptr, &AlertRecord::szActualMessage},
};

constexpr bool FieldsMatchTheKeys() {
    if (std::size(kRecordFields) != kAlertKeyCount) return false;
    for (std::size_t i = 0; i < kAlertKeyCount; ++i) {
        if ((kRecordFields[i].number != nullptr) != kAlertKeys[i].number) return false;
    }
    return true;
}
static_assert(FieldsMatchTheKeys(), "one record field of the right kind for every key");

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

bool Exists(const char* name) {
    plat::Dword attributes = 0;
    return plat::FindFirstFileAttributes(name, &attributes);
}

// Reserves a number by creating its ".TMP" exclusively, skipping every number whose ".ALR" is
// there already: a taken number costs a look-up or a failed create, never a rename or a sync.
// Only the tick count's own name decides whether names fit at all; a later number too long
// for the directory is passed over.
CreatedFile CreateTempFile(std::string_view directory, AlertNumbering& numbers, char* tempName) {
    char finalName[kAlertNameSize];
    std::uint32_t number = 0;
    bool first = true;
    while (numbers.Take(&number)) {
        if (!MakeAlertTempName(directory, number, tempName, kAlertNameSize)) {
            if (first) return {AlertOutcome::kNameTooLong, kKrnlInvalidFile};
            continue;
        }
        first = false;
        MakeFinalName(tempName, finalName);
        if (Exists(finalName)) continue;
        const std::uint32_t file = KrnlFileCreate(tempName);
        if (file != kKrnlInvalidFile) return {AlertOutcome::kWritten, file};
        if (!NameTaken(plat::GetLastError())) break;
    }
    return {AlertOutcome::kNotCreated, kKrnlInvalidFile};
}

// The next number of `numbers` that neither a ".TMP" (another sender's reservation) nor an
// ".ALR" holds, as a final name into `finalName`.
bool NextFreeFinalName(std::string_view directory, AlertNumbering& numbers, char* finalName) {
    char candidate[kAlertNameSize];
    std::uint32_t number = 0;
    while (numbers.Take(&number)) {
        if (!MakeAlertTempName(directory, number, candidate, sizeof candidate)) continue;
        if (Exists(candidate)) continue;
        MakeFinalName(candidate, finalName);
        if (!Exists(finalName)) return true;
    }
    return false;
}

// A rename reported as failed although the file left its temporary name for the final one:
// it happened, only the directory could not be synchronised. Nobody else renames a ".TMP"
// this sender created.
bool RenameTookPlace(const char* tempName, const char* finalName) {
    return !Exists(tempName) && Exists(finalName);
}

// Adds the bytes written to `*size`.
bool WriteAllLines(std::uint32_t file, const AlertKey* table, char* line, std::uint64_t* size) {
    if (!WriteAlertSectionLine(file)) return false;
    *size += kAlertSectionLine.size();
    for (const AlertKey* key = table; key->name != nullptr; ++key) {
        if (!WriteAlertKeyLine(file, *key, line, size)) return false;
    }
    return true;
}

// What the kernel library wrote, checked by the platform's own means: the watch is taken before
// the writes and ends however the writer returns.
class WrittenFileWatch {
  public:
    explicit WrittenFileWatch(const char* path) : path_(path), watch_(plat::WatchFile(path)) {}
    ~WrittenFileWatch() {
        if (watch_ != plat::kInvalidFile) plat::EndWatch(watch_);
    }
    WrittenFileWatch(const WrittenFileWatch&) = delete;
    WrittenFileWatch& operator=(const WrittenFileWatch&) = delete;

    // True when the file's data is on disk and the file holds exactly `size` bytes.
    bool Flushed(std::uint64_t size) const {
        return watch_ != plat::kInvalidFile && plat::FlushWatchedFile(watch_, path_, size);
    }

  private:
    const char* path_;
    std::intptr_t watch_;
};

}  // namespace

AlertKeyTable BuildAlertKeyTable(const AlertRecord& r) {
    AlertKeyTable table = AllocateZeroed<AlertKey>(kAlertKeyCount + 1);
    if (!table) return table;
    // The block is raw zeroed memory: give each entry its life before assigning it. Key names
    // are the table's literals, so each is terminated.
    for (std::size_t i = 0; i < kAlertKeyCount; ++i) {
        const RecordField& field = kRecordFields[i];
        new (&table[i]) AlertKey{
            kAlertKeys[i].name.data(), field.number ? AlertKeyKind::kNumber : AlertKeyKind::kText,
            field.number ? &(r.*field.number) : nullptr, field.text ? r.*field.text : std::nullopt};
    }
    new (&table[kAlertKeyCount]) AlertKey();
    return table;
}

bool WriteAlertSectionLine(std::uint32_t file) {
    const auto count = static_cast<std::uint32_t>(kAlertSectionLine.size());
    return KrnlFileWrite(file, kAlertSectionLine.data(), count) == count;
}

bool WriteAlertKeyLine(std::uint32_t file, const AlertKey& key, char* line, std::uint64_t* size) {
    const bool number = key.kind == AlertKeyKind::kNumber;
    const std::size_t length =
        FormatAlertLine(key.name, number, number && key.number ? *key.number : 0u, key.text, line);
    const auto count = static_cast<std::uint32_t>(length);
    if (KrnlFileWrite(file, line, count) != count) return false;
    if (size != nullptr) *size += count;
    return true;
}

Publication PublishAlertFile(const char* tempName, std::string_view directory,
                             AlertNumbering& numbers, char* finalName) {
    MakeFinalName(tempName, finalName);
    while (true) {
        if (plat::MoveFileA(tempName, finalName)) return Publication::kDurable;
        if (!NameTaken(plat::GetLastError())) {
            return RenameTookPlace(tempName, finalName) ? Publication::kUnconfirmed
                                                        : Publication::kNone;
        }
        // Another sender published under this name between the check and the rename.
        if (!NextFreeFinalName(directory, numbers, finalName)) return Publication::kNone;
    }
}

AlertOutcome WriteCentralAlert(std::string_view directory, const AlertRecord& record) {
    if (!RequiredFieldsPresent(record)) return AlertOutcome::kIncomplete;
    // An empty directory would put the file at the root of the drive: nothing is created.
    if (directory.empty()) return AlertOutcome::kNotCreated;
    const AlertKeyTable table = BuildAlertKeyTable(record);
    const AlertLineBuffer line = AllocateZeroed<char>(kAlertLineSize);
    if (!table || !line) return AlertOutcome::kNoMemory;

    AlertNumbering numbers(plat::GetTickCount());
    char tempName[kAlertNameSize];
    const CreatedFile created = CreateTempFile(directory, numbers, tempName);
    if (created.outcome != AlertOutcome::kWritten) return created.outcome;

    const WrittenFileWatch watch(tempName);
    std::uint64_t size = 0;
    // The collector reads alert files as the alerting directory's group: the mode is set here,
    // whatever umask the product runs with, rather than left to the kernel library's create.
    const bool written = plat::SetGroupReadable(tempName) &&
                         WriteAllLines(created.file, table.get(), line.get(), &size);
    KrnlFileClose(created.file);
    // An alert whose data may not be on disk, or not all of it, is never shown.
    if (!written || !watch.Flushed(size)) {
        KrnlFileDelete(tempName);
        return AlertOutcome::kWriteFailed;
    }
    char finalName[kAlertNameSize];
    switch (PublishAlertFile(tempName, directory, numbers, finalName)) {
        case Publication::kDurable:
            return AlertOutcome::kWritten;
        case Publication::kUnconfirmed:
            return AlertOutcome::kUnconfirmed;
        case Publication::kNone:
            break;
    }
    // Nothing under a temporary name stays behind unreported: the failure is logged instead.
    KrnlFileDelete(tempName);
    return AlertOutcome::kNotPublished;
}

}  // namespace kx
