// collect_command.cpp: the options of "kxevent collect" and the process around the collector:
// signals that stop it once what is in flight was answered, its log lines on standard error
// (the journal, under systemd), and the alerting directory the registry names when no --dir is
// given.
#include <string>

#include "common/utf8.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/errors.h"
#include "tools/kxevent/options.h"

#ifndef _WIN32
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "collector/collector.h"
#include "tools/kxevent/event_library.h"
#include "tools/kxevent/registry_files.h"
#include "tools/kxevent/send_command.h"
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
    kMetrics,
    kVerbose
};

constexpr Option kCollectOptions[] = {
    {kDir, "--dir", "DIR", "an alerting directory (repeatable; default: the registry's one)"},
    {kTo, "--to", "URL", "the receiver, relp://HOST:PORT; again: receivers to fail over to"},
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
    {kVerbose, "--verbose", "", "(-v) log every session and every acknowledged file",
     OptionLayout::kLine, "-v"},
};

constexpr char kCollectAbout[] =
    "Sends every central alert file (*.ALR, oldest number first) of the alerting directories\n"
    "as one RFC 5424 message over RELP, and removes a file only after the receiver acknowledged\n"
    "it. Entries that are not alert files go to bad/ beside them with a .why file. Without\n"
    "--dir, the registry's \"Centralized Alerting Path\" is collected. With several --to, alerts\n"
    "go to the first receiver that answers; a failed session fails over to the next.\n";

constexpr char kCollectWatching[] =
    "Without --once it watches the directories (inotify, and a rescan every 5 s for shared\n"
    "directories) until SIGTERM or SIGINT. Exit status: 0 success, 1 failure, 2 usage error.\n";

std::string CollectUsage() {
    const auto& o = kCollectOptions;
    return "usage: kxevent collect " + Synopsis(o[kDir], true) + " " + Spelled(o[kTo]) + " " +
           Synopsis(o[kTo], true) + " " + Synopsis(o[kVerbose]) + "\n                       [" +
           Spelled(o[kTlsCa]) + " [" + Spelled(o[kTlsCert]) + " " + Spelled(o[kTlsKey]) +
           "]\n                        " + Synopsis(o[kTlsPeer], true) + " " +
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
    std::vector<std::string> to;
    std::size_t at = 0;
    ParseOptions(
        args, at, kCollectOptions, {.verb = "collect", .operands = false},
        [&](const Option& option, const std::string& value) {
            switch (option.id) {
                case kDir:
                    options.directories.emplace_back(value);
                    break;
                case kTo:
                    to.push_back(value);
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
                case kVerbose:
                    options.verbose = true;
                    break;
            }
        });
    if (to.empty()) throw UsageError("collect needs --to relp://HOST:PORT");
    for (const std::string& url : to) {
        collect::RelpTarget parsed;
        try {
            parsed = collect::ParseRelpUrl(url);
        } catch (const std::invalid_argument& error) {
            throw UsageError("--to " + url + ": " + error.what());
        }
        if (&url == &to.front()) {
            options.target.host = parsed.host;
            options.target.port = parsed.port;
            continue;
        }
        // Every receiver is checked as the first is, its own host standing for --to's.
        collect::RelpTarget alternate = options.target;
        alternate.host = parsed.host;
        alternate.port = parsed.port;
        for (const collect::RelpTarget& seen : options.alternates)
            if (collect::RelpUrl(seen) == collect::RelpUrl(alternate))
                throw UsageError("--to " + url + " is given twice");
        if (collect::RelpUrl(alternate) == collect::RelpUrl(options.target))
            throw UsageError("--to " + url + " is given twice");
        options.alternates.push_back(std::move(alternate));
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

// Standard error as a terminal: a progress line rewritten in place, wiped before a log line.
class ProgressLine {
  public:
    void Show(const collect::CollectProgress& progress) {
        char text[160];
        std::snprintf(text, sizeof text, "kxevent collect: %llu of %llu alerts sent, %.0f a second",
                      static_cast<unsigned long long>(progress.sent),
                      static_cast<unsigned long long>(progress.waiting),
                      std::floor(progress.perSecond));
        std::string line = text;
        if (progress.done) {
            std::snprintf(text, sizeof text, ", in %.1f s", progress.seconds);
            line += text;
        }
        const std::lock_guard lock(mutex_);
        std::string shown = "\r" + line;
        if (line.size() < shown_) shown.append(shown_ - line.size(), ' ');
        std::cerr << shown << (progress.done ? "\n" : "") << std::flush;
        shown_ = progress.done ? 0 : line.size();
    }

    void Log(const std::string& line) {
        const std::lock_guard lock(mutex_);
        if (shown_ != 0) std::cerr << "\r" << std::string(shown_, ' ') << "\r";
        shown_ = 0;
        std::cerr << "kxevent collect: " << ForPerson(line) << std::endl;
    }

  private:
    std::mutex mutex_;
    std::size_t shown_ = 0;  // characters of the progress line on the screen
};

}  // namespace

int RunCollectCommand(std::span<const std::string> command) {
    collect::CollectorOptions options = ParseCollectOptions(command.subspan(1));
    if (options.directories.empty()) options.directories.push_back(RegistryAlertDirectory());
    InstallSignals();
    // Progress only for a person watching a drain; the journal or a pipe gets the log alone.
    const auto terminal = std::make_shared<ProgressLine>();
    if (options.once && ::isatty(STDERR_FILENO) == 1)
        options.progress = [terminal](const collect::CollectProgress& progress) {
            terminal->Show(progress);
        };
    const collect::LogFn log = [terminal](const std::string& line) { terminal->Log(line); };
    try {
        collect::Collector collector(std::move(options), log);
        return collector.Run(stopRequested) == 0 ? kExitOk : kExitFailure;
    } catch (const std::system_error& error) {
        throw RuntimeError(error.what());
    }
}

#endif

}  // namespace kx::tool
