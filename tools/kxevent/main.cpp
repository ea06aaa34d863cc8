// main.cpp: the kxevent command: a command-line host of KXEvent.DLL and the administrator's
// tool for its registry file and alert files. The verbs live in the table of commands.cpp.
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "tools/admin/errors.h"
#include "tools/kxevent/commands.h"

#ifndef KXEVENT_VERSION
#define KXEVENT_VERSION "0.0.0"
#endif

namespace kx::tool {
namespace {

bool WantsHelp(std::span<const std::string> args) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command given; try kxevent --help");
    const std::string& name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        std::cout << MainHelp();
        return kExitOk;
    }
    if (name == "--version") {
        std::cout << "kxevent " << KXEVENT_VERSION << "\n";
        return kExitOk;
    }
    const Command* command = FindCommand(name);
    if (command == nullptr) throw UsageError("unknown command '" + name + "'; try kxevent --help");
    if (WantsHelp(std::span<const std::string>(args).subspan(1))) {
        std::cout << command->help();
        return kExitOk;
    }
    return command->run(args);
}

}  // namespace
}  // namespace kx::tool

int main(int argc, char** argv) {
    using namespace kx::tool;
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        // Messages quote arguments, paths and registry texts: shown with their controls escaped.
        std::cerr << "kxevent: " << kx::ForPerson(error.what()) << "\n";
        return kExitUsage;
    } catch (const std::exception& error) {
        std::cerr << "kxevent: " << kx::ForPerson(error.what()) << "\n";
        return kExitFailure;
    }
}
