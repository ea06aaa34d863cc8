// reg_command.cpp: importing, exporting, querying and changing the registry file.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <optional>

#include "common/names.h"
#include "platform/platform.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/errors.h"
#include "tools/kxevent/event_library.h"
#include "tools/kxevent/options.h"
#include "tools/kxevent/registry_files.h"
#include "tools/kxevent/send_command.h"
#include "tools/kxevent/value_rules.h"

namespace kx::tool {

namespace fs = std::filesystem;

namespace {

enum RegOptionId { kFile, kOutput, kType };

// Indexed by RegOptionId. The usage lines say where each belongs.
constexpr Option kRegOptions[] = {
    {kFile, "--file", "REGFILE", "the registry file", OptionLayout::kUnlisted},
    {kOutput, "--output", "FILE", "where export writes", OptionLayout::kUnlisted, "-o"},
    {kType, "--type", "sz|expand_sz|dword|binary", "the type set writes", OptionLayout::kUnlisted},
};

constexpr char kRegAbout[] =
    "Reads and changes the registry file that KXEvent.DLL reads (HKEY_LOCAL_MACHINE): --file,\n"
    "else VEL_REGISTRY, else for root /etc/velmora/hklm.reg when it exists, else the per-user\n"
    "default.\n"
    "KEY is a path below HKEY_LOCAL_MACHINE (the prefix may be given); NAME \"@\" or \"\" is the\n"
    "unnamed value. import merges the keys and values of FILE (REGEDIT4 format); a malformed\n"
    "FILE is refused and nothing changes. Changes are written to a temporary file that then\n"
    "replaces the registry file, so it is never left half-written.\n"
    "binary values are given as hex bytes, \"01,02,ff\" or \"0102ff\".\n";

struct RegOptions {
    std::optional<fs::path> file;
    std::vector<std::string> positional;
    std::optional<std::string> output;
    std::optional<std::string> type;
};

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

std::string NormalizeKeyPath(std::string path) {
    RefuseControlCharacters(path, "the key path");
    for (std::string_view prefix : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
        if (path.size() >= prefix.size() &&
            SameNameIgnoringCase(std::string_view(path).substr(0, prefix.size()), prefix)) {
            path.erase(0, prefix.size());
            break;
        }
    }
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty()) throw UsageError("a key path is needed");
    return path;
}

std::string ValueNameArgument(const std::string& name) {
    RefuseControlCharacters(name, "the value name");
    return name == "@" ? "" : name;
}

bool IsUnder(std::string_view path, std::string_view root) {
    if (SameNameIgnoringCase(path, root)) return true;
    return path.size() > root.size() && path[root.size()] == '\\' &&
           SameNameIgnoringCase(path.substr(0, root.size()), root);
}

fs::path TargetFile(const RegOptions& options) {
    if (options.file) return *options.file;
    return SelectRegistry(FindLibraryDirectory()).file;
}

reg::Document LoadOrEmpty(const fs::path& file) {
    std::error_code ignored;
    if (!fs::exists(file, ignored)) return {};
    return LoadRegistryFile(file);
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

reg::Key& FindOrAddKey(reg::Document& document, const std::string& path) {
    if (reg::Key* key = reg::FindKey(document, path)) return *key;
    document.keys.push_back({path, {}});
    return document.keys.back();
}

void SetValue(reg::Key& key, reg::Value value) {
    if (reg::Value* existing = reg::FindValue(key, value.name)) {
        *existing = std::move(value);
    } else {
        key.values.push_back(std::move(value));
    }
}

void Expect(const RegOptions& options, std::size_t least, std::size_t most, const char* usage) {
    const std::size_t count = options.positional.size() - 1;
    if (count < least || count > most) throw UsageError(std::string("usage: kxevent reg ") + usage);
}

int Import(const RegOptions& options) {
    Expect(options, 1, 1, "import FILE");
    const fs::path source = options.positional[1];
    const reg::Document incoming = LoadRegistryFile(source);
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
    std::size_t values = 0;
    for (const reg::Key& key : incoming.keys) {
        RefuseControlCharacters(key.path, "a key path of the imported file");
        for (const reg::Value& value : key.values) {
            RefuseControlCharacters(value.name, "a value name of the imported file");
        }
    }
    for (const reg::Key& key : incoming.keys) {
        reg::Key& destination = FindOrAddKey(document, key.path);
        for (const reg::Value& value : key.values) {
            SetValue(destination, value);
            ++values;
        }
    }
    SaveRegistryFile(target, document);
    std::cout << "imported " << incoming.keys.size() << " keys and " << values << " values into "
              << target.string() << "\n";
    return kExitOk;
}

int Export(const RegOptions& options) {
    Expect(options, 0, 1, "export [KEY] [--output FILE]");
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
    if (options.positional.size() == 2) {
        const std::string root = NormalizeKeyPath(options.positional[1]);
        std::erase_if(document.keys, [&](const reg::Key& key) { return !IsUnder(key.path, root); });
        if (document.keys.empty()) {
            throw RuntimeError("no key " + root + " in " + target.string());
        }
    }
    const std::string text = reg::Serialize(document);
    if (options.output) {
        SaveTextAtomically(*options.output, text);
    } else {
        std::cout << text;
    }
    return kExitOk;
}

int Query(const RegOptions& options) {
    Expect(options, 1, 2, "query KEY [NAME]");
    const fs::path target = TargetFile(options);
    const reg::Document document = LoadOrEmpty(target);
    const std::string path = NormalizeKeyPath(options.positional[1]);
    const reg::Key* key = reg::FindKey(document, path);
    if (key == nullptr) throw RuntimeError("no key " + path + " in " + target.string());
    bool shown = false;
    for (const reg::Value& value : key->values) {
        if (options.positional.size() == 3 &&
            !SameNameIgnoringCase(value.name, ValueNameArgument(options.positional[2]))) {
            continue;
        }
        std::cout << (value.name.empty() ? "@" : value.name) << "\t" << TypeName(value.type) << "\t"
                  << ShowData(value) << "\n";
        shown = true;
    }
    if (options.positional.size() == 3 && !shown) {
        throw RuntimeError("no value '" + options.positional[2] + "' in " + path);
    }
    for (const reg::Key& other : document.keys) {
        if (IsUnder(other.path, path) && other.path.size() > path.size()) {
            if (options.positional.size() == 2) std::cout << "[" << other.path << "]\n";
        }
    }
    return kExitOk;
}

int Set(const RegOptions& options) {
    Expect(options, 3, 3, "set KEY NAME VALUE [--type sz|expand_sz|dword|binary]");
    const reg::Value value = MakeValue(options.positional[2], options.positional[3], options.type);
    CheckValueRule(NormalizeKeyPath(options.positional[1]), value);
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
    SetValue(FindOrAddKey(document, NormalizeKeyPath(options.positional[1])), value);
    SaveRegistryFile(target, document);
    return kExitOk;
}

int Delete(const RegOptions& options) {
    Expect(options, 1, 2, "delete KEY [NAME]");
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
    const std::string path = NormalizeKeyPath(options.positional[1]);
    if (options.positional.size() == 3) {
        reg::Key* key = reg::FindKey(document, path);
        const std::string name = ValueNameArgument(options.positional[2]);
        if (key == nullptr || reg::FindValue(*key, name) == nullptr) {
            throw RuntimeError("no value '" + options.positional[2] + "' in " + path);
        }
        std::erase_if(key->values, [&](const reg::Value& value) {
            return SameNameIgnoringCase(value.name, name);
        });
    } else {
        const std::size_t before = document.keys.size();
        std::erase_if(document.keys, [&](const reg::Key& key) { return IsUnder(key.path, path); });
        if (document.keys.size() == before) throw RuntimeError("no key " + path);
    }
    SaveRegistryFile(target, document);
    return kExitOk;
}

RegOptions ParseRegOptions(std::span<const std::string> args) {
    RegOptions options;
    std::size_t at = 0;
    ParseOptions(
        args, at, kRegOptions, {.verb = "reg", .doubleDashEnds = true},
        [&](const Option& option, const std::string& value) {
            switch (static_cast<RegOptionId>(option.id)) {
                case kFile:
                    options.file = value;
                    break;
                case kOutput:
                    options.output = value;
                    break;
                case kType:
                    options.type = value;
                    break;
            }
        },
        [&](const std::string& operand) { options.positional.push_back(operand); });
    if (options.positional.empty())
        throw UsageError("reg needs import, export, query, set or delete");
    return options;
}

}  // namespace

std::string RegHelp() {
    const std::string reg = "kxevent reg " + Synopsis(kRegOptions[kFile]) + " ";
    std::string text;
    text += "usage: " + reg + "import FILE\n";
    text += "       " + reg + "export [KEY] " + Synopsis(kRegOptions[kOutput]) + "\n";
    text += "       " + reg + "query KEY [NAME]\n";
    text += "       " + reg + "set KEY NAME VALUE " + Synopsis(kRegOptions[kType]) + "\n";
    text += "       " + reg + "delete KEY [NAME]\n";
    return text + "\n" + kRegAbout;
}

int RunRegCommand(std::span<const std::string> args) {
    const RegOptions options = ParseRegOptions(args.subspan(1));
    const std::string& command = options.positional.front();
    if (options.type && command != "set") throw UsageError("--type belongs to reg set");
    if (options.output && command != "export") throw UsageError("--output belongs to reg export");
    if (command == "import") return Import(options);
    if (command == "export") return Export(options);
    if (command == "query") return Query(options);
    if (command == "set") return Set(options);
    if (command == "delete") return Delete(options);
    throw UsageError("unknown reg command '" + command + "'");
}

}  // namespace kx::tool
