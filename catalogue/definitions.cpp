// definitions.cpp: the message catalogue reader: the language's default texts, one event's
// definition written into the caller's records, severities and product display names.
#include "catalogue/definitions.h"

#include <array>
#include <cstdio>
#include <span>
#include <string_view>

#include "catalogue/product_names.h"
#include "common/registry.h"
#include "common/text.h"
#include "runtime/resources.h"
#include "runtime/state.h"

namespace kx {

MessageDefaultsData MessageDefaults{};

namespace {

constexpr std::size_t kKeyPathSize = 256;

constexpr std::string_view kBuiltInAppendPIII =
    "(from %COMPUTERNAME% Serial# %PROCESSORSERIAL% IP %SOURCEIP% user %USERNAME% running "
    "%SOFTWARENAME% %SOFTWAREVERSION% %TASKNAME%)";

using KeyPath = std::array<char, kKeyPathSize>;

KeyPath DefaultsKeyPath(std::string_view language) {
    KeyPath path{};
    std::snprintf(path.data(), path.size(), "%s\\%.*s\\Defaults", kEventsKey,
                  static_cast<int>(language.size()), language.data());
    return path;
}

KeyPath EventKeyPath(std::string_view language, std::int32_t eventId) {
    KeyPath path{};
    std::snprintf(path.data(), path.size(), "%s\\%.*s\\%d", kEventsKey,
                  static_cast<int>(language.size()), language.data(), static_cast<int>(eventId));
    return path;
}

// Opens the key for the current language, or else for the fallback language: each catalogue
// key falls back by itself.
template <typename MakePath>
RegKey OpenWithFallback(MakePath makePath) {
    const std::string_view current = FieldText(LanguageCode);
    RegKey key(makePath(current).data());
    if (!key && current != kFallbackLanguage) key = RegKey(makePath(kFallbackLanguage).data());
    return key;
}

// Reads a text value into `field` only when it is present and fits the field; the field then
// holds it terminated. A missing or oversized value leaves the field untouched.
template <std::size_t N>
bool ReadTextInto(const RegKey& key, const char* name, char (&field)[N]) {
    std::array<char, N> buffer{};
    if (!key.ReadText(name, buffer)) return false;
    CopyText(field, BoundedText(buffer));
    return true;
}

// The first bytes of a value read into a zeroed 32-byte buffer; nothing when missing.
std::optional<std::array<unsigned char, 32>> ReadSmallValue(const RegKey& key, const char* name) {
    std::array<unsigned char, 32> buffer{};
    if (!key.Read(name, std::as_writable_bytes(std::span(buffer)))) return std::nullopt;
    return buffer;
}

template <std::size_t N, std::size_t D>
void ReadTextOrDefault(const RegKey& key, const char* name, char (&field)[N],
                       const char (&fallback)[D]) {
    if (!ReadTextInto(key, name, field)) CopyText(field, FieldText(fallback));
}

// Completes a long description with the joiner ". " (unless it already ends in a full stop)
// and the append text; whatever does not fit the field is dropped.
void AddJoinerAndAppend(std::span<char> description, std::string_view append) {
    const std::string_view text = BoundedText(description);
    if (text.empty() || text.back() != '.') AppendText(description, ". ");
    AppendText(description, append);
}

}  // namespace

int LoadMessageDefaults() {
    MessageDefaultsData& d = MessageDefaults;
    if (d.szEventName[0] != '\0') return 1;

    const RegKey key = OpenWithFallback(DefaultsKeyPath);
    if (!key) return 0;

    ReadTextInto(key, "ID", d.szEventName);
    ReadTextInto(key, "SHORTDESCRIPT", d.szShortDescript);
    ReadTextInto(key, "LONGDESCRIPT", d.szLongDescript);
    ReadTextInto(key, "URL", d.szURL);
    ReadTextInto(key, "RESOLUTION", d.szResolution);
    const auto severity = ReadSmallValue(key, "SEVERITY");
    d.uSeverity = severity ? ParseSeverity(severity->data()) : 1;
    ReadTextInto(key, "Append", d.szAppend);
    if (!ReadTextInto(key, "AppendPIII", d.szAppendPIII)) {
        CopyText(d.szAppendPIII, kBuiltInAppendPIII);
    }
    return 1;
}

int LoadMessageDefinition(std::int32_t eventId, MessageRecord* message, DetailRecord* detail) {
    if (message == nullptr || detail == nullptr) return 0;
    const RegKey key = OpenWithFallback(
        [eventId](std::string_view language) { return EventKeyPath(language, eventId); });
    if (!key) return 0;

    const MessageDefaultsData& d = MessageDefaults;
    ReadTextOrDefault(key, "ID", detail->szEventName, d.szEventName);
    ReadTextOrDefault(key, "SHORTDESCRIPT", message->szShortDescript, d.szShortDescript);
    ReadTextOrDefault(key, "LONGDESCRIPT", message->szLongDescript, d.szLongDescript);

    const bool hasSerial = detail->szProcessorSerial[0] != '\0';
    AddJoinerAndAppend(message->szLongDescript,
                       hasSerial ? FieldText(d.szAppendPIII) : FieldText(d.szAppend));

    ReadTextOrDefault(key, "URL", message->szURL, d.szURL);
    ReadTextOrDefault(key, "RESOLUTION", message->szResolution, d.szResolution);
    const auto severity = ReadSmallValue(key, "SEVERITY");
    message->uSeverity = severity ? ParseSeverity(severity->data()) : d.uSeverity;
    const auto alwaysAlert = ReadSmallValue(key, "Always Alert");
    detail->bAlwaysAlert = alwaysAlert && (*alwaysAlert)[0] == '1' ? 1 : 0;
    return 1;
}

int GetProductName(std::uint32_t productId, char* name) {
    constexpr int kNameSize = sizeof(MessageRecord::szSoftwareName);
    if (name == nullptr) return 0;
    if (productId >= 1 && productId < ProductNameTable.count) {
        CopyText({name, kNameSize}, ProductNameTable.slots[productId]);
        return 1;
    }
    if (name[0] != '\0') return 1;
    if (plat::LoadStringA(ResourceModule, kStringProductName, name, kNameSize) > 0) {
        name[kNameSize - 1] = '\0';
        return 1;
    }
    name[0] = '\0';
    return 0;
}

}  // namespace kx
