// registry_edit.cpp: the editing engine of "kxevent reg", on registry documents in memory.
#include "tools/admin/registry_edit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "common/names.h"
#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/numbers.h"
#include "tools/admin/registry_files.h"

namespace kx::tool {

namespace {

const char* ControlName(unsigned char c) {
    switch (c) {
        case '\r':
            return "a carriage return (CR)";
        case '\n':
            return "a line feed (LF)";
        case '\t':
            return "a tab";
        default:
            return "a control character";
    }
}

// A control character in a key path or value name would start a line of its own in the file,
// or reach a terminal through query and export: refused, naming the position, never echoing it.
void RefuseControlCharacters(std::string_view text, const char* what) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            throw UsageError(std::string(what) + " holds " + ControlName(c) + " at character " +
                             std::to_string(i + 1) + "; control characters are not allowed");
        }
    }
}

// The other roots' names and abbreviations: a path starting with one of them is not below
// HKEY_LOCAL_MACHINE, whatever the rest of it says.
bool NamesAnotherRoot(std::string_view first) {
    if (first.size() > 5 && SameNameIgnoringCase(first.substr(0, 5), "HKEY_")) return true;
    for (std::string_view abbreviation : {"HKCU", "HKCR", "HKU", "HKCC", "HKPD"}) {
        if (SameNameIgnoringCase(first, abbreviation)) return true;
    }
    return false;
}

std::string Plural(std::size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Applies one deletion line of an imported file to `document`; says what it removed.
std::string ApplyDeletion(reg::Document& document, const reg::Deletion& deletion) {
    const std::string key = "[HKEY_LOCAL_MACHINE\\" + deletion.path + "]";
    if (deletion.isValue) {
        const std::string value = deletion.name.empty() ? "@" : "\"" + deletion.name + "\"";
        reg::Key* found = reg::FindKey(document, deletion.path);
        if (found == nullptr || reg::FindValue(*found, deletion.name) == nullptr) {
            return "no value " + value + " in " + key + " to remove";
        }
        std::erase_if(found->values, [&](const reg::Value& v) {
            return SameNameIgnoringCase(v.name, deletion.name);
        });
        return "removed value " + value + " of " + key;
    }
    const std::size_t removed = std::erase_if(
        document.keys, [&](const reg::Key& k) { return IsUnder(k.path, deletion.path); });
    if (removed == 0) return "no key " + key + " to remove";
    return "removed key " + key +
           (removed > 1 ? " with " + Plural(removed - 1, "key") + " below it" : "");
}

std::vector<std::uint8_t> ParseHexBytes(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c == ',' || c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw UsageError("binary value: '" + std::string(text) + "' is not hex bytes");
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) throw UsageError("binary value: an odd number of hex digits");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

reg::Key& FindOrAddKey(reg::Document& document, const std::string& path) {
    if (reg::Key* key = reg::FindKey(document, path)) return *key;
    document.keys.push_back({path, {}});
    return document.keys.back();
}

void SetValueOf(reg::Key& key, reg::Value value) {
    if (reg::Value* existing = reg::FindValue(key, value.name)) {
        *existing = std::move(value);
    } else {
        key.values.push_back(std::move(value));
    }
}

}  // namespace

std::string NormalizeKeyPath(std::string path, RootUse root) {
    RefuseControlCharacters(path, "the key path");
    while (!path.empty() && path.back() == '\\') path.pop_back();
    const std::string_view first = std::string_view(path).substr(0, path.find('\\'));
    if (SameNameIgnoringCase(first, "HKEY_LOCAL_MACHINE") || SameNameIgnoringCase(first, "HKLM")) {
        path.erase(0, std::min(path.size(), first.size() + 1));
    } else if (NamesAnotherRoot(first)) {
        throw UsageError("key outside HKEY_LOCAL_MACHINE: " + path +
                         "; the registry file holds HKEY_LOCAL_MACHINE (HKLM) only");
    }
    if (path.empty() && root == RootUse::kRefused) {
        throw UsageError("a key path below HKEY_LOCAL_MACHINE is needed");
    }
    return path;
}

std::string ValueNameArgument(const std::string& name) {
    RefuseControlCharacters(name, "the value name");
    return name == "@" ? "" : name;
}

bool IsUnder(std::string_view path, std::string_view root) {
    if (root.empty() || SameNameIgnoringCase(path, root)) return true;
    return path.size() > root.size() && path[root.size()] == '\\' &&
           SameNameIgnoringCase(path.substr(0, root.size()), root);
}

std::vector<std::string> ChildKeys(const reg::Document& document, std::string_view path) {
    std::vector<std::string> children;
    const std::size_t skip = path.empty() ? 0 : path.size() + 1;
    for (const reg::Key& key : document.keys) {
        if (key.path.size() <= path.size() || !IsUnder(key.path, path)) continue;
        const std::string_view rest = std::string_view(key.path).substr(skip);
        const std::string child(rest.substr(0, rest.find('\\')));
        if (std::none_of(children.begin(), children.end(), [&](const std::string& known) {
                return SameNameIgnoringCase(known, child);
            })) {
            children.push_back(child);
        }
    }
    std::sort(children.begin(), children.end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](char x, char y) { return LowerAscii(x) < LowerAscii(y); });
    });
    return children;
}

const char* TypeName(std::uint32_t type) {
    switch (type) {
        case plat::kRegNone:
            return "REG_NONE";
        case plat::kRegSz:
            return "REG_SZ";
        case plat::kRegExpandSz:
            return "REG_EXPAND_SZ";
        case plat::kRegBinary:
            return "REG_BINARY";
        case plat::kRegDword:
            return "REG_DWORD";
        case plat::kRegMultiSz:
            return "REG_MULTI_SZ";
        default:
            return "REG_UNKNOWN";
    }
}

std::string ShowData(const reg::Value& value) {
    if (IsTextType(value.type)) return ValueText(value);
    if (value.type == plat::kRegDword && value.data.size() == 4) {
        const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                     (std::uint32_t{value.data[3]} << 24);
        char text[32];
        std::snprintf(text, sizeof text, "0x%08x (%u)", number, number);
        return text;
    }
    std::string hex;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i ? ",%02x" : "%02x", value.data[i]);
        hex += byte;
    }
    return hex;
}

reg::Value MakeValue(const std::string& name, const std::string& data,
                     const std::optional<std::string>& type) {
    reg::Value value;
    value.name = ValueNameArgument(name);
    const std::string kind = type.value_or("sz");
    if (kind == "sz" || kind == "expand_sz") {
        value.type = kind == "sz" ? plat::kRegSz : plat::kRegExpandSz;
        value.data.assign(data.begin(), data.end());
        value.data.push_back(0);
    } else if (kind == "dword") {
        value.type = plat::kRegDword;
        const std::uint32_t number = ParseUnsigned(data, "dword value");
        for (int shift = 0; shift < 32; shift += 8) value.data.push_back((number >> shift) & 0xFF);
    } else if (kind == "binary") {
        value.type = plat::kRegBinary;
        value.data = ParseHexBytes(data);
    } else {
        throw UsageError("--type must be sz, expand_sz, dword or binary, not '" + kind + "'");
    }
    return value;
}

void SetValue(reg::Document& document, const std::string& path, reg::Value value) {
    SetValueOf(FindOrAddKey(document, path), std::move(value));
}

bool RemoveValue(reg::Document& document, std::string_view path, std::string_view name) {
    reg::Key* key = reg::FindKey(document, path);
    if (key == nullptr || reg::FindValue(*key, name) == nullptr) return false;
    std::erase_if(key->values,
                  [&](const reg::Value& value) { return SameNameIgnoringCase(value.name, name); });
    return true;
}

std::size_t RemoveKey(reg::Document& document, std::string_view path) {
    return std::erase_if(document.keys,
                         [&](const reg::Key& key) { return IsUnder(key.path, path); });
}

std::size_t KeepOnlyKey(reg::Document& document, std::string_view path) {
    std::erase_if(document.keys, [&](const reg::Key& key) { return !IsUnder(key.path, path); });
    return document.keys.size();
}

void CheckImport(const reg::Document& incoming, const std::vector<reg::Deletion>& deletions,
                 const std::string& source) {
    for (const reg::Key& key : incoming.keys) {
        RefuseControlCharacters(key.path, "a key path of the imported file");
        for (const reg::Value& value : key.values) {
            RefuseControlCharacters(value.name, "a value name of the imported file");
        }
    }
    for (const reg::Deletion& deletion : deletions) {
        RefuseControlCharacters(deletion.path, "a key path of the imported file");
        RefuseControlCharacters(deletion.name, "a value name of the imported file");
        if (deletion.path.empty() && !deletion.isValue) {
            throw RuntimeError(source + ": line " + std::to_string(deletion.line) +
                               ": HKEY_LOCAL_MACHINE itself cannot be removed");
        }
    }
}

ImportSummary MergeImport(reg::Document& document, const reg::Document& incoming,
                          const std::vector<reg::Deletion>& deletions) {
    // Whatever a deletion removes stays removed unless a line of the file sets it again, and
    // the parsed file holds exactly what it sets and keeps: so the deletions go first, in
    // their order, and the file's keys and values are merged after them.
    ImportSummary summary;
    for (const reg::Deletion& deletion : deletions) {
        summary.removals.push_back(ApplyDeletion(document, deletion));
    }
    for (const reg::Key& key : incoming.keys) {
        reg::Key& destination = FindOrAddKey(document, key.path);
        for (const reg::Value& value : key.values) {
            SetValueOf(destination, value);
            ++summary.values;
        }
    }
    return summary;
}

}  // namespace kx::tool
