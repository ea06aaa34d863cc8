// collect_command.cpp: the options of "kxevent collect" and the process around the collector:
// signals that stop it between batches, its log lines on standard error (the journal, under
// systemd), and the alerting directory the registry names when no --dir is given.
#include "tools/kxevent/collect_command.h"

#include "tools/kxevent/errors.h"

#ifndef _WIN32
#include <csignal>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "collector/collector.h"
#include "tools/kxevent/event_library.h"
#include "tools/kxevent/registry_files.h"
#include "tools/kxevent/send_command.h"
#endif

namespace kx::tool {

const char kCollectHelp[] =
    "usage: kxevent collect [--dir DIR]... --to relp://HOST:PORT\n"
    "                       [--tls-ca FILE [--tls-cert FILE --tls-key FILE]]\n"
    "                       [--once] [--keep DIR] [--state DIR] [--metrics FILE]\n"
    "\n"
    "Sends every central alert file (*.ALR, oldest number first) of the alerting directories\n"
    "as one RFC 5424 message over RELP, and removes a file only after the receiver acknowledged\n"
    "it. Entries that are not alert files go to bad/ beside them with a .why file.\n"
    "\n"
    "  --dir DIR       an alerting directory (repeatable); default: the registry's\n"
    "                  \"Centralized Alerting Path\"\n"
    "  --to URL        the receiver, relp://HOST:PORT\n"
    "  --tls-ca FILE   use TLS; the receiver's certificate must chain to this CA\n"
    "  --tls-cert FILE, --tls-key FILE\n"
    "                  the collector's own certificate and key, for receivers that ask\n"
    "  --once          send what is there and exit: 0 when every file was acknowledged\n"
    "  --keep DIR      move acknowledged files into DIR (same file system) instead of\n"
    "                  removing them\n"
    "  --state DIR     holds the lock that keeps a second collector with the same DIR away\n"
    "  --metrics FILE  counters in the Prometheus text format, replaced atomically\n"
    "\n"
    "Without --once it watches the directories (inotify, and a rescan every 5 s for shared\n"
    "directories) until SIGTERM or SIGINT. Exit status: 0 success, 1 failure, 2 usage error.\n";

#ifdef _WIN32

int RunCollectCommand(std::span<const std::string>) {
    throw RuntimeError("collect is available on Linux only");
}

#else

namespace {

namespace fs = std::filesystem;

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

collect::CollectorOptions ParseCollectOptions(std::span<const std::string> args) {
    collect::CollectorOptions options;
    std::optional<std::string> to;
    auto value = [&](std::size_t& i) -> const std::string& {
        if (i + 1 >= args.size()) throw UsageError(args[i] + " needs a value");
        return args[++i];
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--dir") {
            options.directories.emplace_back(value(i));
        } else if (arg == "--to") {
            to = value(i);
        } else if (arg == "--tls-ca") {
            options.target.tlsCa = value(i);
        } else if (arg == "--tls-cert") {
            options.target.tlsCert = value(i);
        } else if (arg == "--tls-key") {
            options.target.tlsKey = value(i);
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--keep") {
            options.keep = fs::path(value(i));
        } else if (arg == "--state") {
            options.state = fs::path(value(i));
        } else if (arg == "--metrics") {
            options.metrics = fs::path(value(i));
        } else {
            throw UsageError("unknown option '" + arg + "' for collect");
        }
    }
    if (!to) throw UsageError("collect needs --to relp://HOST:PORT");
    try {
        const collect::RelpTarget parsed = collect::ParseRelpUrl(*to);
        options.target.host = parsed.host;
        options.target.port = parsed.port;
    } catch (const std::invalid_argument& error) {
        throw UsageError("--to " + *to + ": " + error.what());
    }
    if (options.target.tlsCert.has_value() != options.target.tlsKey.has_value())
        throw UsageError("--tls-cert and --tls-key go together");
    if (options.target.tlsCert && !options.target.tlsCa)
        throw UsageError("--tls-cert needs --tls-ca");
    return options;
}

fs::path RegistryAlertDirectory() {
    const RegistryChoice registry = SelectRegistry(FindLibraryDirectory());
    const AlertSettings settings = ReadAlertSettings(registry.file);
    if (!settings.directory)
        throw RuntimeError("no --dir given and " + registry.file.string() +
                           " names no \"Centralized Alerting Path\"");
    return *settings.directory;
}

}  // namespace

int RunCollectCommand(std::span<const std::string> args) {
    collect::CollectorOptions options = ParseCollectOptions(args);
    if (options.directories.empty()) options.directories.push_back(RegistryAlertDirectory());
    InstallSignals();
    const collect::LogFn log = [](const std::string& line) {
        std::cerr << "kxevent collect: " << line << std::endl;
    };
    try {
        collect::Collector collector(std::move(options), log);
        return collector.Run(stopRequested) == 0 ? kExitOk : kExitFailure;
    } catch (const std::system_error& error) {
        throw RuntimeError(error.what());
    }
}

#endif

}  // namespace kx::tool
