// catalogue_rules.cpp: the catalogue's keys, values, buffers and defaults.
#include "catalogue/catalogue_rules.h"

#include <array>
#include <cstdio>
#include <span>
#include <utility>

#include "common/severity.h"
#include "common/text.h"

namespace kx {
namespace {

constexpr std::size_t kKeyPathSize = 256;
constexpr std::size_t kSmallValueSize = 32;
constexpr char kPreferredLanguageValue[] = "szPreferredLanguage";

constexpr std::string_view kBuiltInAppendPIII =
    "(from %COMPUTERNAME% Serial# %PROCESSORSERIAL% IP %SOURCEIP% user %USERNAME% running "
    "%SOFTWARENAME% %SOFTWAREVERSION% %TASKNAME%)";

// "Events\<language>\<below>", formatted into the library's 256-byte path buffer.
std::string KeyPath(std::string_view language, std::string_view below) {
    std::array<char, kKeyPathSize> path{};
    std::snprintf(path.data(), path.size(), "%s\\%.*s\\%.*s", kEventsKey,
                  static_cast<int>(language.size()), language.data(),
                  static_cast<int>(below.size()), below.data());
    return path.data();
}

// One open key's values, read one at a time.
class KeyReader {
  public:
    explicit KeyReader(RegistryKeyReader read) : read_(std::move(read)) {}

    // A text value into `field` only when it is present and fits the field; the field then holds
    // it terminated. A missing or oversized value leaves the field untouched.
    template <std::size_t N>
    bool TextInto(const char* name, char (&field)[N]) const {
        std::array<char, N> buffer{};
        const auto read = read_(name, std::as_writable_bytes(std::span<char>(buffer)));
        if (!read) return false;
        TerminateReadText(buffer, *read);
        CopyText(field, BoundedText(buffer));
        return true;
    }

    template <std::size_t N, std::size_t D>
    void TextOrDefault(const char* name, char (&field)[N], const char (&fallback)[D]) const {
        if (!TextInto(name, field)) CopyText(field, FieldText(fallback));
    }

    // The first bytes of a value read into a zeroed 32-byte buffer; nothing when missing.
    std::optional<std::array<unsigned char, kSmallValueSize>> Small(const char* name) const {
        std::array<unsigned char, kSmallValueSize> buffer{};
        if (!read_(name, std::as_writable_bytes(std::span(buffer)))) {
            return std::nullopt;
        }
        return buffer;
    }

  private:
    RegistryKeyReader read_;
};

// Completes a long description with the joiner ". " (unless it already ends in a full stop)
// and the append text; whatever does not fit the field is dropped.
void AddJoinerAndAppend(std::span<char> description, std::string_view append) {
    const std::string_view text = BoundedText(description);
    if (text.empty() || text.back() != '.') AppendText(description, ". ");
    AppendText(description, append);
}

}  // namespace

std::optional<RegistryKeyReader> CatalogueKey(const RegistryReader& registry,
                                              std::string_view language, std::string_view below) {
    if (auto key = registry.open(KeyPath(language, below).c_str())) return key;
    if (language == kFallbackLanguage) return std::nullopt;
    return registry.open(KeyPath(kFallbackLanguage, below).c_str());
}

bool ReadMessageDefaults(const RegistryReader& registry, std::string_view language,
                         MessageDefaultsData& d) {
    std::optional<RegistryKeyReader> opened = CatalogueKey(registry, language, "Defaults");
    if (!opened) return false;
    const KeyReader key(std::move(*opened));
    key.TextInto("ID", d.szEventName);
    key.TextInto("SHORTDESCRIPT", d.szShortDescript);
    key.TextInto("LONGDESCRIPT", d.szLongDescript);
    key.TextInto("URL", d.szURL);
    key.TextInto("RESOLUTION", d.szResolution);
    const auto severity = key.Small("SEVERITY");
    d.uSeverity = severity ? ParseSeverity(severity->data()) : 1;
    key.TextInto("Append", d.szAppend);
    if (!key.TextInto("AppendPIII", d.szAppendPIII)) CopyText(d.szAppendPIII, kBuiltInAppendPIII);
    return true;
}

bool ReadMessageDefinition(const RegistryReader& registry, std::string_view language,
                           std::int32_t eventId, const MessageDefaultsData& d,
                           MessageRecord& message, DetailRecord& detail) {
    std::optional<RegistryKeyReader> opened =
        CatalogueKey(registry, language, std::to_string(eventId));
    if (!opened) return false;
    const KeyReader key(std::move(*opened));
    key.TextOrDefault("ID", detail.szEventName, d.szEventName);
    key.TextOrDefault("SHORTDESCRIPT", message.szShortDescript, d.szShortDescript);
    key.TextOrDefault("LONGDESCRIPT", message.szLongDescript, d.szLongDescript);

    const bool hasSerial = detail.szProcessorSerial[0] != '\0';
    AddJoinerAndAppend(message.szLongDescript,
                       hasSerial ? FieldText(d.szAppendPIII) : FieldText(d.szAppend));

    key.TextOrDefault("URL", message.szURL, d.szURL);
    key.TextOrDefault("RESOLUTION", message.szResolution, d.szResolution);
    const auto severity = key.Small("SEVERITY");
    message.uSeverity = severity ? ParseSeverity(severity->data()) : d.uSeverity;
    const auto alwaysAlert = key.Small("Always Alert");
    detail.bAlwaysAlert = alwaysAlert && (*alwaysAlert)[0] == '1' ? 1 : 0;
    return true;
}

std::optional<std::string> ReadPreferredLanguage(const RegistryReader& registry) {
    std::array<char, kSmallValueSize> value{};
    const auto read = registry.read(kAlertingKey, kPreferredLanguageValue,
                                    std::as_writable_bytes(std::span<char>(value)));
    if (!read) return std::nullopt;
    const std::string_view text = BoundedText(std::span<const char>(value.data(), *read));
    return std::string(text.substr(0, kMaxLanguageLength));
}

}  // namespace kx
