// value_rules.cpp: the table of checked values, keyed by key path and value name as the
// registry compares them (letters in any case), with the names FwdSyslog accepts taken from the
// header it reads them from.
#include "tools/admin/value_rules.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "common/names.h"
#include "common/syslog_names.h"
#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"

namespace kx::tool {

namespace {

// What the reader makes of the value: text as text, a dword as its number; nothing when the
// value's type is not one the reader takes.
struct Seen {
    std::optional<std::string> text;
    std::optional<std::uint32_t> number;
};

Seen SeenByReader(const reg::Value& value) {
    Seen seen;
    if (IsTextType(value.type)) {
        seen.text = ValueText(value);
        seen.number = ParseSyslogDecimal(*seen.text);
    } else if (value.type == plat::kRegDword && value.data.size() == 4) {
        seen.number = std::uint32_t{value.data[0]} | (std::uint32_t{value.data[1]} << 8) |
                      (std::uint32_t{value.data[2]} << 16) | (std::uint32_t{value.data[3]} << 24);
    }
    return seen;
}

std::string NumberRangeText(SyslogNumberRange range) {
    return "a number from " + std::to_string(range.lowest) + " to " + std::to_string(range.highest);
}

struct ValueRule {
    std::string_view key;
    std::string_view name;
    bool (*accepts)(const Seen&);
    std::string (*accepted)();  // for the refusal: what would do
};

constexpr std::array<ValueRule, 4> kRules = {{
    {kSyslogSettingsKey, kSyslogTransportValue,
     [](const Seen& seen) { return seen.text && SyslogTransportByName(*seen.text).has_value(); },
     [] { return "one of " + SyslogTransportList(); }},
    {kSyslogSettingsKey, kSyslogFacilityValue,
     [](const Seen& seen) { return seen.text && SyslogFacilityByName(*seen.text) >= 0; },
     [] { return "text, one of " + SyslogFacilityList(); }},
    {kSyslogSettingsKey, kSyslogPortValue,
     [](const Seen& seen) { return seen.number && kSyslogPortRange.Holds(*seen.number); },
     [] { return NumberRangeText(kSyslogPortRange); }},
    {kSyslogSettingsKey, kSyslogEnterpriseValue,
     [](const Seen& seen) { return seen.number && kSyslogEnterpriseRange.Holds(*seen.number); },
     [] { return NumberRangeText(kSyslogEnterpriseRange); }},
}};

std::string Shown(const reg::Value& value) {
    const Seen seen = SeenByReader(value);
    if (seen.text) return "'" + *seen.text + "'";
    if (seen.number) return std::to_string(*seen.number);
    return "a value of type " + std::to_string(value.type);
}

}  // namespace

void CheckValueRule(std::string_view keyPath, const reg::Value& value) {
    for (const ValueRule& rule : kRules) {
        if (!SameNameIgnoringCase(rule.key, keyPath) ||
            !SameNameIgnoringCase(rule.name, value.name)) {
            continue;
        }
        if (!rule.accepts(SeenByReader(value))) {
            throw UsageError(std::string(rule.name) + " must be " + rule.accepted() + ", not " +
                             Shown(value));
        }
    }
}

}  // namespace kx::tool
