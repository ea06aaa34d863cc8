// variables.cpp: the per-send table of the 49 %NAME% variables, its number texts, and the
// expansion of a long description against it.
#include "catalogue/variables.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string_view>

#include "catalogue/definitions.h"
#include "catalogue/variables_internal.h"
#include "common/platform_block.h"
#include "common/text.h"
#include "platform/platform.h"

namespace kx {

namespace {

enum class Source : std::uint8_t { message, detail };
enum class Kind : std::uint8_t { text, number, shortened };

// Where a variable's value lives: the record, the field's offset and width, and how the table
// takes it.
struct VariableField {
    const char* name;
    Source source;
    std::uint16_t offset;
    std::uint16_t width;
    Kind kind;
};

#define KX_MESSAGE_FIELD(token, field, kind)                                                       \
    VariableField {                                                                                \
        token, Source::message, offsetof(MessageRecord, field), sizeof(MessageRecord::field), kind \
    }
#define KX_DETAIL_FIELD(token, field, kind)                                                     \
    VariableField {                                                                             \
        token, Source::detail, offsetof(DetailRecord, field), sizeof(DetailRecord::field), kind \
    }

constexpr std::array<VariableField, kVariableCount> kVariables{
    KX_MESSAGE_FIELD("SOFTWARENAME", szSoftwareName, Kind::text),
    KX_MESSAGE_FIELD("SOFTWAREVERSION", szSoftwareVersion, Kind::text),
    KX_MESSAGE_FIELD("TASKID", szTaskID, Kind::text),
    KX_MESSAGE_FIELD("GMTTIME", szGMTTime, Kind::text),
    KX_MESSAGE_FIELD("LOCALTIME", szLocalTime, Kind::text),
    KX_MESSAGE_FIELD("LONGDESCRIPT", szLongDescript, Kind::text),
    KX_MESSAGE_FIELD("RESOLUTION", szResolution, Kind::text),
    KX_MESSAGE_FIELD("SEVERITY", uSeverity, Kind::number),
    KX_MESSAGE_FIELD("SHORTDESCRIPT", szShortDescript, Kind::text),
    KX_MESSAGE_FIELD("COMPUTERNAME", szComputerName, Kind::text),
    KX_MESSAGE_FIELD("SOURCEIP", szSourceIP, Kind::text),
    KX_MESSAGE_FIELD("SOURCEMAC", szSourceMAC, Kind::text),
    KX_MESSAGE_FIELD("SOURCESEG", szSourceSeg, Kind::text),
    KX_MESSAGE_FIELD("TARGETCOMPUTERNAME", szTargetComputerName, Kind::text),
    KX_MESSAGE_FIELD("TARGETIP", szTargetIP, Kind::text),
    KX_MESSAGE_FIELD("TARGETMAC", szTargetMAC, Kind::text),
    KX_MESSAGE_FIELD("URL", szURL, Kind::text),
    KX_DETAIL_FIELD("TRAPID", uTrapID, Kind::number),
    KX_DETAIL_FIELD("ENGINEVERSION", szEngineVersion, Kind::text),
    KX_DETAIL_FIELD("DATVERSION", szDatVersion, Kind::text),
    KX_DETAIL_FIELD("ENGINESTATUS", uEngineStatus, Kind::number),
    KX_DETAIL_FIELD("VIRUSNAME", szVirusName, Kind::text),
    KX_DETAIL_FIELD("VIRUSTYPE", szVirusType, Kind::text),
    KX_DETAIL_FIELD("FILENAME", szFileName, Kind::shortened),
    KX_DETAIL_FIELD("USERNAME", szUserName, Kind::text),
    KX_DETAIL_FIELD("OS", szOS, Kind::text),
    KX_DETAIL_FIELD("PROCESSORSERIAL", szProcessorSerial, Kind::text),
    KX_DETAIL_FIELD("TASKNAME", szTaskName, Kind::text),
    KX_DETAIL_FIELD("NUMVIRS", uNumVirs, Kind::number),
    KX_DETAIL_FIELD("NUMCLEANED", uNumCleaned, Kind::number),
    KX_DETAIL_FIELD("NUMDELETED", uNumDeleted, Kind::number),
    KX_DETAIL_FIELD("NUMQUARANTINED", uNumQuarantined, Kind::number),
    KX_DETAIL_FIELD("SCANRETURNCODE", uScanReturnCode, Kind::number),
    KX_DETAIL_FIELD("MAILFROMNAME", szMailFromName, Kind::text),
    KX_DETAIL_FIELD("MAILTONAME", szMailToName, Kind::shortened),
    KX_DETAIL_FIELD("MAILCCNAME", szMailCCName, Kind::shortened),
    KX_DETAIL_FIELD("MAILSUBJECTLINE", szMailSubjectLine, Kind::text),
    KX_DETAIL_FIELD("MAILIDENTIFIERINFO", szMailIdentifierInfo, Kind::text),
    KX_DETAIL_FIELD("LANGUAGECODE", szLanguageCode, Kind::text),
    KX_DETAIL_FIELD("CLIENTCOMPUTER", szClientComputer, Kind::text),
    KX_DETAIL_FIELD("TSCLIENTID", dwTSClientID, Kind::number),
    KX_DETAIL_FIELD("ACCESSPROCESSNAME", szAccessProcessName, Kind::text),
    KX_DETAIL_FIELD("EVENTNAME", szEventName, Kind::text),
    KX_DETAIL_FIELD("INFO", szInfo, Kind::text),
    KX_DETAIL_FIELD("NOTEID", szNoteID, Kind::text),
    KX_DETAIL_FIELD("NOTESSERVERNAME", szNotesServerName, Kind::text),
    KX_DETAIL_FIELD("NOTESDBNAME", szNotesDBName, Kind::text),
    KX_DETAIL_FIELD("DOMAIN", szDomain, Kind::text),
    KX_DETAIL_FIELD("OBRULENAME", szOBRuleName, Kind::text),
};

#undef KX_MESSAGE_FIELD
#undef KX_DETAIL_FIELD

constexpr std::string_view kEmptyValue = "'_'";
constexpr std::size_t kDateCopySize = 32;

NumberStringNode* NewNode() {
    void* block = plat::Allocate(sizeof(NumberStringNode));
    return block ? new (block) NumberStringNode{nullptr, nullptr} : nullptr;
}

char* FieldAddress(const VariableField& field, MessageRecord* message, DetailRecord* detail) {
    char* record = field.source == Source::message ? reinterpret_cast<char*>(message)
                                                   : reinterpret_cast<char*>(detail);
    return record + field.offset;
}

void FillSlot(VariableSlot& slot, const VariableField& field, char* address,
              NumberStringList& numbers) {
    slot.name = field.name;
    switch (field.kind) {
        case Kind::shortened:
            ShortenText({address, field.width});
            [[fallthrough]];
        case Kind::text:
            slot.value = address;
            slot.width = field.width;
            break;
        case Kind::number: {
            std::uint32_t value;
            std::memcpy(&value, address, sizeof value);
            slot.value = FormatNumberVariable(numbers, static_cast<std::int32_t>(value));
            slot.width = slot.value ? kNumberTextSize : 0;
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Expansion.

bool PointsInto(const char* p, const char* begin, const char* end) {
    return std::greater_equal<const char*>{}(p, begin) && std::less_equal<const char*>{}(p, end);
}

std::string_view SlotText(const VariableSlot& slot) {
    if (slot.value == nullptr) return {};
    if (slot.width == 0) return slot.value;
    return {slot.value, FieldLength(slot.value, slot.width)};
}

// Any table: the first slot whose name equals the candidate, up to the first empty slot.
const VariableSlot* ScanForVariable(const VariableTable& table, std::string_view candidate) {
    for (const VariableSlot& slot : table.slots) {
        const char* name = slot.name;
        if (name == nullptr || name[0] == '\0') return nullptr;
        if (name[0] == candidate[0] &&
            std::strncmp(name, candidate.data(), candidate.size()) == 0 &&
            name[candidate.size()] == '\0') {
            return &slot;
        }
    }
    return nullptr;
}

// The token names grouped by length, so that a candidate is compared only with names of its
// own length.
constexpr std::size_t kLongestName = 18;
constexpr std::size_t kMostNamesOfOneLength = 8;
struct NamesByLength {
    std::array<std::array<std::int8_t, kMostNamesOfOneLength>, kLongestName + 1> index{};
    std::array<std::uint8_t, kLongestName + 1> count{};
};

constexpr NamesByLength GroupNamesByLength() {
    NamesByLength groups;
    for (std::size_t i = 0; i < kVariables.size(); ++i) {
        const std::size_t length = std::string_view(kVariables[i].name).size();
        groups.index[length][groups.count[length]++] = static_cast<std::int8_t>(i);
    }
    return groups;
}

constexpr NamesByLength kNamesByLength = GroupNamesByLength();
static_assert([] {
    std::size_t total = 0;
    for (std::size_t i = 0; i < kVariables.size(); ++i) {
        const std::size_t length = std::string_view(kVariables[i].name).size();
        if (length == 0 || length > kLongestName) return false;
    }
    for (std::uint8_t count : kNamesByLength.count) {
        if (count > kMostNamesOfOneLength) return false;
        total += count;
    }
    return total == kVariables.size();
}());

// A table whose slots carry this unit's own token names in their own order: the tables
// BuildVariableTable makes.
bool HasOwnTokenNames(const VariableTable& table) {
    for (std::size_t i = 0; i < kVariables.size(); ++i) {
        if (table.slots[i].name != kVariables[i].name) return false;
    }
    return true;
}

const VariableSlot* LookUpOwnVariable(const VariableTable& table, std::string_view candidate) {
    if (candidate.size() > kLongestName) return nullptr;
    const auto& group = kNamesByLength.index[candidate.size()];
    for (std::size_t k = 0; k < kNamesByLength.count[candidate.size()]; ++k) {
        const auto i = static_cast<std::size_t>(group[k]);
        if (kVariables[i].name[0] == candidate[0] &&
            std::memcmp(kVariables[i].name, candidate.data(), candidate.size()) == 0) {
            return &table.slots[i];
        }
    }
    return nullptr;
}

std::size_t NamedSlots(const VariableTable& table, bool ownNames) {
    if (ownNames) return kVariables.size();
    std::size_t count = 0;
    while (count < kVariableCount && table.slots[count].name != nullptr &&
           table.slots[count].name[0] != '\0') {
        ++count;
    }
    return count;
}

// The text to expand: a text that lies in one of the table's fields is read within the field.
std::string_view BoundedSource(const char* text, const VariableTable* table, bool ownNames) {
    if (table == nullptr) return text;
    const auto at = reinterpret_cast<std::uintptr_t>(text);
    const std::size_t slots = NamedSlots(*table, ownNames);
    for (std::size_t i = 0; i < slots; ++i) {
        const VariableSlot& slot = table->slots[i];
        const std::uintptr_t offset = at - reinterpret_cast<std::uintptr_t>(slot.value);
        if (slot.value != nullptr && offset < slot.width) {
            return {text, FieldLength(text, slot.width - offset)};
        }
    }
    return text;
}

// The stored "%4d %2d %2d %2d:%2d:%2d" time with its blanks filled where a date reads better.
std::string_view DateCopy(std::string_view stored, std::array<char, kDateCopySize>& copy) {
    struct Fill {
        std::size_t position;
        char blankBecomes;
    };
    constexpr Fill kFills[] = {{4, '-'}, {5, '0'}, {7, '-'}, {14, '0'}, {17, '0'}};
    const std::size_t length = std::min(stored.size(), copy.size() - 1);
    std::memcpy(copy.data(), stored.data(), length);
    for (const Fill& fill : kFills) {
        if (fill.position < length && copy[fill.position] == ' ') {
            copy[fill.position] = fill.blankBecomes;
        }
    }
    return {copy.data(), length};
}

class Expansion {
  public:
    Expansion(std::string_view source, const VariableTable* table, bool ownNames, char* result)
        : source_(source), table_(table), ownNames_(ownNames), result_(result) {}

    void Run() {
        const char* cursor = source_.data();
        const char* const end = source_.data() + source_.size();
        while (cursor < end) {
            const char* open = Find(cursor, end);
            const char* close = open ? Find(open + 1, end) : nullptr;
            if (close == nullptr) {
                Append({cursor, static_cast<std::size_t>(end - cursor)});
                return;
            }
            const std::string_view candidate(open + 1, static_cast<std::size_t>(close - open - 1));
            Append({cursor, static_cast<std::size_t>(open - cursor)});
            Append(Replacement(candidate));
            cursor = close + 1;
        }
    }

    std::size_t length() const { return length_; }

  private:
    static const char* Find(const char* from, const char* end) {
        return static_cast<const char*>(
            std::memchr(from, '%', static_cast<std::size_t>(end - from)));
    }

    // A piece goes in whole only while the result stays below the buffer's size; a piece that
    // does not fit is dropped and later, shorter ones may still go in.
    void Append(std::string_view piece) {
        if (length_ + piece.size() >= static_cast<std::size_t>(kExpansionBufferSize)) return;
        std::memcpy(result_ + length_, piece.data(), piece.size());
        length_ += piece.size();
    }

    const VariableSlot* FindVariable(std::string_view candidate) const {
        if (table_ == nullptr || candidate.empty()) return nullptr;
        return ownNames_ ? LookUpOwnVariable(*table_, candidate)
                         : ScanForVariable(*table_, candidate);
    }

    std::string_view Replacement(std::string_view candidate) {
        const VariableSlot* slot = FindVariable(candidate);
        if (slot == nullptr) return candidate;
        if (IsTextBeingExpanded(*slot)) return TextBeforeFirstPercent(*slot);
        std::string_view value = SlotText(*slot);
        if (candidate == "GMTTIME" || candidate == "LOCALTIME") value = DateCopy(value, date_);
        return value.empty() ? kEmptyValue : value;
    }

    bool IsTextBeingExpanded(const VariableSlot& slot) const {
        return slot.value != nullptr &&
               PointsInto(slot.value, source_.data(), source_.data() + source_.size());
    }

    // The text being expanded reads, while it is being expanded, only up to its first '%':
    // the pair scan has already claimed that sign. What stands before it is put in, nothing
    // when it is empty.
    std::string_view TextBeforeFirstPercent(const VariableSlot& slot) const {
        const std::size_t offset = static_cast<std::size_t>(slot.value - source_.data());
        const std::string_view rest = source_.substr(offset);
        return rest.substr(0, std::min(rest.find('%'), SlotText(slot).size()));
    }

    std::string_view source_;
    const VariableTable* table_;
    bool ownNames_;  // names can be looked up by length instead of scanned
    char* result_;
    std::size_t length_ = 0;
    std::array<char, kDateCopySize> date_{};
};

}  // namespace

char* FormatNumberVariable(NumberStringList& list, std::int32_t value) {
    if (list.last == nullptr) return nullptr;
    auto* text = static_cast<char*>(plat::Allocate(kNumberTextSize));
    if (text == nullptr) return nullptr;
    const auto written = std::to_chars(text, text + kNumberTextSize - 1, value);
    *written.ptr = '\0';
    list.last->text = text;
    list.last->next = NewNode();
    list.last = list.last->next;
    return text;
}

char* ShortenText(std::span<char> field) {
    constexpr std::size_t kShortened = kShortenedHead + 3 + kShortenedTail;
    const std::size_t length = FieldLength(field.data(), field.size());
    if (length < kShortenFrom || field.size() <= kShortened) return field.data();
    std::memmove(field.data() + kShortenedHead + 3, field.data() + length - kShortenedTail,
                 kShortenedTail);
    std::memcpy(field.data() + kShortenedHead, "...", 3);
    field[kShortened] = '\0';
    return field.data();
}

VariableTable* BuildVariableTable(std::uint32_t productId, std::int32_t eventId,
                                  MessageRecord* message, DetailRecord* detail,
                                  ContextRecord* /*context: never read*/) {
    if (message == nullptr || detail == nullptr) return nullptr;
    void* block = plat::Allocate(sizeof(VariableTable));
    if (block == nullptr) return nullptr;
    NumberStringNode* first = NewNode();
    if (first == nullptr) {
        plat::Release(block);
        return nullptr;
    }
    auto* table = new (block) VariableTable{};
    table->numbers = first;
    NumberStringList numbers{first, first};

    if (message->szSoftwareName[0] == '\0') GetProductName(productId, message->szSoftwareName);
    detail->uTrapID = static_cast<std::uint32_t>(eventId);
    for (std::size_t i = 0; i < kVariables.size(); ++i) {
        FillSlot(table->slots[i], kVariables[i], FieldAddress(kVariables[i], message, detail),
                 numbers);
    }
    return table;
}

int ExpandVariables(const char* text, const VariableTable* table, char* out, int size) {
    if (out == nullptr || size <= 0 || text == nullptr || text[0] == '\0') return 0;
    const std::unique_ptr<char[], PlatformRelease> result(
        static_cast<char*>(plat::Allocate(kExpansionBufferSize)));
    if (!result) return 0;

    const bool ownNames = table != nullptr && HasOwnTokenNames(*table);
    Expansion expansion(BoundedSource(text, table, ownNames), table, ownNames, result.get());
    expansion.Run();
    const std::size_t length = std::min(expansion.length(), static_cast<std::size_t>(size) - 1);
    std::memcpy(out, result.get(), length);
    out[length] = '\0';
    return 1;
}

void FreeVariableTable(VariableTable* table) {
    if (table == nullptr) return;
    NumberStringNode* node = table->numbers;
    while (node != nullptr) {
        NumberStringNode* next = node->next;
        if (node->text != nullptr) plat::Release(node->text);
        plat::Release(node);
        node = next;
    }
    plat::Release(table);
}

}  // namespace kx
