// main.cpp: the kxevent command: a command-line host of KXEvent.DLL and the administrator's
// tool for its registry file and alert files.
#include <filesystem>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "tools/kxevent/alert_file.h"
#include "tools/kxevent/collect_command.h"
#include "tools/kxevent/errors.h"
#include "tools/kxevent/event_library.h"
#include "tools/kxevent/reg_command.h"
#include "tools/kxevent/registry_files.h"
#include "tools/kxevent/send_command.h"

#ifndef KXEVENT_VERSION
#define KXEVENT_VERSION "0.0.0"
#endif

namespace kx::tool {
namespace {

namespace fs = std::filesystem;

constexpr char kMainHelp[] =
    "usage: kxevent COMMAND [OPTIONS]\n"
    "\n"
    "  send        send an event through KXEvent.DLL and show the alert file it wrote\n"
    "  query       print an event's long description from the catalogue\n"
    "  resend      send the last populated event again (chain after send with --then)\n"
    "  alert show  print central alert files as a table or as JSON\n"
    "  reg         import, export, query, set or delete registry values\n"
    "  collect     send central alert files to a RELP receiver, removing each once acknowledged\n"
    "\n"
    "  --help      this text; COMMAND --help for a command's options\n"
    "  --version   the version of kxevent\n"
    "\n"
    "Environment: VEL_REGISTRY (registry file), KXEVENT_LIBRARY_DIR (directory of\n"
    "KXEvent.DLL), XDG_STATE_HOME (where the built-in default registry is installed).\n"
    "Exit status: 0 success, 1 send or runtime failure, 2 usage error.\n";

constexpr char kAlertHelp[] =
    "usage: kxevent alert show [--json] FILE|DIR\n"
    "\n"
    "Prints a central alert file, or every *.ALR file of a directory, as a table of keys and\n"
    "values or, with --json, as JSON (one object per file; an array for a directory).\n"
    "A malformed file is refused with the number of the line that is wrong.\n";

bool WantsHelp(std::span<const std::string> args) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

int RunSendCommands(std::span<const std::string> args) {
    const std::vector<SendStep> steps = ParseSteps(args);
    const fs::path libraryDirectory = FindLibraryDirectory();
    const RegistryChoice registry = SelectRegistry(libraryDirectory);
    std::error_code ignored;
    if (!fs::exists(registry.file, ignored)) {
        throw RuntimeError("registry file " + registry.file.string() +
                           " (VEL_REGISTRY) does not exist");
    }
    const AlertSettings alerts = ReadAlertSettings(registry.file);  // also refuses a bad file
    EventLibrary library(libraryDirectory);
    return RunSteps(steps, library, alerts);
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

int RunAlertShow(std::span<const std::string> args) {
    if (args.empty() || args[0] != "show")
        throw UsageError("usage: kxevent alert show [--json] FILE|DIR");
    bool json = false;
    std::vector<std::string> targets;
    for (const std::string& arg : args.subspan(1)) {
        if (arg == "--json") {
            json = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError("unknown option '" + arg + "' for alert show");
        } else {
            targets.push_back(arg);
        }
    }
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
                std::cout << (&file == &files.front() ? "" : "\n") << "# " << file.string() << "\n"
                          << FormatAlertTable(alert);
            }
        } catch (const RuntimeError& error) {
            std::cerr << "kxevent: " << error.what() << "\n";
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

const char* HelpOf(const std::string& command) {
    if (command == "send" || command == "query" || command == "resend") return kSendHelp;
    if (command == "alert") return kAlertHelp;
    if (command == "reg") return kRegHelp;
    if (command == "collect") return kCollectHelp;
    return nullptr;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command given; try kxevent --help");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kMainHelp;
        return kExitOk;
    }
    if (command == "--version") {
        std::cout << "kxevent " << KXEVENT_VERSION << "\n";
        return kExitOk;
    }
    const char* help = HelpOf(command);
    if (help == nullptr) throw UsageError("unknown command '" + command + "'; try kxevent --help");
    const std::span<const std::string> rest(args.begin() + 1, args.end());
    if (WantsHelp(rest)) {
        std::cout << help;
        return kExitOk;
    }
    if (command == "alert") return RunAlertShow(rest);
    if (command == "reg") return RunRegCommand(rest);
    if (command == "collect") return RunCollectCommand(rest);
    return RunSendCommands(args);
}

}  // namespace
}  // namespace kx::tool

int main(int argc, char** argv) {
    using namespace kx::tool;
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "kxevent: " << error.what() << "\n";
        return kExitUsage;
    } catch (const std::exception& error) {
        std::cerr << "kxevent: " << error.what() << "\n";
        return kExitFailure;
    }
}
