// catalogue_rules.h: how the message catalogue is read for a language: each key falling back to
// 0901 by itself, the Defaults key, the default severity and the buffer of every value. Pure rules
// over a registry reader, kept apart from the library's process state, so that the library's
// attach and sends follow them and the kxevent command lists the catalogue by them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/registry.h"
#include "kxevent/kxevent.h"

namespace kx {

inline constexpr char kFallbackLanguage[] = "0901";
// The current language's text holds at most this many characters.
inline constexpr std::size_t kMaxLanguageLength = 11;

// A language's default event texts.
struct MessageDefaultsData {
    char szEventName[64];  // non-empty once the defaults count as loaded
    char szShortDescript[32];
    char szLongDescript[256];
    char szURL[256];
    char szResolution[256];
    std::uint32_t uSeverity;
    char szAppend[256];
    char szAppendPIII[256];
};

// The catalogue key `below` ("Defaults", an event number) of `language` opened, else the
// fallback language's; nothing when neither opens.
std::optional<RegistryKeyReader> CatalogueKey(const RegistryReader& registry,
                                              std::string_view language, std::string_view below);

// Reads the Defaults key for `language` into `defaults`, a missing value leaving its field as it
// was. False, with `defaults` untouched, when no Defaults key opens.
bool ReadMessageDefaults(const RegistryReader& registry, std::string_view language,
                         MessageDefaultsData& defaults);

// Writes event `eventId`'s definition for `language` into the records, gaps filled from
// `defaults`. False, with the records untouched, when no key of the event opens.
bool ReadMessageDefinition(const RegistryReader& registry, std::string_view language,
                           std::int32_t eventId, const MessageDefaultsData& defaults,
                           MessageRecord& message, DetailRecord& detail);

// "szPreferredLanguage" under the alerting key: its text up to its terminator (or the bytes read
// when it has none), cut to kMaxLanguageLength; nothing when it cannot be read.
std::optional<std::string> ReadPreferredLanguage(const RegistryReader& registry);

}  // namespace kx
