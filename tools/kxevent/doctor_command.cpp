// doctor_command.cpp: "kxevent doctor": checks an installation as KXEvent.DLL will see it and
// says, one line per check, what is wrong and what to do. It only reads: a missing per-user
// registry is reported, never installed, and no file or directory is created.
#include "tools/kxevent/doctor_command.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/alert_log_source.h"
#include "common/registry.h"
#include "common/syslog_names.h"
#include "common/utf8.h"
#include "platform/eventlog_ids.h"
#include "platform/platform.h"
#include "runtime/search_rules.h"
#include "tools/admin/errors.h"
#include "tools/admin/event_library.h"
#include "tools/admin/registry_files.h"
#include "tools/kxevent/accounts.h"
#include "tools/kxevent/alert_file.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/json_line.h"
#include "tools/kxevent/options.h"

namespace kx::tool {

using namespace doctor;

namespace {

namespace fs = std::filesystem;

constexpr const char* kCoreModules[] = {"KXKRNL.DLL", "KXUTIL.DLL", "KXEvent.DLL"};
// The event-log sources the library, the platform layer and FwdSyslog write under, and the
// alerting service's.
constexpr std::string_view kEventSources[] = {KX_EVENT_SOURCE_TRACE, KX_EVENT_SOURCE_PLATFORM,
                                              KX_EVENT_SOURCE_SYSLOG, kAlertLogSource,
                                              KX_EVENT_SOURCE_ALERTS};
constexpr char kRepairTodo[] = "repair the installation (msiexec /fa with the product's package)";
// Below this an alert file (a few kilobytes) may no longer fit once other writers are counted.
constexpr std::uintmax_t kMinFreeBytes = 1u << 20;

constexpr char kDoctorAbout[] =
    "Checks the installation as KXEvent.DLL will see it: the registry file read and why, its\n"
    "trust check, the installation directory, each core module where the library's search\n"
    "finds it, the resource module for the current language, the alerting directory and\n"
    "whether the collector's group can read the alert files waiting in it, each forwarding\n"
    "module and the event-log destination. On Windows the registry is the machine's, in the\n"
    "view KXEvent.DLL reads; the alerting directory's access list, FwdSyslog's transport, the\n"
    "event sources' message files and the alerting service's program are checked too. Prints\n"
    "one line per check (\"ok\" or \"FAIL\" and what to do); changes nothing. With --json,\n"
    "each check is one JSON object per line: {\"check\", \"ok\": true, \"detail\"} or\n"
    "{\"check\", \"ok\": false, \"problem\", \"todo\"}. Exit status: 0 when every check\n"
    "passes, 1 otherwise, 2 on a usage error.\n";

enum DoctorOptionId { kJson };

constexpr Option kDoctorOptions[] = {
    {kJson, "--json", "", "one JSON object per check and line", OptionLayout::kUnlisted},
};

class Report {
  public:
    Report(std::ostream& out, bool json) : out_(out), json_(json) {}
    // Every line quotes registry texts and paths: all of it is shown with its controls escaped.
    void Pass(const std::string& what, const std::string& detail) {
        if (json_) {
            out_ << JsonLine().Text("check", what).Flag("ok", true).Text("detail", detail).Line();
            return;
        }
        out_ << "ok    " << ForPerson(what) << ": " << ForPerson(detail) << "\n";
    }
    void Fail(const std::string& what, const std::string& problem, const std::string& todo) {
        failed_ = true;
        if (json_) {
            out_ << JsonLine()
                        .Text("check", what)
                        .Flag("ok", false)
                        .Text("problem", problem)
                        .Text("todo", todo)
                        .Line();
            return;
        }
        out_ << "FAIL  " << ForPerson(what) << ": " << ForPerson(problem) << "; " << ForPerson(todo)
             << "\n";
    }
    bool Failed() const { return failed_; }

  private:
    std::ostream& out_;
    bool json_ = false;
    bool failed_ = false;
};

// `text` in lower case, for names the system compares without regard to case.
std::string Folded(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A configured path as the platform reads it: backslashes are directory separators, shown as
// the system writes them (backslashes on Windows).
std::string NativePath(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return fs::path(text).make_preferred().string();
}

constexpr char kTrustTodo[] =
    "make it and every directory above it writable by its owner only (chmod go-w) and owned "
    "by root or the user running the product";

// Why the platform's trust check refuses `path`, asked of `reason` (UntrustedReason, or
// UntrustedReasonAbove for the directories above it alone); nothing when it is trusted.
std::optional<std::string> TrustReason(plat::Dword (*reason)(const char*, char*, plat::Dword),
                                       const std::string& path) {
    std::array<char, 1024> text{};
    if (reason(path.c_str(), text.data(), static_cast<plat::Dword>(text.size())) == 0) {
        return std::nullopt;
    }
    return std::string(text.data());
}

std::string OriginOf(InstallOrigin origin) {
    return origin == InstallOrigin::DebugCore ? "VEL_DEBUGCORE" : "\"szInstallDir\"";
}

const char* WhyChosen(RegistrySource source) {
    switch (source) {
        case RegistrySource::Environment:
            return "named by VEL_REGISTRY";
        case RegistrySource::System:
            return "the system registry, read when running as root and VEL_REGISTRY is unset";
        case RegistrySource::UserDefault:
            return "kxevent's per-user default, as VEL_REGISTRY is unset and the system "
                   "registry is not used";
    }
    return "";
}

std::optional<reg::Document> CheckRegistry(Report& report) {
    const RegistryChoice choice = FindRegistry();
    const std::string file = choice.file.string();
    std::error_code error;
    if (!fs::exists(choice.file, error)) {
        report.Fail(
            "registry", file + " (" + WhyChosen(choice.source) + ") does not exist",
            choice.source == RegistrySource::UserDefault
                ? "run kxevent send, or change it with kxevent reg set or import, to install it"
                : "create it (kxevent reg import FILE) or point VEL_REGISTRY at one");
        return std::nullopt;
    }
    report.Pass("registry", file + " (" + std::string(WhyChosen(choice.source)) + ")");
    SetEnvironment("VEL_REGISTRY", file);  // what the platform's refusal below judges
    std::array<char, 1024> refusal{};
    if (plat::RegistryRefusal(refusal.data(), static_cast<plat::Dword>(refusal.size())) != 0) {
        report.Fail("registry trust",
                    std::string(refusal.data()) + ", so the library reads no registry at all",
                    kTrustTodo);
        return std::nullopt;
    }
    report.Pass("registry trust", "only its owner and root can change " + file);
    try {
        reg::Document document = LoadRegistryFile(choice.file);
        return document;
    } catch (const RuntimeError& failure) {
        report.Fail("registry format", failure.what(), "correct the line named");
        return std::nullopt;
    }
}

// The machine's registry, in the view the library reads (Windows).
std::optional<reg::Document> CheckLiveRegistry(Report& report) {
    const std::string name = LiveRegistryName();
    const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kSharedComponentsKey;
    reg::Document document;
    try {
        document = ReadLiveRegistry(kEventSources);
    } catch (const RuntimeError& failure) {
        report.Fail("registry", failure.what(), "run kxevent doctor as an administrator");
        return std::nullopt;
    }
    if (reg::FindKey(document, kSharedComponentsKey) == nullptr) {
        if (const std::optional<std::string> other = OtherViewHolding(kSharedComponentsKey)) {
            report.Fail("registry",
                        key + " is in the " + *other +
                            " only, which KXEvent.DLL does not read: "
                            "it reads " +
                            name,
                        "import the settings into that view (reg export the key " +
                            (LiveRegistryViewOption() == "/reg:32" ? std::string("/reg:64")
                                                                   : std::string("/reg:32")) +
                            ", then reg import FILE " + LiveRegistryViewOption() +
                            "), or install the product's package for this system");
            return std::nullopt;
        }
        report.Fail("registry", key + " is missing from " + name + ", the view KXEvent.DLL reads",
                    "install the product (msiexec /i), or import its settings into that view "
                    "(reg import FILE " +
                        LiveRegistryViewOption() + ")");
        return std::nullopt;
    }
    report.Pass("registry", key + " read in " + name + ", as KXEvent.DLL reads it");
    return document;
}

std::optional<fs::path> CheckInstallDirectory(Report& report, const RegistryReader& registry) {
    const InstallDirectory install = FindInstallDirectory(registry);
    if (install.code == kInstallKeyNotOpened || install.code == kNoInstallDirValue) {
        report.Fail("installation directory",
                    std::string("\"szInstallDir\" is missing from HKEY_LOCAL_MACHINE\\") +
                        kCurrentVersionKey + ", so the library cannot find its modules",
                    SystemRegistryIsLive()
                        ? std::string("set it to the directory holding KXEvent.DLL (reg add "
                                      "\"HKLM\\") +
                              kCurrentVersionKey + "\" /v szInstallDir /d DIRECTORY " +
                              LiveRegistryViewOption() + ") or " + kRepairTodo
                        : "set it to the directory holding KXEvent.DLL (kxevent reg set)");
        return std::nullopt;
    }
    const std::string origin = OriginOf(install.origin);
    std::string directory = NativePath(install.text);
    // The library's existence test takes a name ending in a separator for no directory, as
    // FindFirstFile does, yet it still finds its modules below that name: only a directory that
    // is not there is a failure.
    if (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\'))
        directory.pop_back();
    std::error_code error;
    if (install.code == kInstallDirMissing && !fs::is_directory(directory, error)) {
        report.Fail("installation directory",
                    directory + " (" + origin + ") is not an existing directory",
                    "install the modules there or correct " + origin);
        return std::nullopt;
    }
    if (auto reason = TrustReason(plat::UntrustedReason, directory)) {
        report.Fail("installation directory", *reason + " (" + origin + ")", kTrustTodo);
        return std::nullopt;
    }
    report.Pass("installation directory", directory + " (" + origin + ")");
    return fs::path(directory);
}

// A module file found where the configuration or the installation names it, judged by the
// loader's own rules: a directory, FIFO or device there is refused like an untrusted file.
void CheckModuleFile(Report& report, const std::string& what, const fs::path& file) {
    const ModuleRefusal refusal = JudgeModuleFile(file.string());
    if (refusal.kind == ModuleRefusalKind::None) {
        report.Pass(what, file.string());
        return;
    }
    const bool notAFile = refusal.kind == ModuleRefusalKind::NotAFile;
    report.Fail(what, refusal.reason + ", so the loader refuses to load it",
                notAFile ? "put the module's file there in its place" : kTrustTodo);
}

// A path of the library's search as the user finds it: absolute, with native separators.
fs::path Shown(const std::string& path);

// Each core module where the library's search finds it: the first of its places holding a
// file, judged as the loader judges it. A refused copy ends the search, as in the library; no
// regular file at a place lets it go on.
void CheckModules(Report& report, const fs::path& directory) {
    for (const char* name : kCoreModules) {
        const std::string what = std::string("module ") + name;
        std::string tried;
        std::optional<std::string> notAFile;  // the first place holding something else
        bool ended = false;
        for (const std::string& place : CoreComponentPlaces(directory.string(), name)) {
            const std::optional<std::string> file = LocateFile(NativePath(place));
            if (file && JudgeModuleFile(*file).kind != ModuleRefusalKind::NotAFile) {
                CheckModuleFile(report, what, Shown(*file));
                ended = true;
                break;
            }
            if (file && !notAFile) notAFile = file;
            tried += (tried.empty() ? "" : ", ") + Shown(place).parent_path().string();
        }
        if (ended) continue;
        if (notAFile) {
            CheckModuleFile(report, what, Shown(*notAFile));
            continue;
        }
        report.Fail(what, "not found in " + tried, "install it into the installation directory");
    }
}

// " (owner alice, group alice, mode 0777)" of the part a trust refusal names: the file or a
// directory above it, or above the directory that holds a link to it.
std::string FactsOfRefusedPart(const std::string& reason, const fs::path& file) {
    std::error_code error;
    for (fs::path start :
         {fs::weakly_canonical(file, error), fs::weakly_canonical(file.parent_path(), error)}) {
        for (fs::path part = start; !part.empty(); part = part.parent_path()) {
            if (reason.rfind(part.string() + " ", 0) == 0) {
                return " (" + OwnerAndMode(part.string()) + ")";
            }
            if (part == part.root_path()) break;
        }
    }
    return "";
}

fs::path Shown(const std::string& path) {
    std::error_code error;
    return fs::absolute(NativePath(path), error).lexically_normal();
}

// The copy the library loads or refuses, found by the library's own rule.
void CheckResourceModule(Report& report, const RegistryReader& registry) {
    const ResourceSearchReport search = FollowResourceSearch(registry, kResourceModuleName);
    const bool defaultBase = search.install.text.empty();
    const std::string origin = std::string("\"") + kDefaultComponentDirectory +
                               "\" beside the current directory, as no installation directory "
                               "is set";
    const std::string from = defaultBase ? ", from " + origin : "";
    if (search.module) {
        const std::string module = Shown(*search.module).string();
        const std::string facts = " (language " + search.language + from + ")";
        if (!search.refusal) {
            report.Pass("resource module", module + facts);
            return;
        }
        report.Fail("resource module",
                    module + facts + ": " + *search.refusal +
                        FactsOfRefusedPart(*search.refusal, Shown(*search.module)) +
                        ", so the library refuses to load",
                    kTrustTodo);
        return;
    }
    std::string tried;
    bool unusable = false;
    for (const ResourcePlace& place : search.tried) {
        tried += (tried.empty() ? "" : ", ") + Shown(place.path).string();
        if (place.problem != "not found") {
            tried += " (" + place.problem + ")";
            unusable = true;
        }
    }
    report.Fail("resource module",
                std::string(kResourceModuleName) + (unusable ? " not usable" : " not found") +
                    "; tried " + tried + (from.empty() ? "" : " (" + origin + ")"),
                "install the Res<language> directory of the current language or of 0409");
}

// The alerting service reads the waiting alert files as a member of its group: a file that
// group cannot read (a product writing with umask 077) stays behind, undelivered, for good.
void CheckAlertFilesReadable(Report& report, const fs::path& directory) {
    std::error_code error;
    const std::vector<fs::path> files = ListAlertFiles(directory, error);
    if (error) return;  // the directory's own line says what is wrong with it
    const UnreadableAlerts unreadable = UnreadableByCollector(files);
    const std::string group = kCollectorGroup;
    if (unreadable.count == 0) {
        report.Pass("alert files", std::to_string(files.size()) +
                                       " waiting, each readable by the collector's group " + group);
        return;
    }
    report.Fail("alert files",
                std::to_string(unreadable.count) + " of the " + std::to_string(files.size()) +
                    " alert files waiting in " + directory.string() +
                    " cannot be read by the collector's group " + group + ", first " +
                    unreadable.first + ", so kxevent collect cannot deliver them",
                "make them readable by the group (chgrp " + group + " and chmod g+r " +
                    (directory / "*.ALR").string() +
                    "), and have the product that writes them run with a umask that keeps "
                    "group read (such as 027)");
}

void CheckAlerting(Report& report, const AlertSettings& settings) {
    if (!settings.enabled) {
        report.Pass("alerting directory", "central alerting is off (\"bEnableCAlert\")");
        return;
    }
    if (!settings.directory) {
        report.Fail("alerting directory",
                    "central alerting is on but \"Centralized Alerting Path\" is missing",
                    "set it to an existing directory");
        return;
    }
    const std::string directory = settings.directory->string();
    std::error_code error;
    if (!fs::is_directory(*settings.directory, error)) {
        report.Fail("alerting directory", directory + " does not exist or is no directory",
                    AlertDirectoryCreateAdvice(*settings.directory));
        return;
    }
    if (const std::optional<std::string> problem = AccessListProblem(directory)) {
        report.Fail("alerting directory", directory + ": " + *problem,
                    "let only Administrators, SYSTEM and the alerting service change it (" +
                        std::string(kRepairTodo) + " sets that access list)");
        return;
    }
    const std::string facts = OwnerAndMode(directory);
    if (!WritableByUs(directory, true)) {
        report.Fail("alerting directory",
                    directory + " (" + facts + ") is not writable by " + ThisUser() +
                        ", so the library cannot create alert files in it",
                    AlertDirectoryWriteAdvice(*settings.directory));
        return;
    }
    // The directory decides no code, but a stranger able to write in it could plant or remove
    // alerts: only the collector's group may share it, and everything above it is checked as
    // usual.
    const bool shared = SharedWithCollector(directory);
    if (auto reason =
            TrustReason(shared ? plat::UntrustedReasonAbove : plat::UntrustedReason, directory)) {
        report.Fail("alerting directory", *reason, kTrustTodo);
        return;
    }
    const fs::space_info space = fs::space(directory, error);
    if (!error && space.available < kMinFreeBytes) {
        report.Fail("alerting directory",
                    directory + " has " + std::to_string(space.available) + " bytes free",
                    "free space on its file system");
        return;
    }
    report.Pass("alerting directory",
                directory + " (" + facts + ", " +
                    (error ? std::string("free space unknown")
                           : std::to_string(space.available >> 20) + " MiB free") +
                    ")");
    if (shared) CheckAlertFilesReadable(report, *settings.directory);
}

void CheckForwarding(Report& report, const reg::Document& document) {
    const reg::Key* key = reg::FindKey(document, kForwardingKey);
    bool any = false;
    for (const reg::Value& value : key ? key->values : std::vector<reg::Value>{}) {
        if (!IsTextType(value.type)) continue;
        any = true;
        const std::string what = "forwarding module \"" + value.name + "\"";
        const std::string path = NativePath(ValueText(value));
        if (ValueText(value).find_first_of("/\\") == std::string::npos) {
            report.Fail(what,
                        path +
                            " is a bare name, which the loader refuses: it would be found "
                            "through the library search path",
                        "name the module with its full directory");
            continue;
        }
        const fs::path file = fs::path(path);
        const std::optional<std::string> found = LocateFile(path);
        if (!found) {
            report.Fail(what, path + " does not exist", "install it or remove the entry");
            continue;
        }
        CheckModuleFile(report, what, fs::path(*found));
    }
    if (!any) report.Pass("forwarding", "no forwarding modules are configured");
}

// The sources the entries are written under, each registered with a message file that exists,
// so that the event log renders their entries (Windows).
void CheckEventSources(Report& report, const reg::Document& document) {
    for (std::string_view source : kEventSources) {
        const std::string what = "event source \"" + std::string(source) + "\"";
        const std::string path = std::string(kEventLogSourcesKey) + "\\" + std::string(source);
        const std::string module = source == KX_EVENT_SOURCE_ALERTS
                                       ? std::string(KX_EVENT_ALERTS_MESSAGE_FILE)
                                       : std::string("KXEventMessages.dll");
        const reg::Key* key = reg::FindKey(document, path);
        const reg::Value* file = key ? reg::FindValue(*key, "EventMessageFile") : nullptr;
        if (file == nullptr || ValueText(*file).empty()) {
            report.Fail(what,
                        std::string(key ? "has no \"EventMessageFile\"" : "is not registered") +
                            " under HKEY_LOCAL_MACHINE\\" + kEventLogSourcesKey +
                            ", so the event log cannot show its entries' messages",
                        std::string(kRepairTodo) + ", which registers it with " + module);
            continue;
        }
        std::string missing;
        const std::string files = ExpandedText(ValueText(*file));
        for (std::size_t at = 0; at <= files.size();) {
            const std::size_t end = std::min(files.find(';', at), files.size());
            const std::string one = files.substr(at, end - at);
            std::error_code error;
            if (!one.empty() && !fs::is_regular_file(NativePath(one), error)) missing = one;
            at = end + 1;
        }
        if (!missing.empty()) {
            report.Fail(what, "its message file " + missing + " does not exist",
                        std::string(kRepairTodo) + ", which installs " + module);
            continue;
        }
        report.Pass(what, "message file " + files);
    }
}

// The alerting service, when it is registered: the program its command line runs must be an
// existing kxevent.exe, or the service cannot start (Windows). The program is the quoted path,
// or for an unquoted command line the path the service manager would run.
void CheckCollectService(Report& report) {
    const std::string what = std::string("alerting service \"") + KX_COLLECT_SERVICE_NAME + "\"";
    const CollectService service = TheCollectService();
    if (service.problem) {
        report.Fail(what, *service.problem, "run kxevent doctor as an administrator");
        return;
    }
    if (!service.registered) {
        report.Pass(what, "not registered (install the product's package to register it)");
        return;
    }
    const std::string line = ExpandedText(service.command);
    const auto exists = [](const std::string& path) {
        std::error_code error;
        return !path.empty() && fs::is_regular_file(NativePath(path), error);
    };
    std::string program;
    if (line.starts_with('"')) {
        const std::size_t end = line.find('"', 1);
        program = line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    } else {
        // Unquoted: the shortest text up to a blank (or the end) that names a file, as the
        // service manager tries them; when none does, the first that ends in ".exe", else the
        // text before the first blank.
        std::string named;
        for (std::size_t end = line.find(' ');; end = line.find(' ', end + 1)) {
            const std::string candidate = line.substr(0, end);
            if (exists(candidate)) {
                program = candidate;
                break;
            }
            if (named.empty() && Folded(candidate).ends_with(".exe")) named = candidate;
            if (end == std::string::npos) break;
        }
        if (program.empty()) program = named.empty() ? line.substr(0, line.find(' ')) : named;
    }
    const std::string todo =
        std::string(kRepairTodo) + ", which installs kxevent.exe and registers the service for it";
    if (!exists(program)) {
        report.Fail(what,
                    "its ImagePath " + service.command + " runs " +
                        (program.empty() ? std::string("nothing") : program) +
                        ", which does not exist",
                    todo);
        return;
    }
    if (Folded(fs::path(NativePath(program)).filename().string()) != "kxevent.exe") {
        report.Fail(what,
                    "its ImagePath " + service.command + " runs " + program + ", not kxevent.exe",
                    todo);
        return;
    }
    report.Pass(what, "runs " + service.command);
}

// FwdSyslog's transport, when FwdSyslog is in the forwarding list: "local" (its default) means
// a Unix syslog socket, which Windows has not, so every send would log an error (Windows).
void CheckSyslogTransport(Report& report, const reg::Document& document) {
    const reg::Key* list = reg::FindKey(document, kForwardingKey);
    const auto isSyslog = [](const reg::Value& value) {
        const std::string name = fs::path(NativePath(ValueText(value))).filename().string();
        return IsTextType(value.type) && Folded(name) == "fwdsyslog.dll";
    };
    if (list == nullptr || std::none_of(list->values.begin(), list->values.end(), isSyslog)) {
        return;
    }
    const reg::Key* key = reg::FindKey(document, kSyslogSettingsKey);
    const reg::Value* value = key ? reg::FindValue(*key, kSyslogTransportValue) : nullptr;
    const std::string transport = value ? Folded(ValueText(*value)) : "";
    const std::string set = std::string(
                                "set it to udp or tcp, with \"Host\" the syslog server (reg "
                                "add \"HKLM\\") +
                            kSyslogSettingsKey + "\" /v Transport /d udp " +
                            LiveRegistryViewOption() + ")";
    if (transport.empty() || transport == "local") {
        report.Fail("FwdSyslog transport",
                    (value ? std::string("\"Transport\" is \"local\"")
                           : std::string("\"Transport\" is unset, which means \"local\"")) +
                        ", a Unix syslog socket, which Windows has not: every send would log "
                        "an error",
                    set);
        return;
    }
    if (transport != "udp" && transport != "tcp") {
        report.Fail("FwdSyslog transport",
                    "\"Transport\" is \"" + ValueText(*value) + "\", which FwdSyslog does not know",
                    set);
        return;
    }
    const reg::Value* host = key ? reg::FindValue(*key, "Host") : nullptr;
    report.Pass("FwdSyslog transport",
                transport + " to " + (host ? ValueText(*host) : std::string("127.0.0.1")));
}

// Why the library would not append to `file`: it follows no link, writes regular files only
// and creates a missing one in its directory.
std::optional<std::string> EventLogFileProblem(const std::string& file) {
    const fs::path path(file);
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    const bool exists = fs::exists(status);
    const std::string parent = path.parent_path().empty() ? "." : path.parent_path().string();
    if (fs::is_symlink(status))
        return file + " is a symbolic link, which the library does not follow";
    if (exists && !fs::is_regular_file(status)) return file + " is not a regular file";
    if (exists ? !WritableByUs(file, false) : !WritableByUs(parent, true)) {
        return file + (exists ? " is not writable" : "'s directory is not writable");
    }
    return std::nullopt;
}

// The library writes every entry to the system log and, when VEL_EVENTLOG names a file, a copy
// there: each destination is checked as the library will use it.
void CheckEventLog(Report& report) {
    const char* named = std::getenv("VEL_EVENTLOG");
    const std::optional<std::string> file =
        named != nullptr && *named != '\0' ? std::optional<std::string>(named) : std::nullopt;
    const std::optional<std::string> fileProblem = file ? EventLogFileProblem(*file) : std::nullopt;
    const bool fileUsed = file && !fileProblem;
    const SystemLog log = TheSystemLog();
    if (log.problem) {
        report.Fail("event log",
                    *log.problem + ", so the library's entries (undelivered alerts among them) " +
                        (fileUsed ? "reach only " + *file + " (VEL_EVENTLOG)" : "are lost"),
                    log.todo);
    } else {
        report.Pass("event log", log.name + (file ? "" : "; VEL_EVENTLOG is unset, no file"));
    }
    if (!file) return;
    if (fileProblem) {
        report.Fail("event log file", *fileProblem + " (VEL_EVENTLOG); entries go to syslog only",
                    "point VEL_EVENTLOG at a writable file or unset it");
        return;
    }
    report.Pass("event log file", *file + " (VEL_EVENTLOG), beside syslog");
}

}  // namespace

std::string DoctorHelp() {
    return "usage: kxevent doctor " + Synopsis(kDoctorOptions[kJson]) + "\n\n" +
           std::string(kDoctorAbout);
}

std::span<const Option> DoctorOptionTable() {
    return kDoctorOptions;
}

bool RunDoctorChecks(std::ostream& out, bool json) {
    Report report(out, json);
    const bool live = SystemRegistryIsLive();
    const std::optional<reg::Document> document =
        live ? CheckLiveRegistry(report) : CheckRegistry(report);
    if (document) {
        const RegistryReader registry = DocumentRegistry(*document);
        if (const std::optional<fs::path> directory = CheckInstallDirectory(report, registry)) {
            CheckModules(report, *directory);
            CheckResourceModule(report, registry);
        }
        CheckAlerting(report, ReadAlertSettings(*document));
        CheckForwarding(report, *document);
        if (live) {
            CheckSyslogTransport(report, *document);
            CheckEventSources(report, *document);
            CheckCollectService(report);
        }
    }
    CheckEventLog(report);
    return !report.Failed();
}

int RunDoctorCommand(std::span<const std::string> args) {
    std::size_t at = 1;
    bool json = false;
    ParseOptions(args, at, kDoctorOptions, {.verb = "doctor", .operands = false},
                 [&](const Option&, const std::string&) { json = true; });
    return RunDoctorChecks(std::cout, json) ? kExitOk : kExitFailure;
}

}  // namespace kx::tool
