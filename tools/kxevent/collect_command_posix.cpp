// collect_command_posix.cpp: the process around the collector: signals that stop it once what
// is in flight was answered, its log lines on standard error (the journal, under systemd), and
// the alerting directory the registry names when no --dir is given.
#include <atomic>
#include <csignal>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

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
    std::optional<std::string> to;
    std::size_t at = 0;
    ParseOptions(
        args, at, CollectOptionTable(), {.verb = "collect", .operands = false},
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

// FwdSyslog's enterprise number in the trusted registry (a dword or decimal text), so that
// alerts and events carry one structured-data number; the default when the registry, the value
// or a number in range is missing. A user's default registry is not installed for it.
std::uint32_t RegistryEnterpriseNumber() {
    std::error_code ignored;
    const RegistryChoice found = FindRegistry();
    if (found.source == RegistrySource::UserDefault && !fs::exists(found.file, ignored))
        return kSyslogDefaultEnterprise;
    try {
        const reg::Document document =
            LoadRegistryFile(SelectTrustedRegistry(FindLibraryDirectory()).file);
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

}  // namespace

int RunCollectCommand(std::span<const std::string> command) {
    collect::CollectorOptions options = ParseCollectOptions(command.subspan(1));
    if (options.directories.empty()) options.directories.push_back(RegistryAlertDirectory());
    options.enterpriseNumber = RegistryEnterpriseNumber();
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

}  // namespace kx::tool
