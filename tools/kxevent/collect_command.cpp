// collect_command.cpp: "kxevent collect" on every system: its options and help, the settings
// it takes from the registry, its log, and the run; the process around it (signals, the Windows
// service) is each system's (collect_command_posix.cpp, collect_command_win32.cpp).
#include "tools/kxevent/collect_command.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/syslog_names.h"
#include "common/utf8.h"
#include "platform/eventlog_ids.h"
#include "tools/admin/errors.h"
#include "tools/admin/event_library.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/options.h"

namespace kx::tool {

namespace {

constexpr Option kCollectOptions[] = {
    {kDir, "--dir", "DIR", "an alerting directory (repeatable; default: the registry's one)"},
    {kTo, "--to", "URL",
     "the receiver, relp://HOST:PORT; again: receivers to fail over to; on Windows: eventlog"},
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
    {kService, "--service", "",
     "(Windows) run as the service " KX_COLLECT_SERVICE_NAME ", logging to the event log"},
};

constexpr char kCollectAbout[] =
    "Sends every central alert file (*.ALR, oldest number first) of the alerting directories\n"
    "as one RFC 5424 message over RELP, and removes a file only after the receiver acknowledged\n"
    "it. Entries that are not alert files go to bad/ beside them with a .why file. Without\n"
    "--dir, the registry's \"Centralized Alerting Path\" is collected. With several --to, alerts\n"
    "go to the first receiver that answers; a failed session fails over to the next.\n"
    "On Windows the alerts go to the event log instead (--to eventlog): each one entry of the\n"
    "source \"" KX_EVENT_SOURCE_ALERTS "\", its event number as the event ID.\n";

constexpr char kCollectWatching[] =
    "Without --once it watches the directories (inotify, and a rescan every 5 s for shared\n"
    "directories) until SIGTERM or SIGINT (on Windows: Ctrl+C, or the service stopped). Exit\n"
    "status: 0 success, 1 failure, 2 usage error.\n";

std::string CollectUsage() {
    const auto& o = kCollectOptions;
    return "usage: kxevent collect " + Synopsis(o[kDir], true) + " " + Spelled(o[kTo]) + " " +
           Synopsis(o[kTo], true) + " " + Synopsis(o[kVerbose]) + "\n                       [" +
           Spelled(o[kTlsCa]) + " [" + Spelled(o[kTlsCert]) + " " + Spelled(o[kTlsKey]) +
           "]\n                        " + Synopsis(o[kTlsPeer], true) + " " +
           Synopsis(o[kTlsPin], true) + "]\n                       " + Synopsis(o[kOnce]) + " " +
           Synopsis(o[kKeep]) + " " + Synopsis(o[kState]) + " " + Synopsis(o[kMetrics]) + " " +
           Synopsis(o[kService]);
}

namespace fs = std::filesystem;

// The sink this build writes: the event log on Windows, RELP receivers elsewhere.
#if defined(_WIN32)
constexpr bool kEventLogBuild = true;
#else
constexpr bool kEventLogBuild = false;
#endif

// The receivers of --to, the first one's TLS settings standing for every other's.
void SetReceivers(collect::CollectorOptions& options, const std::vector<std::string>& to) {
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
}

void CheckTlsOptions(const collect::RelpTarget& target, bool eventLog) {
    const bool any = target.tlsCa || target.tlsCert || target.tlsKey || !target.tlsPeers.empty() ||
                     !target.tlsFingerprints.empty();
    if (eventLog && any)
        throw UsageError("the --tls options are for relp:// receivers, not --to eventlog");
    if (target.tlsCert.has_value() != target.tlsKey.has_value())
        throw UsageError("--tls-cert and --tls-key go together");
    if (target.tlsCert && !target.tlsCa) throw UsageError("--tls-cert needs --tls-ca");
    if (!target.tlsPeers.empty() && !target.tlsCa) throw UsageError("--tls-peer needs --tls-ca");
    if (!target.tlsFingerprints.empty() && !target.tlsCa)
        throw UsageError("--tls-pin needs --tls-ca");
}

// FwdSyslog's enterprise number in `document` (a dword or decimal text); the default when it
// holds none in range.
std::uint32_t EnterpriseNumber(const reg::Document& document) {
    const reg::Key* key = reg::FindKey(document, kSyslogSettingsKey);
    const reg::Value* value = key ? reg::FindValue(*key, kSyslogEnterpriseValue) : nullptr;
    if (value == nullptr) return kSyslogDefaultEnterprise;
    std::optional<std::uint32_t> number;
    if (value->type == plat::kRegDword && value->data.size() == 4) {
        number =
            static_cast<std::uint32_t>(value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                                       std::uint32_t{value->data[3]} << 24);
    } else {
        number = ParseSyslogDecimal(ValueText(*value));
    }
    return number && kSyslogEnterpriseRange.Holds(*number) ? *number : kSyslogDefaultEnterprise;
}

}  // namespace

std::span<const Option> CollectOptionTable() {
    return kCollectOptions;
}

std::string CollectHelp() {
    return CollectUsage() + "\n\n" + kCollectAbout + "\n" + FormatOptionList(kCollectOptions) +
           "\n" + kCollectWatching;
}

CollectCommand ParseCollectCommand(std::span<const std::string> args) {
    CollectCommand command;
    collect::CollectorOptions& options = command.options;
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
                case kService:
                    command.service = true;
                    break;
            }
        });
    if (to.empty())
        throw UsageError(kEventLogBuild ? "collect needs --to eventlog"
                                        : "collect needs --to relp://HOST:PORT");
    command.eventLog = to.front() == kEventLogSinkName;
    if (command.eventLog && to.size() > 1)
        throw UsageError("--to eventlog is the only receiver there is; give it once");
    if (command.eventLog && !kEventLogBuild)
        throw UsageError(
            "--to eventlog is the Windows event log, which only the Windows build writes; give "
            "relp://HOST:PORT");
    if (!command.eventLog && kEventLogBuild)
        throw UsageError(
            "--to " + to.front() +
            ": the Windows build sends alerts to the event log only (there is no RELP client "
            "for it); give --to eventlog");
    if (command.service && !kEventLogBuild)
        throw UsageError(
            "--service is for Windows; on Linux the systemd unit kxevent-collect.service runs "
            "the collector");
    if (command.service && options.once)
        throw UsageError("--service and --once do not go together: a service runs until stopped");
    if (!command.eventLog) SetReceivers(options, to);
    CheckTlsOptions(options.target, command.eventLog);
    return command;
}

void CompleteFromRegistry(collect::CollectorOptions& options) {
    const std::optional<RegistryChoice> installed = FindInstalledRegistry();
    if (options.directories.empty()) {
        // An installed registry (the system's for the service's user, who has no home), else a
        // default of the user's own.
        const RegistryChoice registry =
            installed ? TrustRegistry(*installed) : SelectTrustedRegistry(FindLibraryDirectory());
        const reg::Document document = LoadRegistryChoice(registry);
        const AlertSettings settings = ReadAlertSettings(document);
        if (!settings.directory)
            throw RuntimeError("no --dir given and " + registry.file.string() +
                               " names no \"Centralized Alerting Path\"");
        options.directories.push_back(*settings.directory);
        options.enterpriseNumber = EnterpriseNumber(document);
        return;
    }
    // With --dir, a registry that is missing or refused leaves the number at its default.
    try {
        if (installed)
            options.enterpriseNumber =
                EnterpriseNumber(LoadRegistryChoice(TrustRegistry(*installed)));
    } catch (const std::exception&) {
    }
}

void CollectLog::Show(const collect::CollectProgress& progress) {
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

void CollectLog::Log(const std::string& line) {
    const std::lock_guard lock(mutex_);
    if (shown_ != 0) std::cerr << "\r" << std::string(shown_, ' ') << "\r";
    shown_ = 0;
    std::cerr << "kxevent collect: " << ForPerson(line) << std::endl;
}

int RunCollector(CollectCommand command, std::vector<std::unique_ptr<collect::AlertSink>> sinks,
                 const std::atomic<bool>& stop, const collect::LogFn& log,
                 const std::shared_ptr<CollectLog>& terminal) {
    // Progress only for a person watching a drain; a log or a pipe gets the lines alone.
    if (terminal && command.options.once)
        command.options.progress = [terminal](const collect::CollectProgress& progress) {
            terminal->Show(progress);
        };
    try {
        collect::Collector collector(std::move(command.options), std::move(sinks), log);
        return collector.Run(stop) == 0 ? kExitOk : kExitFailure;
    } catch (const std::system_error& error) {
        throw RuntimeError(error.what());
    }
}

}  // namespace kx::tool
