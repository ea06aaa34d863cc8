// reg_command.cpp: importing, exporting, querying and changing the registry file.
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <optional>

#include "common/names.h"
#include "common/utf8.h"
#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/event_library.h"
#include "tools/admin/numbers.h"
#include "tools/admin/registry_files.h"
#include "tools/admin/value_rules.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/options.h"

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
    "KEY is a path below HKEY_LOCAL_MACHINE (the prefix HKEY_LOCAL_MACHINE\\ or HKLM\\ may be\n"
    "given; another root is refused); NAME \"@\" or \"\" is the unnamed value. query lists a\n"
    "key's values and then its subkeys. query and export only read: they install nothing and\n"
    "show the built-in default while the per-user default is not installed.\n"
    "import merges the keys and values of FILE (REGEDIT4 format) and carries out its deletions,\n"
    "[-KEY] (the key and every key below it) and \"NAME\"=- (one value), saying what each\n"
    "removed; a malformed FILE is refused and nothing changes. Changes are written to a\n"
    "temporary file that then replaces the registry file, so it is never left half-written;\n"
    "the file keeps its owner, group and mode, and a symbolic link is written through.\n"
    "binary values are given as hex bytes, \"01,02,ff\" or \"0102ff\".\n"
    "query, and export to a terminal, show control and bidirectional formatting characters of\n"
    "keys, names and values as escapes (\\x1b, \\n, \\u202e); export to a file (--output) or\n"
    "to a pipe writes the registry file's bytes unchanged.\n";

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

// The other roots' names and abbreviations: a path starting with one of them is not below
// HKEY_LOCAL_MACHINE, whatever the rest of it says.
bool NamesAnotherRoot(std::string_view first) {
    if (first.size() > 5 && SameNameIgnoringCase(first.substr(0, 5), "HKEY_")) return true;
    for (std::string_view abbreviation : {"HKCU", "HKCR", "HKU", "HKCC", "HKPD"}) {
        if (SameNameIgnoringCase(first, abbreviation)) return true;
    }
    return false;
}

enum class RootUse { kRefused, kAllowed };

// A key path as the registry file keeps it, below HKEY_LOCAL_MACHINE: the prefix
// "HKEY_LOCAL_MACHINE\" or "HKLM\" may be given, another root is refused. The root itself is
// the empty path, which only readers take.
std::string NormalizeKeyPath(std::string path, RootUse root = RootUse::kRefused) {
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

// Whether export's standard output reaches a person rather than a file or a pipe.
bool StandardOutputIsTerminal() {
#if defined(_WIN32)
    return ::_isatty(::_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) == 1;
#endif
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

// What query and export read: the file chosen as for a change, but nothing is installed; a
// per-user default not installed yet is read as it would be installed.
struct ReadOnlyRegistry {
    std::string name;  // for messages
    reg::Document document;
};

ReadOnlyRegistry ReadForQuery(const RegOptions& options) {
    if (options.file) return {options.file->string(), LoadOrEmpty(*options.file)};
    const RegistryChoice choice = FindRegistry();
    std::error_code ignored;
    const bool builtIn =
        choice.source == RegistrySource::UserDefault && !fs::exists(choice.file, ignored);
    return {builtIn ? "the built-in default registry" : choice.file.string(),
            ReadRegistryChoice(choice, FindLibraryDirectory())};
}

// The names of the keys directly below `path`, whether or not they have entries of their own,
// in order and each once.
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
    std::vector<reg::Deletion> deletions;
    const reg::Document incoming = LoadRegistryFile(source, &deletions);
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
            throw RuntimeError(source.string() + ": line " + std::to_string(deletion.line) +
                               ": HKEY_LOCAL_MACHINE itself cannot be removed");
        }
    }
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
    // Whatever a deletion removes stays removed unless a line of the file sets it again, and
    // the parsed file holds exactly what it sets and keeps: so the deletions go first, in
    // their order, and the file's keys and values are merged after them.
    std::vector<std::string> removals;
    for (const reg::Deletion& deletion : deletions) {
        removals.push_back(ApplyDeletion(document, deletion));
    }
    std::size_t values = 0;
    for (const reg::Key& key : incoming.keys) {
        reg::Key& destination = FindOrAddKey(document, key.path);
        for (const reg::Value& value : key.values) {
            SetValue(destination, value);
            ++values;
        }
    }
    SaveRegistryFile(target, document);
    for (const std::string& line : removals) std::cout << ForPerson(line) << "\n";
    std::cout << "imported " << incoming.keys.size() << " keys and " << values << " values into "
              << ForPerson(target.string()) << "\n";
    return kExitOk;
}

int Export(const RegOptions& options) {
    Expect(options, 0, 1, "export [KEY] [--output FILE]");
    ReadOnlyRegistry registry = ReadForQuery(options);
    reg::Document& document = registry.document;
    if (options.positional.size() == 2) {
        const std::string root = NormalizeKeyPath(options.positional[1], RootUse::kAllowed);
        std::erase_if(document.keys, [&](const reg::Key& key) { return !IsUnder(key.path, root); });
        if (document.keys.empty()) throw RuntimeError("no key " + root + " in " + registry.name);
    }
    const std::string text = reg::Serialize(document);
    if (options.output) {
        SaveTextAtomically(*options.output, text);
    } else if (StandardOutputIsTerminal()) {
        // A person reads it: the lines stay lines, nothing else of the file acts on the terminal.
        std::cout << ForPersonLines(text);
    } else {
        // Redirected, it is the file itself, byte for byte as --output writes it.
        std::cout << text;
    }
    return kExitOk;
}

int Query(const RegOptions& options) {
    Expect(options, 1, 2, "query KEY [NAME]");
    const std::string path = NormalizeKeyPath(options.positional[1], RootUse::kAllowed);
    const ReadOnlyRegistry registry = ReadForQuery(options);
    const reg::Key* key = reg::FindKey(registry.document, path);
    const std::vector<std::string> children = ChildKeys(registry.document, path);
    if (key == nullptr && children.empty()) {
        throw RuntimeError("no key " + path + " in " + registry.name);
    }
    const bool oneValue = options.positional.size() == 3;
    bool shown = false;
    for (const reg::Value& value : key ? key->values : std::vector<reg::Value>{}) {
        if (oneValue &&
            !SameNameIgnoringCase(value.name, ValueNameArgument(options.positional[2]))) {
            continue;
        }
        std::cout << (value.name.empty() ? "@" : ForPerson(value.name)) << "\t"
                  << TypeName(value.type) << "\t" << ForPerson(ShowData(value)) << "\n";
        shown = true;
    }
    if (oneValue) {
        if (!shown) throw RuntimeError("no value '" + options.positional[2] + "' in " + path);
        return kExitOk;
    }
    for (const std::string& child : children) {
        std::cout << "[" << ForPerson((path.empty() ? "" : path + "\\") + child) << "]\n";
    }
    return kExitOk;
}

int Set(const RegOptions& options) {
    Expect(options, 3, 3, "set KEY NAME VALUE [--type sz|expand_sz|dword|binary]");
    const std::string path = NormalizeKeyPath(options.positional[1]);
    const reg::Value value = MakeValue(options.positional[2], options.positional[3], options.type);
    CheckValueRule(NormalizeKeyPath(options.positional[1]), value);
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
    // The one place a value is about to be written: checks of a setting's value belong here.
    SetValue(FindOrAddKey(document, path), value);
    SaveRegistryFile(target, document);
    return kExitOk;
}

int Delete(const RegOptions& options) {
    Expect(options, 1, 2, "delete KEY [NAME]");
    const std::string path = NormalizeKeyPath(options.positional[1]);
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
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

std::span<const Option> RegOptionTable() {
    return kRegOptions;
}

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
