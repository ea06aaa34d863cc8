// system.cpp: facts about the machine: computer and user names, accounts, the operating
// system's version, the tick count and the calendar clock. Each fact can be fixed through an
// environment variable, so that a machine can describe itself as another.
//
// Every send asks for these facts. What cannot change while the process runs (the kernel's
// name and release) is read once; what lives in files (the account database, the distribution's
// description) is read again only when a stat shows that its file changed (once per facts
// view); the host name is asked for every time.
#include <pwd.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/posix/facts_view.h"
#include "platform/posix/internal.h"

namespace kx::plat::backend {
namespace {

constexpr Dword kSidSize = 28;  // S-1-5-21-a-b-c-rid: revision, count, authority, 5 parts
constexpr Dword kSidTypeUser = 1;

std::string ComputerName() {
    if (std::optional<std::string> name = Env("VEL_COMPUTERNAME"); name && !name->empty()) {
        return *name;
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return {};
    std::string name(host, ::strnlen(host, sizeof host));
    name = name.substr(0, name.find('.'));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::optional<passwd> Account(const char* name, std::vector<char>& storage, uid_t uid) {
    passwd entry;
    passwd* found = nullptr;
    storage.assign(16384, '\0');
    const int error = name ? ::getpwnam_r(name, &entry, storage.data(), storage.size(), &found)
                           : ::getpwuid_r(uid, &entry, storage.data(), storage.size(), &found);
    if (error != 0 || !found) return std::nullopt;
    return entry;
}

// The effective user's account name, as the account database gave it for one version of the
// database files.
struct AccountNameCache {
    std::mutex mutex;
    bool valid = false;
    uid_t uid = 0;
    FileStamp passwdFile;
    FileStamp switchFile;
    std::string name;
};

AccountNameCache& TheAccountNameCache() {
    static AccountNameCache cache;
    return cache;
}

// The account database is read again only when the effective user or one of its files changed.
std::string AccountName(uid_t uid) {
    const FileStamp passwdFile = FileStamp::Of("/etc/passwd");
    const FileStamp switchFile = FileStamp::Of("/etc/nsswitch.conf");
    AccountNameCache& cache = TheAccountNameCache();
    std::lock_guard lock(cache.mutex);
    if (cache.valid && cache.uid == uid && cache.passwdFile == passwdFile &&
        cache.switchFile == switchFile) {
        return cache.name;
    }
    cache.valid = false;
    std::vector<char> storage;
    const std::optional<passwd> entry = Account(nullptr, storage, uid);
    if (!entry || !entry->pw_name || !*entry->pw_name) return {};
    // Without an account file the answer came from elsewhere and is asked for every time.
    cache.valid = passwdFile.exists();
    cache.uid = uid;
    cache.passwdFile = passwdFile;
    cache.switchFile = switchFile;
    cache.name = entry->pw_name;
    return cache.name;
}

std::string UserName() {
    if (std::optional<std::string> name = Env("VEL_USERNAME"); name && !name->empty()) {
        return *name;
    }
    if (std::string name = AccountName(::geteuid()); !name.empty()) return name;
    return Env("USER").value_or("");
}

// Copies `text` and its terminator when it fits in `*size` characters.
bool CopyName(const std::string& text, char* buffer, Dword* size, Status tooSmall) {
    if (text.size() + 1 > *size || !buffer) {
        *size = static_cast<Dword>(text.size() + 1);
        return Fail(tooSmall);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

std::uint32_t Hash(std::string_view text, std::uint32_t seed) {
    std::uint32_t hash = 2166136261u ^ seed;
    for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
}

// A machine SID made from the computer name, with the account's number as the relative id.
void MakeSid(std::uint8_t* sid, const std::string& computer, uid_t uid) {
    const std::uint32_t parts[5] = {21, Hash(computer, 1), Hash(computer, 2), Hash(computer, 3),
                                    1000 + static_cast<std::uint32_t>(uid)};
    sid[0] = 1;  // revision
    sid[1] = 5;  // parts
    std::memset(sid + 2, 0, 5);
    sid[7] = 5;  // the NT authority
    for (int i = 0; i < 5; ++i) {
        for (int b = 0; b < 4; ++b)
            sid[8 + 4 * i + b] = static_cast<std::uint8_t>(parts[i] >> (8 * b));
    }
}

// "platform major minor [service pack text]"
bool VersionFromEnvironment(OsVersionInfo* info) {
    std::optional<std::string> text = Env("VEL_OSVERSION");
    if (!text) return false;
    std::istringstream in(*text);
    std::string platform, major, minor;
    if (!(in >> platform >> major >> minor)) return false;
    const std::optional<Dword> p = ParseNumber(platform), ma = ParseNumber(major),
                               mi = ParseNumber(minor);
    if (!p || !ma || !mi) return false;
    std::string rest;
    std::getline(in >> std::ws, rest);
    info->dwPlatformId = *p;
    info->dwMajorVersion = *ma;
    info->dwMinorVersion = *mi;
    info->dwBuildNumber = 0;
    std::strncpy(info->szCSDVersion, rest.c_str(), sizeof info->szCSDVersion - 1);
    return true;
}

std::string OsReleaseField(const std::string& content, std::string_view key) {
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 ||
            line[key.size()] != '=') {
            continue;
        }
        std::string value = line.substr(key.size() + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return {};
}

// The distribution's short name (the first word of NAME) and VERSION_ID in one os-release
// file, e.g. "Debian 12": short enough that the system's description fits its 32-byte field.
// Nothing when the file cannot be read.
std::optional<std::string> ReadDistributionText(const char* file) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    std::stringstream content;
    content << in.rdbuf();
    std::string name = OsReleaseField(content.str(), "NAME");
    name = name.substr(0, name.find(' '));
    const std::string version = OsReleaseField(content.str(), "VERSION_ID");
    if (!version.empty()) name += (name.empty() ? "" : " ") + version;
    return name;
}

// The description read from one version of an os-release file.
struct DistributionCache {
    std::mutex mutex;
    const char* file = nullptr;
    FileStamp stamp;
    std::string text;
};

DistributionCache& TheDistributionCache() {
    static DistributionCache cache;
    return cache;
}

// The distribution's short name and version, e.g. "Debian 12". An upgrade replaces the
// file, so one stat tells whether the text read last time still holds.
std::string DistributionText() {
    DistributionCache& cache = TheDistributionCache();
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        const FileStamp stamp = FileStamp::Of(file);
        if (!stamp.exists()) continue;
        std::lock_guard lock(cache.mutex);
        if (cache.file == file && cache.stamp == stamp) return cache.text;
        std::optional<std::string> text = ReadDistributionText(file);
        if (!text) continue;
        cache.file = file;
        cache.stamp = stamp;
        cache.text = *text;
        return cache.text;
    }
    return {};
}

// The kernel's name and release cannot change while the process runs.
struct KernelFacts {
    std::string name;
    unsigned major = 0;
    unsigned minor = 0;
};

const KernelFacts& Kernel() {
    static const KernelFacts facts = [] {
        KernelFacts kernel;
        utsname names{};
        if (::uname(&names) != 0) return kernel;
        kernel.name = names.sysname;
        std::sscanf(names.release, "%u.%u", &kernel.major, &kernel.minor);
        return kernel;
    }();
    return facts;
}

void VersionFromSystem(OsVersionInfo* info) {
    info->dwPlatformId = kPlatformPosix;
    info->dwMajorVersion = Kernel().major;
    info->dwMinorVersion = Kernel().minor;
    info->dwBuildNumber = 0;
    std::strncpy(info->szCSDVersion, DistributionText().c_str(), sizeof info->szCSDVersion - 1);
}

// Whether the version calls describe this machine as a Unix host. The backend's own answer
// needs no file: only the override can make it another system.
bool DescribedAsPosixHost() {
    OsVersionInfo info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (Hooks().GetVersionExA != &backend::GetVersionExA) {
        return !Hooks().GetVersionExA(&info) || info.dwPlatformId == kPlatformPosix;
    }
    return !VersionFromEnvironment(&info) || info.dwPlatformId == kPlatformPosix;
}

}  // namespace

bool GetComputerNameA(char* buffer, Dword* size) {
    if (!size) return Fail(kErrorInvalidParameter);
    const std::string name = ComputerName();
    if (name.empty()) return Fail(kErrorGenFailure);
    if (!CopyName(name, buffer, size, kErrorBufferOverflow)) return false;
    *size = static_cast<Dword>(name.size());
    return true;
}

bool GetUserNameA(char* buffer, Dword* size) {
    if (!size) return Fail(kErrorInvalidParameter);
    const std::string name = UserName();
    if (name.empty()) return Fail(kErrorNoneMapped);
    if (!CopyName(name, buffer, size, kErrorInsufficientBuffer)) return false;
    *size = static_cast<Dword>(name.size() + 1);
    return true;
}

bool LookupAccountNameA(const char*, const char* account, void* sid, Dword* sidSize, char* domain,
                        Dword* domainChars, Dword* use) {
    if (!account || !sidSize || !domainChars) return Fail(kErrorInvalidParameter);
    const std::string computer = ComputerName();
    std::string user = account;
    // "DOMAIN\user" names a local user only when the domain is this computer.
    if (const std::size_t slash = user.find('\\'); slash != std::string::npos) {
        if (::strcasecmp(user.substr(0, slash).c_str(), computer.c_str()) != 0) {
            return Fail(kErrorNoneMapped);
        }
        user = user.substr(slash + 1);
    }
    std::vector<char> storage;
    const std::optional<passwd> entry = Account(user.c_str(), storage, 0);
    if (user.empty() || !entry) return Fail(kErrorNoneMapped);
    const bool sidFits = sid && *sidSize >= kSidSize;
    const bool domainFits = domain && *domainChars >= computer.size() + 1;
    if (!sidFits || !domainFits) {
        *sidSize = kSidSize;
        *domainChars = static_cast<Dword>(computer.size() + 1);
        return Fail(kErrorInsufficientBuffer);
    }
    MakeSid(static_cast<std::uint8_t*>(sid), computer, entry->pw_uid);
    std::memcpy(domain, computer.c_str(), computer.size() + 1);
    *sidSize = kSidSize;
    *domainChars = static_cast<Dword>(computer.size());
    if (use) *use = kSidTypeUser;
    return true;
}

bool GetVersionExA(OsVersionInfo* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OsVersionInfo)) {
        return Fail(kErrorInsufficientBuffer);
    }
    std::memset(reinterpret_cast<char*>(info) + sizeof(Dword), 0,
                sizeof(OsVersionInfo) - sizeof(Dword));
    if (!VersionFromEnvironment(info)) VersionFromSystem(info);
    return true;
}

Dword GetVersion() {
    // Through the live table, so that a replaced GetVersionExA is seen here too.
    OsVersionInfo info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!Hooks().GetVersionExA(&info)) return 0;
    Dword version = (info.dwMajorVersion & 0xFF) | ((info.dwMinorVersion & 0xFF) << 8) |
                    ((info.dwBuildNumber & 0x7FFF) << 16);
    // The high bit marks the platforms that are not NT-based Windows nor a Unix host.
    if (info.dwPlatformId == kPlatformWin32s || info.dwPlatformId == kPlatformWindows) {
        version |= 0x80000000u;
    }
    return version;
}

const char* SystemName() {
    if (!DescribedAsPosixHost()) return "";
    return Kernel().name.c_str();
}

Dword GetTickCount() {
    if (std::optional<std::string> fixed = Env("VEL_TICKCOUNT")) {
        if (std::optional<Dword> ticks = ParseNumber(*fixed)) return *ticks;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<Dword>(ms);  // wraps at 2^32, as the Windows count does
}

CalendarTime GetCalendarTime(bool local) {
    const time_t now = ::time(nullptr);
    tm parts{};
    if (local) {
        ::tzset();  // follow a time zone changed since the last call
        ::localtime_r(&now, &parts);
    } else {
        ::gmtime_r(&now, &parts);
    }
    return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
            parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

}  // namespace kx::plat::backend
