// registry_edit.h: the changes "kxevent reg" makes to a registry document and the forms in
// which it shows one: key paths and value names as a person gives them, values made from the
// command line, an imported file merged with its deletions. All of it works on a document in
// memory; loading and saving the file are registry_files.h's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/regfile.h"

namespace kx::tool {

// Whether HKEY_LOCAL_MACHINE itself may be named: readers take it, changes do not.
enum class RootUse { kRefused, kAllowed };

// A key path as the registry file keeps it, below HKEY_LOCAL_MACHINE: the prefix
// "HKEY_LOCAL_MACHINE\" or "HKLM\" may be given and trailing backslashes are dropped. The root
// itself is the empty path, which only readers take. A control character (named by its
// position, never echoed), another root and, for kRefused, the root throw UsageError.
std::string NormalizeKeyPath(std::string path, RootUse root = RootUse::kRefused);

// A value name as given on the command line: "@" is the unnamed value; a control character
// throws UsageError.
std::string ValueNameArgument(const std::string& name);

// Whether the key `path` is `root` or lies below it, names compared as the registry compares
// them; every key lies below the root "".
bool IsUnder(std::string_view path, std::string_view root);

// The names of the keys directly below `path`, whether or not they have entries of their own,
// each once, sorted without regard to case.
std::vector<std::string> ChildKeys(const reg::Document& document, std::string_view path);

// "REG_SZ", "REG_DWORD", ...; "REG_UNKNOWN" for a type without a name.
const char* TypeName(std::uint32_t type);
// A value's data as query shows it: the text, a dword as "0x0000000a (10)", else hex bytes.
std::string ShowData(const reg::Value& value);

// The value "reg set" writes: `type` sz (the default), expand_sz, dword (decimal or 0x
// hexadecimal) or binary (hex bytes, "01,02,ff" or "0102ff"). Throws UsageError.
reg::Value MakeValue(const std::string& name, const std::string& data,
                     const std::optional<std::string>& type);

// Sets `value` in the key `path`, which is added when missing; a value of the same name is
// replaced.
void SetValue(reg::Document& document, const std::string& path, reg::Value value);
// Removes the value `name` of the key `path`; false when there is no such value.
bool RemoveValue(reg::Document& document, std::string_view path, std::string_view name);
// Removes the key `path` with every key below it; the number of keys removed.
std::size_t RemoveKey(reg::Document& document, std::string_view path);
// Keeps the key `path` and the keys below it, nothing else; the number of keys kept.
std::size_t KeepOnlyKey(reg::Document& document, std::string_view path);

// Refuses an imported file before anything changes: a control character in its key paths or
// value names throws UsageError, a deletion of HKEY_LOCAL_MACHINE itself RuntimeError naming
// `source` and the line.
void CheckImport(const reg::Document& incoming, const std::vector<reg::Deletion>& deletions,
                 const std::string& source);

struct ImportSummary {
    // What each deletion did, in their order: "removed key [...] with 2 keys below it",
    // "no value "x" in [...] to remove", ...
    std::vector<std::string> removals;
    std::size_t values = 0;  // the values set
};

// Imports `incoming` with its deletion lines into `document`: the deletions first, in their
// order, then every key and value of the file, so that what a line of the file sets stays set.
ImportSummary MergeImport(reg::Document& document, const reg::Document& incoming,
                          const std::vector<reg::Deletion>& deletions);

}  // namespace kx::tool
