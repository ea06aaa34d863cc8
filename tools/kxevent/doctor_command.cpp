// doctor_command.cpp: "kxevent doctor": checks an installation as KXEvent.DLL will see it and
// says, one line per check, what is wrong and what to do. It only reads: a missing per-user
// registry is reported, never installed, and no file or directory is created.
#if !defined(_WIN32)
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/registry.h"
#include "common/utf8.h"
#include "platform/platform.h"
#include "runtime/search_rules.h"
#include "tools/kxevent/alert_file.h"
#include "tools/kxevent/commands.h"
#include "tools/kxevent/errors.h"
#include "tools/kxevent/event_library.h"
#include "tools/kxevent/options.h"
#include "tools/kxevent/registry_files.h"
#include "tools/kxevent/send_command.h"

namespace kx::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kCoreModules[] = {"KXKRNL.DLL", "KXUTIL.DLL", "KXEvent.DLL"};
// Below this an alert file (a few kilobytes) may no longer fit once other writers are counted.
constexpr std::uintmax_t kMinFreeBytes = 1u << 20;

constexpr char kDoctorAbout[] =
    "Checks the installation as KXEvent.DLL will see it: the registry file read and why, its\n"
    "trust check, the installation directory and its modules, the resource module for the\n"
    "current language, the alerting directory and whether the collector's group can read the\n"
    "alert files waiting in it, each forwarding module and the event-log destination. Prints\n"
    "one line per check (\"ok\" or \"FAIL\" and what to do); changes nothing. Exit status: 0\n"
    "when every check passes, 1 otherwise, 2 on a usage error.\n";

class Report {
  public:
    // Every line quotes registry texts and paths: all of it is shown with its controls escaped.
    void Pass(const std::string& what, const std::string& detail) {
        std::cout << "ok    " << ForPerson(what) << ": " << ForPerson(detail) << "\n";
    }
    void Fail(const std::string& what, const std::string& problem, const std::string& todo) {
        std::cout << "FAIL  " << ForPerson(what) << ": " << ForPerson(problem) << "; "
                  << ForPerson(todo) << "\n";
        failed_ = true;
    }
    bool Failed() const { return failed_; }

  private:
    bool failed_ = false;
};

// A configured path as the platform reads it: backslashes are directory separators.
std::string NativePath(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

// The group the alerting service runs in: it removes the files it delivered, so the package
// makes the alerting directory writable by this group and by no one else.
constexpr char kCollectorGroup[] = "kxevent";

#if !defined(_WIN32)
// "owner 0, mode 0755": what the trust check and the writers depend on.
std::string OwnerAndMode(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "owner and mode unknown";
    std::array<char, 8> mode{};
    std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "owner " + std::to_string(info.st_uid) + ", mode " + mode.data();
}

bool WritableByUs(const std::string& path, bool directory) {
    return ::access(path.c_str(), directory ? W_OK | X_OK : W_OK) == 0;
}

std::string ThisUser() {
    return "user " + std::to_string(::geteuid());
}

// Whether `path` is a directory the trust check would accept but for its group's write
// permission, given to the collector's group: owned by root or us, not writable by others.
bool SharedWithCollector(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) return false;
    if ((info.st_mode & S_IWOTH) != 0 || (info.st_mode & S_IWGRP) == 0) return false;
    const group* collector = ::getgrnam(kCollectorGroup);
    return collector != nullptr && collector->gr_gid == info.st_gid;
}

// How many of `files` the collector's group cannot read (neither by group nor by others), and
// the first of them.
struct UnreadableAlerts {
    std::size_t count = 0;
    std::string first;  // "FILE (owner 0, group 0, mode 0600)"
};

UnreadableAlerts UnreadableByCollector(const std::vector<fs::path>& files) {
    UnreadableAlerts unreadable;
    const group* collector = ::getgrnam(kCollectorGroup);
    for (const fs::path& file : files) {
        struct stat info {};
        if (::lstat(file.c_str(), &info) != 0) continue;  // taken away meanwhile
        const bool byGroup = collector != nullptr && info.st_gid == collector->gr_gid &&
                             (info.st_mode & S_IRGRP) != 0;
        if (byGroup || (info.st_mode & S_IROTH) != 0) continue;
        if (unreadable.count++ == 0) {
            std::array<char, 8> mode{};
            std::snprintf(mode.data(), mode.size(), "%04o",
                          static_cast<unsigned>(info.st_mode & 07777));
            unreadable.first = file.string() + " (owner " + std::to_string(info.st_uid) +
                               ", group " + std::to_string(info.st_gid) + ", mode " + mode.data() +
                               ")";
        }
    }
    return unreadable;
}

#else
// The system's access control decides who may write; its lists are not shown here.
std::string OwnerAndMode(const std::string&) {
    return "access by the system's access control";
}

bool WritableByUs(const std::string&, bool) {
    return true;
}

std::string ThisUser() {
    return "this user";
}

bool SharedWithCollector(const std::string&) {
    return false;
}

struct UnreadableAlerts {
    std::size_t count = 0;
    std::string first;
};

UnreadableAlerts UnreadableByCollector(const std::vector<fs::path>&) {
    return {};
}

#endif

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

std::optional<fs::path> CheckInstallDirectory(Report& report, const RegistryReader& registry) {
    const InstallDirectory install = FindInstallDirectory(registry);
    if (install.code == kInstallKeyNotOpened || install.code == kNoInstallDirValue) {
        report.Fail("installation directory",
                    std::string("\"szInstallDir\" is missing from HKEY_LOCAL_MACHINE\\") +
                        kCurrentVersionKey + ", so the library cannot find its modules",
                    "set it to the directory holding KXEvent.DLL (kxevent reg set)");
        return std::nullopt;
    }
    const std::string origin = OriginOf(install.origin);
    const std::string directory = NativePath(install.text);
    if (install.code == kInstallDirMissing) {
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

void CheckModules(Report& report, const fs::path& directory) {
    for (const char* name : kCoreModules) {
        const std::string what = std::string("module ") + name;
        const std::optional<std::string> file = LocateFile((directory / name).string());
        if (!file) {
            report.Fail(what, "not found in " + directory.string(),
                        "install it into the installation directory");
            continue;
        }
        CheckModuleFile(report, what, fs::path(*file));
    }
}

// " (owner 1000, mode 0777)" of the part a trust refusal names: the file or a directory above
// it, or above the directory that holds a link to it.
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

// A path of the library's search as the user finds it: absolute, with native separators.
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

void CheckAlerting(Report& report, const fs::path& registryFile) {
    const AlertSettings settings = ReadAlertSettings(registryFile);
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
                    "create it (mkdir -m 0755) owned by the user running the product");
        return;
    }
    const std::string facts = OwnerAndMode(directory);
    if (!WritableByUs(directory, true)) {
        report.Fail("alerting directory",
                    directory + " (" + facts + ") is not writable by " + ThisUser(),
                    "give it to the user running the product (chown) or make it writable");
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
        if (path.find('/') == std::string::npos) {
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

void CheckEventLog(Report& report) {
    const char* file = std::getenv("VEL_EVENTLOG");
    if (file == nullptr || *file == '\0') {
        report.Pass("event log", "syslog (VEL_EVENTLOG is unset)");
        return;
    }
    const fs::path path(file);
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    const bool exists = fs::exists(status);
    const std::string parent = path.parent_path().empty() ? "." : path.parent_path().string();
    std::string problem;
    if (exists && !fs::is_regular_file(status)) {
        problem = std::string(file) + " is not a regular file";
    } else if (exists ? !WritableByUs(file, false) : !WritableByUs(parent, true)) {
        problem =
            std::string(file) + (exists ? " is not writable" : "'s directory is not writable");
    }
    if (!problem.empty()) {
        report.Fail("event log", problem + " (VEL_EVENTLOG); entries go to syslog only",
                    "point VEL_EVENTLOG at a writable file or unset it");
        return;
    }
    report.Pass("event log", std::string(file) + " (VEL_EVENTLOG) and syslog");
}

}  // namespace

std::string DoctorHelp() {
    return "usage: kxevent doctor\n\n" + std::string(kDoctorAbout);
}

int RunDoctorCommand(std::span<const std::string> args) {
    std::size_t at = 1;
    ParseOptions(args, at, std::span<const Option>(), {.verb = "doctor", .operands = false},
                 [](const Option&, const std::string&) {});
    Report report;
    const std::optional<reg::Document> document = CheckRegistry(report);
    if (document) {
        const RegistryReader registry = DocumentRegistry(*document);
        if (const std::optional<fs::path> directory = CheckInstallDirectory(report, registry)) {
            CheckModules(report, *directory);
            CheckResourceModule(report, registry);
        }
        CheckAlerting(report, std::getenv("VEL_REGISTRY"));
        CheckForwarding(report, *document);
    }
    CheckEventLog(report);
    return report.Failed() ? kExitFailure : kExitOk;
}

}  // namespace kx::tool
