// collect_command_posix.cpp: the process around the collector on Linux: signals that stop it
// once what is in flight was answered, and its RELP receivers.
#include <atomic>
#include <csignal>
#include <memory>

#include "tools/kxevent/collect_command.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/terminal.h"

namespace kx::tool {

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int) {
    stopRequested = true;
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int RunCollectCommand(std::span<const std::string> args) {
    CollectCommand command = ParseCollectCommand(args.subspan(1));
    CompleteFromRegistry(command.options);
    InstallSignals();
    const auto terminal = std::make_shared<CollectLog>();
    const collect::LogFn log = [terminal](const std::string& line) { terminal->Log(line); };
    auto sinks = collect::RelpSinks(command.options);
    return RunCollector(std::move(command), std::move(sinks), stopRequested, log,
                        StandardErrorIsTerminal() ? terminal : nullptr);
}

}  // namespace kx::tool
