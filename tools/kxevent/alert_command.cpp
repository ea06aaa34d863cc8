// alert_command.cpp: "kxevent alert show": printing central alert files as a table or as JSON.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/alert_file.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/options.h"

namespace kx::tool {

namespace {

namespace fs = std::filesystem;

constexpr char kAlertAbout[] =
    "Prints a central alert file, or every *.ALR file of a directory, as a table of keys and\n"
    "values or, with --json, as JSON (one object per file; an array for a directory).\n"
    "A malformed file is refused with the number of the line that is wrong.\n";

enum AlertOptionId { kJson };

constexpr Option kAlertOptions[] = {
    {kJson, "--json", "", "as JSON", OptionLayout::kUnlisted},
};

std::string AlertUsage() {
    return "usage: kxevent alert show " + Synopsis(kAlertOptions[kJson]) + " FILE|DIR";
}

std::vector<fs::path> AlertFilesOf(const fs::path& target) {
    std::error_code error;
    if (!fs::is_directory(target, error)) {
        if (!fs::exists(target, error)) throw RuntimeError(target.string() + " does not exist");
        return {target};
    }
    std::vector<fs::path> files = ListAlertFiles(target, error);
    if (error) throw RuntimeError("cannot list " + target.string() + ": " + error.message());
    return files;
}

}  // namespace

std::span<const Option> AlertOptionTable() {
    return kAlertOptions;
}

std::string AlertHelp() {
    return AlertUsage() + "\n\n" + kAlertAbout;
}

int RunAlertCommand(std::span<const std::string> command) {
    const std::span<const std::string> args = command.subspan(1);
    if (args.empty() || args[0] != "show") throw UsageError(AlertUsage());
    bool json = false;
    std::vector<std::string> targets;
    std::size_t at = 1;
    ParseOptions(
        args, at, kAlertOptions, {.verb = "alert show"},
        [&](const Option&, const std::string&) { json = true; },
        [&](const std::string& operand) { targets.push_back(operand); });
    if (targets.size() != 1) throw UsageError("alert show needs one FILE or DIR");
    const bool directory = fs::is_directory(targets[0]);
    const std::vector<fs::path> files = AlertFilesOf(targets[0]);
    int status = kExitOk;
    std::vector<std::string> objects;
    for (const fs::path& file : files) {
        try {
            const AlertFile alert = ParseAlertFile(ReadWholeFile(file), file.string());
            if (json) {
                objects.push_back(FormatAlertJson(alert, file.string()));
            } else {
                std::cout << (&file == &files.front() ? "" : "\n") << "# "
                          << ForPerson(file.string()) << "\n"
                          << FormatAlertTable(alert);
            }
        } catch (const RuntimeError& error) {
            std::cerr << "kxevent: " << ForPerson(error.what()) << "\n";
            status = kExitFailure;
        }
    }
    if (json && directory) {
        std::cout << "[";
        for (std::size_t i = 0; i < objects.size(); ++i)
            std::cout << (i ? ",\n " : "") << objects[i];
        std::cout << "]\n";
    } else if (json && !objects.empty()) {
        std::cout << objects.front() << "\n";
    }
    return status;
}

}  // namespace kx::tool
