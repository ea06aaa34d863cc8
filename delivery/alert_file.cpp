// alert_file.cpp: writing one central alert file: exclusive temporary name, a mode the
// alerting directory's group can read, one write per line, its data checked on disk by the
// library's own means, and a rename that never replaces another alert.
#include "delivery/alert_file.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>

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

bool Exists(const char* name) {
    plat::Dword attributes = 0;
    return plat::FindFirstFileAttributes(name, &attributes);
}

// A stride through the eight-digit numbers that visits each of them once: odd and no multiple
// of 5, so prime to 10^8 and to every other power of ten.
constexpr std::uint32_t kSpreadStride = 38196601;
static_assert(kSpreadStride % 2 != 0 && kSpreadStride % 5 != 0);

// Where a sender starts spreading out: random, so that senders sharing one tick count take
// different paths through the free numbers. Asked of the system each time (only sends whose
// neighbouring names were all taken get here): a generator kept in the process would hand the
// same numbers to every process forked from it.
std::uint32_t RandomSpreadStart() {
    return static_cast<std::uint32_t>(std::random_device{}() % kAlertNumberSpace);
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
    *size += kSectionLine.size();
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

AlertNumbering::AlertNumbering(std::uint32_t tick, std::uint32_t neighbours, std::uint32_t space)
    : next_(tick), neighboursLeft_(neighbours), space_(space), spreadLeft_(space) {}

bool AlertNumbering::Take(std::uint32_t* number) {
    if (neighboursLeft_ > 0) {
        --neighboursLeft_;
        *number = next_++;
        return true;
    }
    if (spreadLeft_ == 0) return false;
    if (spreadLeft_ == space_) next_ = RandomSpreadStart() % space_;  // first spread number
    --spreadLeft_;
    *number = next_;
    next_ = static_cast<std::uint32_t>((std::uint64_t{next_} + kSpreadStride) % space_);
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

bool WriteAlertKeyLine(std::uint32_t file, const AlertKey& key, char* line, std::uint64_t* size) {
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
