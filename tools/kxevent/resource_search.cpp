// resource_search.cpp: following the library's search for its resource module without loading
// anything that runs or logging a refusal.
#include "tools/kxevent/resource_search.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <system_error>

#include "platform/platform.h"
#include "tools/admin/event_library.h"
#include "tools/admin/registry_files.h"

namespace kx::tool {

namespace {

namespace fs = std::filesystem;

constexpr char kCurrentVersionKey[] =
    "Software\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion";
constexpr char kResourceModule[] = "kxUtlRes.dll";
constexpr char kDefaultBase[] = "..\\zqpal";
// The library's path buffers: a longer installation directory reads as none, a longer module
// path is not tried.
constexpr std::size_t kPathSize = 260;

// The installation directory as the library's binder reads it, with one trailing backslash
// dropped; empty when none is set or it does not fit.
std::string InstallDirectory(const reg::Document& document, std::string& origin) {
    std::array<char, kPathSize> debug{};
    const plat::Dword length =
        plat::GetEnvironmentVariableA("VEL_DEBUGCORE", debug.data(), kPathSize);
    std::string directory;
    if (length != 0) {
        origin = "VEL_DEBUGCORE";
        if (length < kPathSize) directory = debug.data();
    } else if (const reg::Key* key = reg::FindKey(document, kCurrentVersionKey)) {
        if (const reg::Value* value = reg::FindValue(*key, "szInstallDir")) {
            origin = "\"szInstallDir\"";
            directory = ValueText(*value);
            if (directory.size() >= kPathSize) directory.clear();
        }
    }
    if (!directory.empty() && directory.back() == '\\') directory.pop_back();
    return directory;
}

std::string NativePath(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The file as the loader finds it: the path itself, else an entry of its directory whose name
// differs only in case (the directories above must match exactly).
std::optional<fs::path> Locate(const fs::path& path) {
    std::error_code error;
    if (fs::exists(path, error)) return path;
    const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        if (SameIgnoringCase(entry.path().filename().string(), path.filename().string()) &&
            fs::exists(entry.path(), error)) {
            return entry.path();
        }
    }
    return std::nullopt;
}

// Whether the loader takes the file for a resource module (a string table on Linux). Loaded for
// its resources only: nothing of it runs.
bool LoadsAsResources(const fs::path& file) {
    plat::Module module =
        plat::LoadLibraryExA(file.string().c_str(), plat::kDontResolveDllReferences);
    if (module == nullptr) return false;
    plat::FreeLibrary(module);
    return true;
}

}  // namespace

std::optional<std::string> Untrusted(const fs::path& path) {
    std::array<char, 1024> reason{};
    if (plat::UntrustedReason(path.string().c_str(), reason.data(),
                              static_cast<plat::Dword>(reason.size())) == 0) {
        return std::nullopt;
    }
    return std::string(reason.data());
}

std::optional<std::string> TrustRefusal(const fs::path& file) {
    std::error_code error;
    if (fs::is_symlink(file, error)) {
        const fs::path holder = file.has_parent_path() ? file.parent_path() : fs::path(".");
        if (auto reason = Untrusted(fs::weakly_canonical(holder, error))) return reason;
    }
    return Untrusted(file);
}

std::optional<std::string> ModuleRefusal(const fs::path& file) {
    if (auto reason = TrustRefusal(file)) return reason;
    std::error_code error;
    if (!fs::is_regular_file(file, error)) return file.string() + " is not a regular file";
    return std::nullopt;
}

ResourceSearch FindResourceModule(const reg::Document& document) {
    ResourceSearch search;
    search.base = InstallDirectory(document, search.origin);
    if (search.base.empty()) {
        search.base = kDefaultBase;
        search.defaultBase = true;
        search.origin =
            "\"..\\zqpal\" beside the current directory, as no installation "
            "directory is set";
    }
    std::error_code error;
    for (const std::string& name : ResourceDirectoryNames()) {
        const std::string full = search.base + "\\" + name + "\\" + kResourceModule;
        const fs::path path = NativePath(full);
        const fs::path shown = fs::absolute(path, error).lexically_normal();
        if (full.size() >= kPathSize) {
            search.tried.push_back({shown, "path too long"});
            continue;
        }
        const std::optional<fs::path> file = Locate(path);
        if (!file) {
            search.tried.push_back({shown, "not found"});
            continue;
        }
        const fs::path found = fs::absolute(*file, error).lexically_normal();
        if (auto reason = TrustRefusal(*file)) {
            search.module = found;
            search.language = name.substr(3);
            search.refusal = std::move(reason);
            return search;
        }
        if (!fs::is_regular_file(*file, error)) {
            search.tried.push_back({found, "not a regular file"});
            continue;
        }
        if (!LoadsAsResources(*file)) {
            search.tried.push_back({found, "not a resource module"});
            continue;
        }
        search.module = found;
        search.language = name.substr(3);
        return search;
    }
    return search;
}

}  // namespace kx::tool
