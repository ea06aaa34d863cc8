// reg_command.cpp: importing, exporting, querying and changing the registry file.
#include <iostream>
#include <optional>

#include "common/names.h"
#include "common/registry.h"
#include "common/utf8.h"
#include "tools/admin/errors.h"
#include "tools/admin/event_library.h"
#include "tools/admin/registry_edit.h"
#include "tools/admin/registry_files.h"
#include "tools/admin/value_rules.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/options.h"
#include "tools/kxevent/terminal.h"

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

void Expect(const RegOptions& options, std::size_t least, std::size_t most, const char* usage) {
    const std::size_t count = options.positional.size() - 1;
    if (count < least || count > most) throw UsageError(std::string("usage: kxevent reg ") + usage);
}

int Import(const RegOptions& options) {
    Expect(options, 1, 1, "import FILE");
    const fs::path source = options.positional[1];
    std::vector<reg::Deletion> deletions;
    const reg::Document incoming = LoadRegistryFile(source, &deletions);
    CheckImport(incoming, deletions, source.string());
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
    const ImportSummary summary = MergeImport(document, incoming, deletions);
    SaveRegistryFile(target, document);
    for (const std::string& line : summary.removals) std::cout << ForPerson(line) << "\n";
    std::cout << "imported " << incoming.keys.size() << " keys and " << summary.values
              << " values into " << ForPerson(target.string()) << "\n";
    return kExitOk;
}

int Export(const RegOptions& options) {
    Expect(options, 0, 1, "export [KEY] [--output FILE]");
    ReadOnlyRegistry registry = ReadForQuery(options);
    reg::Document& document = registry.document;
    if (options.positional.size() == 2) {
        const std::string root = NormalizeKeyPath(options.positional[1], RootUse::kAllowed);
        if (KeepOnlyKey(document, root) == 0) {
            throw RuntimeError("no key " + root + " in " + registry.name);
        }
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
    SetValue(document, path, value);
    SaveRegistryFile(target, document);
    return kExitOk;
}

int Delete(const RegOptions& options) {
    Expect(options, 1, 2, "delete KEY [NAME]");
    const std::string path = NormalizeKeyPath(options.positional[1]);
    const fs::path target = TargetFile(options);
    reg::Document document = LoadOrEmpty(target);
    if (options.positional.size() == 3) {
        if (!RemoveValue(document, path, ValueNameArgument(options.positional[2]))) {
            throw RuntimeError("no value '" + options.positional[2] + "' in " + path);
        }
    } else if (RemoveKey(document, path) == 0) {
        throw RuntimeError("no key " + path);
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
    if (SystemRegistryIsLive()) {
        // The library reads the machine's registry here, never a file: editing one changes
        // nothing it sees, and the system's own tool edits the registry.
        const std::string view = LiveRegistryViewOption();
        throw UsageError(
            "kxevent reg edits registry files, which KXEvent.DLL does not read on Windows: it "
            "reads " +
            LiveRegistryName() + "; use reg.exe in that view, e.g. reg query \"HKLM\\" +
            kSharedComponentsKey + "\" /s " + view + ", reg add, reg delete or reg import FILE " +
            view + " (kxevent doctor checks the result)");
    }
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
