// collect_command_posix.cpp: the process around the collector: signals that stop it once what
// is in flight was answered, its log lines on standard error (the journal, under systemd), and
// the alerting directory the registry names when no --dir is given.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector/collector.h"
#include "common/syslog_names.h"
#include "common/utf8.h"
#include "tools/admin/errors.h"
#include "tools/admin/event_library.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/collect_command.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/options.h"

namespace kx::tool {

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
        args, at, CollectOptionTable(), {.verb = "collect", .operands = false},
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

// The registry the collector takes its settings from: an installed one (the system's for the
// service's user, who has no home), else, with no --dir to go by, a default of the user's own.
RegistryChoice CollectorRegistry() {
    if (std::optional<RegistryChoice> installed = FindInstalledRegistry())
        return TrustRegistry(*installed);
    return SelectTrustedRegistry(FindLibraryDirectory());
}

fs::path RegistryAlertDirectory() {
    const RegistryChoice registry = CollectorRegistry();
    const AlertSettings settings = ReadAlertSettings(registry.file);
    if (!settings.directory)
        throw RuntimeError("no --dir given and " + registry.file.string() +
                           " names no \"Centralized Alerting Path\"");
    return *settings.directory;
}

// FwdSyslog's enterprise number in the installed registry (a dword or decimal text), so that
// alerts and events carry one structured-data number; the default when there is no registry,
// it is refused, or it holds no number in range.
std::uint32_t RegistryEnterpriseNumber() {
    try {
        const std::optional<RegistryChoice> installed = FindInstalledRegistry();
        if (!installed) return kSyslogDefaultEnterprise;
        const reg::Document document = LoadRegistryFile(TrustRegistry(*installed).file);
        const reg::Key* key = reg::FindKey(document, kSyslogSettingsKey);
        const reg::Value* value = key ? reg::FindValue(*key, kSyslogEnterpriseValue) : nullptr;
        if (value == nullptr) return kSyslogDefaultEnterprise;
        std::optional<std::uint32_t> number;
        if (value->type == plat::kRegDword && value->data.size() == 4) {
            number = static_cast<std::uint32_t>(value->data[0] | value->data[1] << 8 |
                                                value->data[2] << 16 |
                                                std::uint32_t{value->data[3]} << 24);
        } else {
            number = ParseSyslogDecimal(ValueText(*value));
        }
        return number && kSyslogEnterpriseRange.Holds(*number) ? *number : kSyslogDefaultEnterprise;
    } catch (const std::exception&) {
        return kSyslogDefaultEnterprise;
    }
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
    options.enterpriseNumber = RegistryEnterpriseNumber();
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

}  // namespace kx::tool
