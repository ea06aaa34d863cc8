// commands.cpp: the table of kxevent's verbs and the main help made from it.
#include "tools/kxevent/commands.h"

#include <algorithm>
#include <array>

namespace kx::tool {

namespace {

constexpr std::size_t kLabelWidth = 12;

constexpr std::array kCommands = {
    Command{"send", "send", "send an event through KXEvent.DLL and show the alert file it wrote",
            SendHelp, RunSendCommand, SendOptionTable},
    Command{"query", "query", "print an event's long description from the catalogue", SendHelp,
            RunSendCommand, QueryOptionTable},
    Command{"resend", "resend",
            "send the last populated event again (chain after send with --then)", SendHelp,
            RunSendCommand, ResendOptionTable},
    Command{"alert", "alert", "list the waiting central alerts, or show them as a table or JSON",
            AlertHelp, RunAlertCommand, AlertOptionTable, "list show"},
    Command{"reg", "reg", "import, export, query, set or delete registry values", RegHelp,
            RunRegCommand, RegOptionTable, "import export query set delete"},
    Command{"events", "events", "list the catalogue's events: number, severity, short description",
            EventsHelp, RunEventsCommand, EventsOptionTable},
    Command{"collect", "collect",
            "send central alert files to a RELP receiver, removing each once acknowledged",
            CollectHelp, RunCollectCommand, CollectOptionTable},
    Command{"doctor", "doctor", "check the installation as KXEvent.DLL sees it and say what to fix",
            DoctorHelp, RunDoctorCommand, DoctorOptionTable},
};

std::string HelpLine(std::string_view label, std::string_view text) {
    std::string line = "  " + std::string(label);
    line.resize(std::max(line.size() + 1, 2 + kLabelWidth), ' ');
    return line + std::string(text) + "\n";
}

}  // namespace

std::span<const Command> Commands() {
    return kCommands;
}

const Command* FindCommand(std::string_view name) {
    const auto found = std::find_if(kCommands.begin(), kCommands.end(),
                                    [&](const Command& command) { return command.name == name; });
    return found == kCommands.end() ? nullptr : &*found;
}

std::string MainHelp() {
    std::string text = "usage: kxevent COMMAND [OPTIONS]\n\n";
    for (const Command& command : kCommands) text += HelpLine(command.label, command.summary);
    text += "\n";
    text += HelpLine("--help", "this text; COMMAND --help for a command's options");
    text += HelpLine("--version", "the version of kxevent");
    text +=
        "\n"
        "Environment: VEL_REGISTRY (registry file), KXEVENT_LIBRARY_DIR (directory of\n"
        "KXEvent.DLL), XDG_STATE_HOME (where the built-in default registry is installed).\n"
        "Exit status: 0 success, 1 send or runtime failure, 2 usage error.\n";
    return text;
}

}  // namespace kx::tool
