// alert_command.cpp: "kxevent alert list" and "alert show": the waiting central alerts, one
// line each, and central alert files printed as a table or as JSON, once or as they arrive.
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/alert_file.h"
#include "tools/kxevent/alert_list.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/directory_watch.h"
#include "tools/kxevent/options.h"

namespace kx::tool {

namespace {

namespace fs = std::filesystem;

constexpr char kAlertAbout[] =
    "list prints one line per alert waiting in DIR, lowest number first: its number, time\n"
    "(UTC), event, severity, virus and item; with --json one JSON object per line.\n"
    "show prints a central alert file, or the waiting ones of a directory (NUMBER.ALR, lowest\n"
    "number first), as a table of keys and values or, with --json, as JSON (one object per\n"
    "file; an array for a directory).\n"
    "With --follow it prints the alerts of the directory and then each new one as it arrives\n"
    "(with --json one object per line) until interrupted.\n"
    "Without FILE or DIR both take the alerting directory of the registry in use. A file the\n"
    "collector would set aside in bad/ is refused with the number of the line that is wrong.\n";

enum AlertOptionId { kJson, kFollow };

constexpr Option kAlertOptions[] = {
    {kJson, "--json", "", "as JSON", OptionLayout::kUnlisted},
    {kFollow, "--follow", "", "print new alerts as they arrive", OptionLayout::kUnlisted},
};

std::string AlertUsage() {
    return "usage: kxevent alert list " + Synopsis(kAlertOptions[kJson]) +
           " [DIR]\n       kxevent alert show " + Synopsis(kAlertOptions[kJson]) + " " +
           Synopsis(kAlertOptions[kFollow]) + " [FILE|DIR]";
}

struct AlertArguments {
    bool json = false;
    bool follow = false;
    fs::path target;
};

AlertArguments ParseAlertArguments(std::span<const std::string> args, bool show) {
    AlertArguments parsed;
    std::vector<std::string> targets;
    std::size_t at = 1;
    const std::span<const Option> options =
        show ? std::span<const Option>(kAlertOptions) : std::span<const Option>(kAlertOptions, 1);
    ParseOptions(
        args, at, options, {.verb = show ? "alert show" : "alert list"},
        [&](const Option& option, const std::string&) {
            (option.id == kJson ? parsed.json : parsed.follow) = true;
        },
        [&](const std::string& operand) { targets.push_back(operand); });
    if (targets.size() > 1) {
        throw UsageError(show ? "alert show takes one FILE or DIR" : "alert list takes one DIR");
    }
    parsed.target = targets.empty() ? RegistryAlertingDirectory() : fs::path(targets[0]);
    return parsed;
}

int RunAlertList(std::span<const std::string> args) {
    const AlertArguments parsed = ParseAlertArguments(args, false);
    std::error_code error;
    if (!fs::is_directory(parsed.target, error)) {
        throw RuntimeError(parsed.target.string() + " is not a directory");
    }
    int status = kExitOk;
    std::vector<AlertSummary> alerts;
    for (const fs::path& file : WaitingAlerts(parsed.target)) {
        try {
            alerts.push_back(Summarize(ReadAlert(file), file));
        } catch (const RuntimeError& failure) {
            if (!fs::exists(file, error)) continue;  // collected meanwhile
            std::cerr << "kxevent: " << ForPerson(failure.what()) << "\n";
            status = kExitFailure;
        }
    }
    if (parsed.json) {
        for (const AlertSummary& alert : alerts) std::cout << AlertSummaryJson(alert);
    } else {
        std::cout << FormatAlertList(alerts);
    }
    return status;
}

// Prints each alert of the directory once, then every new one as it arrives, until the
// process is stopped. A name seen again after it went away (collected, then reused) is new.
[[noreturn]] void FollowAlerts(const fs::path& directory, bool json) {
    DirectoryWatch watch(directory);
    std::set<fs::path> shown;
    bool first = true;
    for (;;) {
        std::set<fs::path> present;
        for (const fs::path& file : WaitingAlerts(directory)) {
            present.insert(file);
            if (shown.contains(file)) continue;
            try {
                const AlertFile alert = ReadAlert(file);
                if (json) {
                    std::cout << FormatAlertJson(alert, file.string()) << "\n";
                } else {
                    std::cout << (first ? "" : "\n") << "# " << ForPerson(file.string()) << "\n"
                              << FormatAlertTable(alert);
                }
                first = false;
            } catch (const RuntimeError& failure) {
                std::error_code error;
                if (!fs::exists(file, error)) continue;  // collected before it was read
                std::cerr << "kxevent: " << ForPerson(failure.what()) << "\n";
            }
            shown.insert(file);
            std::cout.flush();
        }
        std::erase_if(shown, [&](const fs::path& file) { return !present.contains(file); });
        watch.Wait();
    }
}

std::vector<fs::path> AlertFilesOf(const fs::path& target) {
    std::error_code error;
    if (!fs::is_directory(target, error)) {
        if (!fs::exists(target, error)) throw RuntimeError(target.string() + " does not exist");
        return {target};
    }
    return WaitingAlerts(target);
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
    if (!args.empty() && args[0] == "list") return RunAlertList(args);
    if (args.empty() || args[0] != "show") throw UsageError(AlertUsage());
    const AlertArguments parsed = ParseAlertArguments(args, true);
    const bool json = parsed.json;
    std::error_code error;
    const bool directory = fs::is_directory(parsed.target, error);
    if (parsed.follow) {
        if (!directory && !fs::exists(parsed.target, error)) {
            throw RuntimeError(parsed.target.string() + " does not exist");
        }
        if (!directory) throw UsageError("--follow needs a directory to watch, not a file");
        FollowAlerts(parsed.target, json);
    }
    const std::vector<fs::path> files = AlertFilesOf(parsed.target);
    int status = kExitOk;
    std::vector<std::string> objects;
    for (const fs::path& file : files) {
        try {
            const AlertFile alert = ReadAlert(file);
            if (json) {
                objects.push_back(FormatAlertJson(alert, file.string()));
            } else {
                std::cout << (&file == &files.front() ? "" : "\n") << "# "
                          << ForPerson(file.string()) << "\n"
                          << FormatAlertTable(alert);
            }
        } catch (const RuntimeError& failure) {
            std::cerr << "kxevent: " << ForPerson(failure.what()) << "\n";
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
