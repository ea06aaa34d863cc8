// commands.h: the verbs of the kxevent command, one table entry each. The main help and the
// dispatch both read the table, so a new verb is one entry and one source file of its own.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tools/kxevent/options.h"

namespace kx::tool {

struct Command {
    std::string_view name;     // what the user types first
    std::string_view label;    // as the main help lists it ("alert show")
    std::string_view summary;  // one line for the main help
    std::string (*help)();     // the text of "kxevent NAME --help"
    // Runs the verb on the command line from its name on (args[0] is the name). Returns the
    // exit status; throws UsageError or RuntimeError.
    int (*run)(std::span<const std::string> args);
    // The options the verb takes, for its manual page and the shell completion; null for none.
    std::span<const Option> (*options)() = nullptr;
    // The words one of which must come right after the name ("show" after alert), blank-separated.
    std::string_view subcommands{};
};

// Every verb, in the order the main help lists them.
std::span<const Command> Commands();

// The verb called `name`; null when there is none.
const Command* FindCommand(std::string_view name);

// The text of "kxevent --help".
std::string MainHelp();

// The verbs, each in its own file.
std::string SendHelp();  // send_command.cpp: send, query, resend
int RunSendCommand(std::span<const std::string> args);
std::span<const Option> SendOptionTable();
std::span<const Option> QueryOptionTable();
std::span<const Option> ResendOptionTable();
std::string AlertHelp();  // alert_command.cpp: alert list|show
int RunAlertCommand(std::span<const std::string> args);
std::span<const Option> AlertOptionTable();
std::string RegHelp();  // reg_command.cpp: reg import|export|query|set|delete
int RunRegCommand(std::span<const std::string> args);
std::span<const Option> RegOptionTable();
std::string EventsHelp();  // events_command.cpp: events
int RunEventsCommand(std::span<const std::string> args);
std::span<const Option> EventsOptionTable();
std::string CollectHelp();  // collect_command.cpp: collect
int RunCollectCommand(std::span<const std::string> args);
std::span<const Option> CollectOptionTable();
std::string DoctorHelp();  // doctor_command.cpp: doctor
int RunDoctorCommand(std::span<const std::string> args);
std::span<const Option> DoctorOptionTable();

}  // namespace kx::tool
