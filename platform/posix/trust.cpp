// trust.cpp: whether a file may decide which code runs in the process. The registry file names
// the forwarding modules and the installation directory; a module file is the code itself.
// Either is trusted only when no one but its owner and root can change it, and its owner is
// root or the process's own user.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/internal.h"

namespace kx::plat::backend {
namespace {

constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

bool OwnerTrusted(const struct stat& info) {
    return info.st_uid == 0 || info.st_uid == ::geteuid();
}

// A directory above the one that holds the file may be shared (as /tmp is) when its sticky bit
// keeps others from renaming or removing what they do not own.
bool EntryTrusted(const struct stat& info, bool ancestor) {
    if (!OwnerTrusted(info)) return false;
    if ((info.st_mode & kWritableByOthers) == 0) return true;
    return ancestor && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
}

}  // namespace

std::optional<std::string> UntrustedPart(const char* path, int firstLevel) {
    if (!path || !*path) return std::string();
    const std::optional<std::string> resolved = RealPath(NativePath(path));
    if (!resolved) return NativePath(path);
    std::string current = *resolved;
    for (int level = 0; level < firstLevel && current != "/"; ++level) {
        current = DirectoryOf(current);
    }
    // Level 0 is the path itself, level 1 the directory that holds it: neither may be shared.
    for (int level = firstLevel;; ++level) {
        struct stat info;
        if (::stat(current.c_str(), &info) != 0 || !EntryTrusted(info, level >= 2)) {
            return current;
        }
        if (current == "/") return std::nullopt;
        current = DirectoryOf(current);
    }
}

bool IsTrustedPath(const char* path) {
    return !UntrustedPart(path).has_value();
}

std::optional<std::string> UntrustedReason(const char* path, int firstLevel) {
    const std::optional<std::string> part = UntrustedPart(path, firstLevel);
    if (!part) return std::nullopt;
    struct stat info;
    if (part->empty() || ::stat(part->c_str(), &info) != 0) {
        return (part->empty() ? std::string("an empty path") : *part) + " cannot be resolved";
    }
    if (!OwnerTrusted(info)) {
        return *part + " is owned by user " + std::to_string(info.st_uid) +
               ", neither root nor the process's user";
    }
    return *part + " can be changed by users other than its owner and root";
}

std::optional<std::string> ModuleTrustRefusedPart(const std::string& native,
                                                  const std::string& file) {
    std::vector<std::string> checked;
    const std::optional<std::string> named = FindPathIgnoringCase(native);
    struct stat link;
    if (named && ::lstat(named->c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        checked.push_back(RealPath(DirectoryOf(*named)).value_or(DirectoryOf(*named)));
    }
    checked.push_back(file);
    for (const std::string& part : checked) {
        if (!plat::IsTrustedPath(part.c_str())) return part;
    }
    return std::nullopt;
}

std::string RefusalReason(const std::string& part) {
    return UntrustedReason(part.c_str()).value_or(part + " is not trusted");
}

Dword CopyOut(std::string_view text, char* buffer, Dword size) {
    if (!buffer || size == 0) return 0;
    // copy() rather than memcpy: an empty reason may have no characters to point at.
    const std::size_t length = text.copy(buffer, std::min<std::size_t>(text.size(), size - 1));
    buffer[length] = '\0';
    return static_cast<Dword>(length);
}

}  // namespace kx::plat::backend

namespace kx::plat {

Dword UntrustedReasonAbove(const char* path, char* buffer, Dword size) {
    return backend::CopyOut(backend::UntrustedReason(path, 1).value_or(std::string()), buffer,
                            size);
}

Dword ModuleTrustRefusal(const char* path, char* buffer, Dword size) {
    const std::string native = backend::NativePath(path ? path : "");
    const std::optional<std::string> named = backend::FindPathIgnoringCase(native);
    const std::string file = named ? backend::RealPath(*named).value_or(*named) : std::string();
    const std::optional<std::string> part =
        named ? backend::ModuleTrustRefusedPart(native, file) : std::nullopt;
    return backend::CopyOut(part ? backend::RefusalReason(*part) : std::string(), buffer, size);
}

Dword FindFileIgnoringCase(const char* path, char* buffer, Dword size) {
    const std::optional<std::string> found =
        backend::FindPathIgnoringCase(backend::NativePath(path ? path : ""));
    if (!found || found->size() >= size) return backend::CopyOut({}, buffer, size);
    return backend::CopyOut(*found, buffer, size);
}

}  // namespace kx::plat
