// collect_command.cpp: the options of "kxevent collect" and the process around the collector:
// signals that stop it once what is in flight was answered, its log lines on standard error
// (the journal, under systemd), and the alerting directory the registry names when no --dir is
// given.
#include <string>

#include "common/utf8.h"
#include "tools/admin/errors.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/options.h"

#ifndef _WIN32
#include <csignal>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "collector/collector.h"
#include "tools/admin/event_library.h"
#include "tools/admin/registry_files.h"
#endif

namespace kx::tool {

namespace {

enum CollectOptionId {
    kDir,
    kTo,
    kTlsCa,
    kTlsCert,
    kTlsKey,
    kTlsPeer,
    kTlsPin,
    kOnce,
    kKeep,
    kState,
    kMetrics
};

constexpr Option kCollectOptions[] = {
    {kDir, "--dir", "DIR", "an alerting directory (repeatable; default: the registry's one)"},
    {kTo, "--to", "URL", "the receiver, relp://HOST:PORT"},
    {kTlsCa, "--tls-ca", "FILE",
     "use TLS; the receiver needs a certificate of this CA for its --to host"},
    {kTlsCert, "--tls-cert", "FILE", "the collector's own certificate, for receivers that ask"},
    {kTlsKey, "--tls-key", "FILE", "the key of that certificate"},
    {kTlsPeer, "--tls-peer", "NAME",
     "accept a certificate for this name or address too (repeatable)"},
    {kTlsPin, "--tls-pin", "SHA256",
     "accept only the certificate of this fingerprint (repeatable)"},
    {kOnce, "--once", "", "send what is there and exit: 0 when every file was acknowledged"},
    {kKeep, "--keep", "DIR", "move acknowledged files into DIR (same file system)"},
    {kState, "--state", "DIR", "holds the lock that keeps a second collector away"},
    {kMetrics, "--metrics", "FILE", "counters in the Prometheus text format, replaced atomically"},
};

constexpr char kCollectAbout[] =
    "Sends every central alert file (*.ALR, oldest number first) of the alerting directories\n"
    "as one RFC 5424 message over RELP, and removes a file only after the receiver acknowledged\n"
    "it. Entries that are not alert files go to bad/ beside them with a .why file. Without\n"
    "--dir, the registry's \"Centralized Alerting Path\" is collected.\n";

constexpr char kCollectWatching[] =
    "Without --once it watches the directories (inotify, and a rescan every 5 s for shared\n"
    "directories) until SIGTERM or SIGINT. Exit status: 0 success, 1 failure, 2 usage error.\n";

std::string CollectUsage() {
    const auto& o = kCollectOptions;
    return "usage: kxevent collect " + Synopsis(o[kDir], true) + " " + Spelled(o[kTo]) +
           "\n                       [" + Spelled(o[kTlsCa]) + " [" + Spelled(o[kTlsCert]) + " " +
           Spelled(o[kTlsKey]) + "]\n                        " + Synopsis(o[kTlsPeer], true) + " " +
           Synopsis(o[kTlsPin], true) + "]\n                       " + Synopsis(o[kOnce]) + " " +
           Synopsis(o[kKeep]) + " " + Synopsis(o[kState]) + " " + Synopsis(o[kMetrics]);
}

}  // namespace

std::span<const Option> CollectOptionTable() {
    return kCollectOptions;
}

std::string CollectHelp() {
    return CollectUsage() + "\n\n" + kCollectAbout + "\n" + FormatOptionList(kCollectOptions) +
           "\n" + kCollectWatching;
}

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
    std::size_t at = 0;
    ParseOptions(
        args, at, kCollectOptions, {.verb = "collect", .operands = false},
        [&](const Option& option, const std::string& value) {
            switch (option.id) {
                case kDir:
                    options.directories.emplace_back(value);
                    break;
                case kTo:
                    to = value;
                    break;
                case kTlsCa:
                    options.target.tlsCa = value;
                    break;
                case kTlsCert:
                    options.target.tlsCert = value;
                    break;
                case kTlsKey:
                    options.target.tlsKey = value;
                    break;
                case kTlsPeer:
                    if (value.empty() || value.find_first_of(" \t\r\n/") != std::string::npos)
                        throw UsageError("--tls-peer " + value +
                                         ": expected a DNS name or an IP address");
                    options.target.tlsPeers.push_back(value);
                    break;
                case kTlsPin:
                    try {
                        options.target.tlsFingerprints.push_back(collect::ParseFingerprint(value));
                    } catch (const std::invalid_argument& error) {
                        throw UsageError("--tls-pin " + value + ": " + error.what());
                    }
                    break;
                case kOnce:
                    options.once = true;
                    break;
                case kKeep:
                    options.keep = fs::path(value);
                    break;
                case kState:
                    options.state = fs::path(value);
                    break;
                case kMetrics:
                    options.metrics = fs::path(value);
                    break;
            }
        });
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
    if (!options.target.tlsPeers.empty() && !options.target.tlsCa)
        throw UsageError("--tls-peer needs --tls-ca");
    if (!options.target.tlsFingerprints.empty() && !options.target.tlsCa)
        throw UsageError("--tls-pin needs --tls-ca");
    return options;
}

fs::path RegistryAlertDirectory() {
    const RegistryChoice registry = SelectTrustedRegistry(FindLibraryDirectory());
    const AlertSettings settings = ReadAlertSettings(registry.file);
    if (!settings.directory)
        throw RuntimeError("no --dir given and " + registry.file.string() +
                           " names no \"Centralized Alerting Path\"");
    return *settings.directory;
}

}  // namespace

int RunCollectCommand(std::span<const std::string> command) {
    collect::CollectorOptions options = ParseCollectOptions(command.subspan(1));
    if (options.directories.empty()) options.directories.push_back(RegistryAlertDirectory());
    InstallSignals();
    const collect::LogFn log = [](const std::string& line) {
        std::cerr << "kxevent collect: " << ForPerson(line) << std::endl;
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
