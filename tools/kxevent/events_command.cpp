// events_command.cpp: "kxevent events": the catalogue's events, one line each, as the library
// would read them for a language.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/catalogue_rules.h"
#include "common/names.h"
#include "common/registry.h"
#include "common/severity.h"
#include "common/text.h"
#include "common/utf8.h"
#include "platform/platform.h"
#include "runtime/search_rules.h"
#include "tools/admin/errors.h"
#include "tools/admin/event_library.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/json_line.h"
#include "tools/kxevent/options.h"

namespace kx::tool {

namespace {

enum EventsOptionId { kLanguage, kJson };

constexpr Option kEventsOptions[] = {
    {kLanguage, "--language", "LLSS", "the catalogue's language (\"0901\"), not the library's"},
    {kJson, "--json", "", "one JSON object per event and line"},
};

constexpr char kEventsAbout[] =
    "Lists the events of the message catalogue in the registry that KXEvent.DLL reads, one per\n"
    "line and sorted by number: the event number, its severity and its short description, as\n"
    "the library reads them for the language (each event falling back to 0901 by itself, gaps\n"
    "filled from the Defaults key). Without --language the library's own choice is used:\n"
    "\"szPreferredLanguage\", else the language of the resource module it loads (from the\n"
    "installation directory, or from \"..\\zqpal\" when none is set). A --language the\n"
    "catalogue has no branch for is refused, naming those it has. With --json each event is\n"
    "one JSON object per line (event, severity and its name, shortDescript, language).\n"
    "Nothing is installed or changed.\n";

std::string EventsUsage() {
    return "usage: kxevent events " + Synopsis(kEventsOptions[kLanguage]) + " " +
           Synopsis(kEventsOptions[kJson]);
}

// The languages the catalogue has a branch for ("Events\0901" or a key below it), as spelled.
std::vector<std::string> CatalogueLanguages(const reg::Document& document) {
    std::vector<std::string> languages;
    const std::string events = std::string(kEventsKey) + "\\";
    for (const reg::Key& key : document.keys) {
        if (key.path.size() <= events.size() ||
            !SameNameIgnoringCase(std::string_view(key.path).substr(0, events.size()), events)) {
            continue;
        }
        const std::string rest = key.path.substr(events.size());
        const std::string language = rest.substr(0, rest.find('\\'));
        if (SameNameIgnoringCase(language, "Forwarding")) continue;
        const bool known = std::any_of(languages.begin(), languages.end(), [&](const auto& seen) {
            return SameNameIgnoringCase(seen, language);
        });
        if (!known) languages.push_back(language);
    }
    std::sort(languages.begin(), languages.end());
    return languages;
}

// A language asked for by name must be one the catalogue has: otherwise every event would
// silently be the 0901 one.
void RefuseMissingLanguage(const reg::Document& document, const std::string& language,
                           const std::filesystem::path& file) {
    const std::vector<std::string> languages = CatalogueLanguages(document);
    for (const std::string& known : languages) {
        if (SameNameIgnoringCase(known, language)) return;
    }
    std::string list;
    for (const std::string& known : languages) list += (list.empty() ? "" : ", ") + known;
    throw RuntimeError("the catalogue in " + file.string() + " has no language " + language +
                       (list.empty() ? std::string(" (it has none)") : " (it has " + list + ")") +
                       "; the library would show every event in " + kFallbackLanguage);
}

struct EventLine {
    std::int32_t number;
    std::uint32_t severity;
    std::string text;
};

// Number right-aligned, severity padded to the longest: the columns line up.
void PrintTable(const std::vector<EventLine>& lines) {
    std::size_t numberWidth = 0, severityWidth = 0;
    for (const EventLine& line : lines) {
        numberWidth = std::max(numberWidth, std::to_string(line.number).size());
        severityWidth = std::max(severityWidth, std::string(SeverityName(line.severity)).size());
    }
    for (const EventLine& line : lines) {
        std::string number = std::to_string(line.number);
        number.insert(0, numberWidth - number.size(), ' ');
        std::string severity = SeverityName(line.severity);
        if (!line.text.empty()) severity.resize(severityWidth, ' ');
        std::cout << number << "  " << severity
                  << (line.text.empty() ? "" : "  " + ForPerson(line.text)) << "\n";
    }
}

// The event number a key name stands for: a signed decimal exactly as the library writes it.
std::optional<std::int32_t> EventNumber(std::string_view name) {
    std::int32_t number = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size()) return std::nullopt;
    if (std::to_string(number) != name) return std::nullopt;  // "+1", "007" are other keys
    return number;
}

std::string LanguageKey(std::string_view language) {
    return std::string(kEventsKey) + "\\" + std::string(language);
}

// The event keys directly below a language's branch, by number.
std::map<std::int32_t, const reg::Key*> EventKeys(const reg::Document& document,
                                                  std::string_view language) {
    std::map<std::int32_t, const reg::Key*> keys;
    const std::string branch = LanguageKey(language) + "\\";
    for (const reg::Key& key : document.keys) {
        if (key.path.size() <= branch.size() ||
            !SameNameIgnoringCase(std::string_view(key.path).substr(0, branch.size()), branch)) {
            continue;
        }
        if (auto number = EventNumber(std::string_view(key.path).substr(branch.size()))) {
            keys.emplace(*number, &key);
        }
    }
    return keys;
}

// The language the library settles on: "szPreferredLanguage", else that of the resource module
// it loads, else the first it would try.
std::string LibraryLanguage(const RegistryReader& registry) {
    if (auto preferred = ReadPreferredLanguage(registry)) return *preferred;
    const ResourceSearchReport search = FollowResourceSearch(registry, kResourceModuleName);
    if (search.module && !search.refusal) return search.language;
    return search.firstLanguage;
}

// Control characters of a catalogue text would reach the terminal: shown as '?'.
void RefuseBadLanguage(const std::string& language) {
    if (language.empty() || language.size() > kMaxLanguageLength) {
        throw UsageError("--language takes a language code such as 0901, not '" + language + "'");
    }
    for (char c : language) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            throw UsageError("--language takes a language code such as 0901 (letters and digits)");
        }
    }
}

}  // namespace

std::string EventsHelp() {
    return EventsUsage() + "\n\n" + FormatOptionList(kEventsOptions) + "\n" + kEventsAbout;
}

std::span<const Option> EventsOptionTable() {
    return kEventsOptions;
}

int RunEventsCommand(std::span<const std::string> args) {
    std::optional<std::string> language;
    bool json = false;
    std::size_t at = 1;
    ParseOptions(args, at, kEventsOptions, {.verb = "events", .operands = false},
                 [&](const Option& option, const std::string& value) {
                     if (option.id == kJson) {
                         json = true;
                     } else {
                         language = value;
                     }
                 });
    if (language) RefuseBadLanguage(*language);

    const RegistryChoice choice = FindRegistry();
    const reg::Document document = ReadRegistryChoice(choice, FindLibraryDirectory());
    if (language) RefuseMissingLanguage(document, *language, choice.file);
    const RegistryReader registry = DocumentRegistry(document);
    const std::string chosen = language.value_or(LibraryLanguage(registry));

    std::map<std::int32_t, const reg::Key*> events = EventKeys(document, chosen);
    events.merge(EventKeys(document, kFallbackLanguage));  // the chosen language's keys win
    if (events.empty()) {
        throw RuntimeError("no events for language " + chosen + " nor " + kFallbackLanguage +
                           " in " + choice.file.string());
    }
    // Each event as a send reads it, gaps filled from the language's defaults.
    MessageDefaultsData defaults{};
    ReadMessageDefaults(registry, chosen, defaults);
    auto message = std::make_unique<MessageRecord>();
    auto detail = std::make_unique<DetailRecord>();
    std::vector<EventLine> lines;
    for (const auto& entry : events) {
        *message = MessageRecord{};
        *detail = DetailRecord{};
        if (!ReadMessageDefinition(registry, chosen, entry.first, defaults, *message, *detail)) {
            continue;
        }
        lines.push_back(
            {entry.first, message->uSeverity, std::string(FieldText(message->szShortDescript))});
    }
    if (!json) {
        PrintTable(lines);
        return kExitOk;
    }
    for (const EventLine& line : lines) {
        std::cout << JsonLine()
                         .Number("event", line.number)
                         .Number("severity", line.severity)
                         .Text("severityName", SeverityName(line.severity))
                         .Text("shortDescript", line.text)
                         .Text("language", chosen)
                         .Line();
    }
    return kExitOk;
}

}  // namespace kx::tool
