// paths.cpp: path and environment helpers shared by the posix backend: backslashes as
// directory separators, the case-insensitive fallback for a path's last component, the
// executable's location and numbers given in the environment.
#include <dirent.h>
#include <strings.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "platform/posix/internal.h"

namespace kx::plat::backend {

std::string NativePath(std::string_view path) {
    std::string native(path);
    for (char& c : native) {
        if (c == '\\') c = '/';
    }
    return native;
}

std::optional<std::string> FindPathIgnoringCase(const std::string& path) {
    struct stat info;
    if (path.empty()) return std::nullopt;
    if (::stat(path.c_str(), &info) == 0) return path;
    const std::size_t slash = path.rfind('/');
    const std::string directory = DirectoryOf(path);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return std::nullopt;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir) return std::nullopt;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (::strcasecmp(entry->d_name, name.c_str()) != 0) continue;
        std::string found = slash == std::string::npos ? std::string(entry->d_name)
                                                       : path.substr(0, slash + 1) + entry->d_name;
        if (::stat(found.c_str(), &info) == 0) return found;
    }
    return std::nullopt;
}

std::optional<std::string> RealPath(const std::string& path) {
    std::unique_ptr<char, void (*)(void*)> full(::realpath(path.c_str(), nullptr), std::free);
    if (!full) return std::nullopt;
    return std::string(full.get());
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ExecutablePath() {
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
    path.resize(static_cast<std::size_t>(length));
    return path;
}

std::string ExecutableDirectory() {
    const std::string path = ExecutablePath();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<Dword> ParseNumber(std::string_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    if (value > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<Dword>(value);
}

namespace {

// A process started set-user-ID, set-group-ID or with file capabilities runs with more rights
// than whoever chose its environment: the kernel says so once, at start.
bool SecureExecution() {
    static const bool secure = ::getauxval(AT_SECURE) != 0;
    return secure;
}

// The variables through which a caller steers the library and its platform (registry, event
// log, installation directory, machine facts, test hooks), and the login name that stands in
// for an account the system cannot name. In a secure-execution process none of them counts:
// the system alone answers.
bool SteersTheLibrary(std::string_view name) {
    return name.starts_with("VEL_") || name.starts_with("KXEVENT_") || name.starts_with("KX_") ||
           name == "USER";
}

}  // namespace

std::optional<std::string> Env(const char* name) {
    if (!name || (SecureExecution() && SteersTheLibrary(name))) return std::nullopt;
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

}  // namespace kx::plat::backend
