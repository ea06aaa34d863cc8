// registry.cpp: HKEY_LOCAL_MACHINE kept in a registry file (VEL_REGISTRY, by default
// /etc/velmora/hklm.reg), read only.
//
// The file is parsed once and the parsed document shared until the file changes; checking for
// a change costs one stat. An open key holds the document it was opened on, so a file replaced
// meanwhile never changes what an open key reads; inside a facts view every key opened by the
// thread comes from the version the view's first open found.
//
// The file decides where alert files land, what they say and which code runs in the process:
// a file that users other than its owner and root could have changed is read as absent, and
// the event log says so once for each version of the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/fd.h"
#include "platform/posix/facts_view.h"
#include "platform/posix/internal.h"
#include "platform/regfile.h"

namespace kx::plat {

struct RegistryKey {
    std::shared_ptr<const reg::Document> document;
    const reg::Key* key;  // null: a key that exists only as the parent of others (no values)
};

namespace backend {
namespace {

constexpr char kDefaultRegistryFile[] = "/etc/velmora/hklm.reg";
// A registry file beyond this size is not read (it is treated as empty), so that a runaway
// file cannot exhaust the process's memory.
constexpr off_t kMaxRegistryFileSize = 64 * 1024 * 1024;

// One parsed version of the file with the index its keys are opened through.
struct Loaded {
    explicit Loaded(reg::Document parsed) : document(std::move(parsed)), index(document) {}
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;

    const reg::Document document;
    const reg::KeyIndex index;  // refers into `document`
};

struct Cache {
    std::mutex mutex;
    std::string path;
    FileStamp stamp;  // empty ({}) when the file could not be opened, as the stamp of no file
    std::shared_ptr<const Loaded> document;
    // Why the file was refused at its last reading ("" when it was not), and the version of the
    // file whose refusal the event log has had.
    std::string refusal;
    std::string refusedPath;
    FileStamp refusedStamp;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

std::atomic<std::uint64_t> gParseCount{0};

// Reads one consistent version of the file: opened once, its size and identity taken from the
// open file, read whole (a file cut short meanwhile gives what it still held). Nothing when it
// is no regular file or too large.
std::optional<std::string> ReadWhole(int fd, const struct stat& info) {
    if (!S_ISREG(info.st_mode) || info.st_size > kMaxRegistryFileSize) return std::nullopt;
    std::string bytes;
    ReadUpTo(fd, static_cast<std::size_t>(info.st_size), bytes);
    return bytes;
}

// Why the open file at `path` may not be believed; nothing when it may. The open file itself is
// asked about its owner and mode, so that a file swapped in after the path was checked is not
// taken on the path's word.
std::optional<std::string> RefusalOf(const std::string& path, const struct stat& info) {
    std::optional<std::string> reason = UntrustedReason(path.c_str());
    if (!reason && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        reason = path + " can be changed by users other than its owner and root";
    }
    if (!reason && info.st_uid != 0 && info.st_uid != ::geteuid()) {
        reason = path + " is owned by user " + std::to_string(info.st_uid) +
                 ", neither root nor the process's user";
    }
    if (!reason) return std::nullopt;
    return "Nothing was read from the registry file " + path + ": " + *reason;
}

// Refuses the file: the registry reads as empty and is looked at again at the next open, so
// that a repaired directory counts at once. `report` gets the text to log for a version of the
// file not reported before.
std::shared_ptr<const Loaded> Refuse(Cache& cache, const std::string& path, const struct stat& info,
                                     std::string reason, std::string& report) {
    const FileStamp version = FileStamp::From(info);
    if (cache.refusedPath != path || !(cache.refusedStamp == version)) report = reason;
    cache.refusedPath = path;
    cache.refusedStamp = version;
    cache.refusal = std::move(reason);
    cache.path = path;
    cache.stamp = {};
    cache.document = std::make_shared<const Loaded>(reg::Document{});
    return cache.document;
}

std::shared_ptr<const Loaded> Load(Cache& cache, const std::string& path, std::string& report) {
    // Never blocks: a FIFO or device put in the file's place is seen by fstat, not read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    cache.refusal.clear();
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0) ::close(fd);
        cache.path = path;
        cache.stamp = {};
        cache.document = std::make_shared<const Loaded>(reg::Document{});
        return cache.document;
    }
    if (std::optional<std::string> reason = RefusalOf(path, info)) {
        ::close(fd);
        return Refuse(cache, path, info, std::move(*reason), report);
    }
    cache.refusedPath.clear();
    cache.refusedStamp = {};
    std::optional<std::string> text = ReadWhole(fd, info);
    ::close(fd);
    ++gParseCount;
    cache.path = path;
    cache.stamp = FileStamp::From(info);
    cache.document = std::make_shared<const Loaded>(text ? reg::Parse(*text) : reg::Document{});
    return cache.document;
}

// The registry version the thread's facts view keeps; empty outside a view.
struct ViewedRegistry {
    std::string path;
    std::shared_ptr<const Loaded> document;
};

thread_local ViewedRegistry tViewed;

// The current version of the registry, parsed at most once per version of the file. A file
// that stays absent keeps its empty document; one that exists but could not be opened never
// matches the empty stamp and is tried again.
std::shared_ptr<const Loaded> LatestDocument(const std::string& path) {
    Cache& cache = TheCache();
    const FileStamp stamp = FileStamp::Of(path.c_str());
    std::string report;
    std::shared_ptr<const Loaded> document;
    {
        std::lock_guard lock(cache.mutex);
        if (cache.document && cache.path == path && stamp == cache.stamp) return cache.document;
        document = Load(cache, path, report);
    }
    // Logged outside the lock: the event log may itself be a module that reads the registry.
    if (!report.empty()) {
        plat::AddEventLogEntry(kRefusalSource, kRegistryRefusalLabel, 0,
                               static_cast<Dword>(kErrorAccessDenied), report.c_str());
    }
    return document;
}

// Inside a facts view, the version the view's first open found; else the latest.
std::shared_ptr<const Loaded> CurrentDocument() {
    const std::string path = RegistryFilePath();
    if (!InFactsView()) return LatestDocument(path);
    if (!tViewed.document || tViewed.path != path) tViewed = {path, LatestDocument(path)};
    return tViewed.document;
}

const reg::Value* ValueAt(HKey key, Dword index) {
    if (!key->key || index >= key->key->values.size()) return nullptr;
    return &key->key->values[index];
}

}  // namespace

void ForgetViewedRegistry() {
    tViewed = {};
}

std::string RegistryFilePath() {
    std::optional<std::string> path = Env("VEL_REGISTRY");
    return path && !path->empty() ? *path : kDefaultRegistryFile;
}

std::uint64_t RegistryParseCount() {
    return gParseCount.load();
}

std::string RegistryRefusal() {
    const std::string path = RegistryFilePath();
    LatestDocument(path);
    Cache& cache = TheCache();
    std::lock_guard lock(cache.mutex);
    return cache.path == path ? cache.refusal : std::string();
}

Status RegOpenKeyExA(const char* subkey, HKey* key) {
    if (!key) return kErrorInvalidParameter;
    *key = nullptr;
    std::shared_ptr<const Loaded> loaded = CurrentDocument();
    const std::string_view path = subkey ? subkey : "";
    const reg::Key* found = loaded->index.Find(path);
    // HKEY_LOCAL_MACHINE itself and the parents of stored keys exist without values.
    if (!found && !path.empty() && !loaded->index.HasSubkey(path)) return kErrorFileNotFound;
    // The key keeps the whole parsed version alive through its document.
    std::shared_ptr<const reg::Document> document(loaded, &loaded->document);
    *key = new (std::nothrow) RegistryKey{std::move(document), found};
    return *key ? kErrorSuccess : kErrorNotEnoughMemory;
}

Status RegQueryValueExA(HKey key, const char* name, Dword* type, void* data, Dword* size) {
    if (!key) return kErrorInvalidHandle;
    if (data && !size) return kErrorInvalidParameter;
    const reg::Value* value = key->key ? reg::FindValue(*key->key, name ? name : "") : nullptr;
    if (!value) return kErrorFileNotFound;
    const Dword needed = static_cast<Dword>(value->data.size());
    if (type) *type = value->type;
    if (data && needed > *size) {
        *size = needed;
        return kErrorMoreData;
    }
    if (data && needed) std::memcpy(data, value->data.data(), needed);
    if (size) *size = needed;
    return kErrorSuccess;
}

Status RegEnumValueA(HKey key, Dword index, char* name, Dword* nameChars, Dword* type, void* data,
                     Dword* dataSize) {
    if (!key) return kErrorInvalidHandle;
    if (!name || !nameChars || (data && !dataSize)) return kErrorInvalidParameter;
    const reg::Value* value = ValueAt(key, index);
    if (!value) return kErrorNoMoreItems;
    const Dword needed = static_cast<Dword>(value->data.size());
    if (value->name.size() + 1 > *nameChars) return kErrorMoreData;
    if (data && needed > *dataSize) {
        *dataSize = needed;
        return kErrorMoreData;
    }
    std::memcpy(name, value->name.c_str(), value->name.size() + 1);
    *nameChars = static_cast<Dword>(value->name.size());
    if (type) *type = value->type;
    if (data && needed) std::memcpy(data, value->data.data(), needed);
    if (dataSize) *dataSize = needed;
    return kErrorSuccess;
}

Status RegCloseKey(HKey key) {
    if (!key) return kErrorInvalidHandle;
    delete key;
    return kErrorSuccess;
}

}  // namespace backend

Dword UntrustedReason(const char* path, char* buffer, Dword size) {
    return backend::CopyOut(backend::UntrustedReason(path).value_or(std::string()), buffer, size);
}

Dword RegistryRefusal(char* buffer, Dword size) {
    return backend::CopyOut(backend::RegistryRefusal(), buffer, size);
}

}  // namespace kx::plat
