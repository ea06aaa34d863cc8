// module.cpp: modules over the dynamic loader, with the Windows bookkeeping on top: one object
// per real file with a reference count, DllMain notifications, resource-only modules (string
// tables in the KXRS format) and string loading.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/fd.h"
#include "platform/posix/internal.h"

namespace kx::plat {

struct ModuleObject {
    std::string path;  // full path of the file
    dev_t device = 0;
    ino_t inode = 0;
    bool resourceOnly = false;
    void* handle = nullptr;  // the dynamic loader's handle (code modules)
    bool attached = false;   // DllMain got the attach notification from this loader
    int references = 0;
    std::unordered_map<std::uint32_t, std::string> strings;  // resource modules
};

namespace backend {
namespace {

using DllMainFn = int (*)(void*, std::uint32_t, void*);
constexpr std::uint32_t kProcessDetach = 0, kProcessAttach = 1;
constexpr char kResourceMagic[4] = {'K', 'X', 'R', 'S'};
constexpr std::uint32_t kResourceVersion = 1;
constexpr off_t kMaxResourceFileSize = 16 * 1024 * 1024;

struct Loader {
    // Recursive: a DllMain may itself load and free modules.
    std::recursive_mutex mutex;
    std::vector<std::unique_ptr<ModuleObject>> modules;
    // Files this loader has unloaded. The dynamic loader may keep such a file mapped (a C++
    // module with unique symbols cannot be unmapped); a later load still gets a fresh attach.
    std::set<std::pair<dev_t, ino_t>> unloaded;

    ModuleObject* Find(dev_t device, ino_t inode, bool resourceOnly) {
        for (auto& module : modules) {
            if (module->device == device && module->inode == inode &&
                module->resourceOnly == resourceOnly) {
                return module.get();
            }
        }
        return nullptr;
    }
    bool Knows(Module module) {
        return std::any_of(modules.begin(), modules.end(),
                           [&](const auto& known) { return known.get() == module; });
    }
    void Forget(Module module) {
        std::erase_if(modules, [&](const auto& known) { return known.get() == module; });
    }
};

Loader& TheLoader() {
    static Loader loader;
    return loader;
}

// A failed load: the last error says why, and there is no module.
Module NoModule(Status error) {
    Fail(error);
    return nullptr;
}

// The file a module path names. A path with a separator is taken as given (relative to the
// current directory); a bare name is looked for in the executable's directory, then the
// current directory. In each place the last component may differ in case.
std::optional<std::string> Locate(const std::string& native) {
    if (native.find('/') != std::string::npos) {
        std::optional<std::string> found = FindPathIgnoringCase(native);
        return found ? RealPath(*found) : std::nullopt;
    }
    for (const std::string& directory : {ExecutableDirectory(), std::string(".")}) {
        if (directory.empty()) continue;
        if (std::optional<std::string> found = FindPathIgnoringCase(directory + "/" + native)) {
            return RealPath(*found);
        }
    }
    return std::nullopt;
}

std::uint32_t ReadLe32(const unsigned char* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::optional<std::string> ReadSmallFile(const std::string& path, off_t limit) {
    FileContent file =
        ReadRegularFile(AT_FDCWD, path.c_str(), static_cast<std::size_t>(limit), true);
    // All or nothing: a file cut short is no string table.
    if (!file.ok() || file.bytes.size() != static_cast<std::size_t>(file.info.st_size))
        return std::nullopt;
    return std::move(file.bytes);
}

// A string table: "KXRS", version 1, a count, then per entry an id, a length and the text.
// Every length is checked against what is left of the file; anything else fails.
bool ParseStringTable(std::string_view file,
                      std::unordered_map<std::uint32_t, std::string>& strings) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    if (file.size() < 12 || std::memcmp(bytes, kResourceMagic, 4) != 0) return false;
    if (ReadLe32(bytes + 4) != kResourceVersion) return false;
    const std::uint32_t count = ReadLe32(bytes + 8);
    std::size_t at = 12;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (file.size() - at < 8) return false;
        const std::uint32_t id = ReadLe32(bytes + at);
        const std::uint32_t length = ReadLe32(bytes + at + 4);
        at += 8;
        if (file.size() - at < length) return false;
        strings.try_emplace(id, file.substr(at, length));
        at += length;
    }
    return at == file.size();
}

// The module's own export `name`: a symbol that the dynamic loader finds in one of the
// module's dependencies does not count, as GetProcAddress finds only the module's exports.
void* OwnSymbol(void* handle, const char* name) {
    ::dlerror();
    void* symbol = ::dlsym(handle, name);
    if (!symbol) return nullptr;
    link_map* own = nullptr;
    link_map* where = nullptr;
    Dl_info info;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 ||
        !::dladdr1(symbol, &info, reinterpret_cast<void**>(&where), RTLD_DL_LINKMAP)) {
        return nullptr;
    }
    return where == own ? symbol : nullptr;
}

bool IsElf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char magic[4] = {};
    const bool elf = ::read(fd, magic, 4) == 4 && std::memcmp(magic,
                                                              "\x7f"
                                                              "ELF",
                                                              4) == 0;
    ::close(fd);
    return elf;
}

// Why the dynamic loader refused a file, as Windows would say it.
Status DlopenFailure(const std::string& path, const char* message) {
    if (!IsElf(path)) return kErrorBadFormat;
    const std::string_view text = message ? message : "";
    if (text.find("cannot open shared object file") != std::string_view::npos) {
        return kErrorModNotFound;  // a library it depends on is missing
    }
    if (text.find("undefined symbol") != std::string_view::npos) return kErrorProcNotFound;
    return kErrorBadFormat;
}

// A new object for the module file, holding the caller's one reference.
std::unique_ptr<ModuleObject> NewModule(const std::string& file, const struct stat& info) {
    auto module = std::make_unique<ModuleObject>();
    module->path = file;
    module->device = info.st_dev;
    module->inode = info.st_ino;
    module->references = 1;
    return module;
}

Module LoadResourceModule(Loader& loader, const std::string& file, const struct stat& info) {
    if (ModuleObject* existing = loader.Find(info.st_dev, info.st_ino, true)) {
        ++existing->references;
        return existing;
    }
    std::optional<std::string> content = ReadSmallFile(file, kMaxResourceFileSize);
    std::unique_ptr<ModuleObject> module = NewModule(file, info);
    module->resourceOnly = true;
    if (!content || !ParseStringTable(*content, module->strings)) return NoModule(kErrorBadFormat);
    loader.modules.push_back(std::move(module));
    return loader.modules.back().get();
}

// Closes the dynamic loader's handle of a module this loader is done with. A file that stays
// mapped (a C++ module with unique symbols cannot be unmapped) is remembered, so that a later
// load still gets a fresh attach; one that went is forgotten, so that the process mapping it
// again itself is not taken for the mapping this loader left behind.
void CloseHandle(Loader& loader, void* handle, const std::string& file, dev_t device,
                 ino_t inode) noexcept {
    ::dlclose(handle);
    void* still = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    try {
        if (still) {
            loader.unloaded.insert({device, inode});
        } else {
            loader.unloaded.erase({device, inode});
        }
    } catch (...) {
        // Out of memory for one entry: the file then counts as mapped by the process, which
        // costs its next load the attach, never a second one.
    }
    if (still) ::dlclose(still);
}

// Takes a module whose attach did not succeed (refused, or its DllMain threw) back out of the
// loader: off the table and closed, as if it had never been loaded. Left in the table it would
// hold a reference no one owns, and a later load would get it without an attach.
class AttachGuard {
  public:
    AttachGuard(Loader& loader, ModuleObject* module) : loader_(loader), module_(module) {}
    ~AttachGuard() {
        if (!module_) return;
        CloseHandle(loader_, module_->handle, module_->path, module_->device, module_->inode);
        loader_.Forget(module_);
    }
    AttachGuard(const AttachGuard&) = delete;
    AttachGuard& operator=(const AttachGuard&) = delete;
    void Keep() { module_ = nullptr; }

  private:
    Loader& loader_;
    ModuleObject* module_;
};

// Unloads a module whose last reference went once its detach is over, however the detach ended.
// A DllMain that threw out of its detach would otherwise leave it in the table with no reference,
// still mapped: no one could free it, and a later load would get it back without an attach.
class DetachGuard {
  public:
    DetachGuard(Loader& loader, ModuleObject* module) : loader_(loader), module_(module) {}
    ~DetachGuard() {
        // Loaded again while detaching: it stays.
        if (module_->references > 0) return;
        if (module_->handle) {
            CloseHandle(loader_, module_->handle, module_->path, module_->device, module_->inode);
        }
        loader_.Forget(module_);
    }
    DetachGuard(const DetachGuard&) = delete;
    DetachGuard& operator=(const DetachGuard&) = delete;

  private:
    Loader& loader_;
    ModuleObject* module_;
};

// Registers a module the dynamic loader just opened and runs its attach notification.
Module AdoptCodeModule(Loader& loader, void* handle, const std::string& file,
                       const struct stat& info, bool loadedBefore) {
    if (ModuleObject* existing = loader.Find(info.st_dev, info.st_ino, false)) {
        ::dlclose(handle);  // the loader's own reference is held by the existing object
        ++existing->references;
        return existing;
    }
    std::unique_ptr<ModuleObject> owned = NewModule(file, info);
    ModuleObject* module = owned.get();
    module->handle = handle;
    loader.modules.push_back(std::move(owned));
    // A module that the process had mapped already (linked in, or opened without this loader)
    // was initialised then; it gets no second attach.
    auto entry = reinterpret_cast<DllMainFn>(OwnSymbol(handle, "DllMain"));
    if (!entry || loadedBefore) return module;
    module->attached = true;
    // An exception out of the attach goes on to the caller, with the module gone.
    AttachGuard guard(loader, module);
    if (entry(module, kProcessAttach, nullptr) != 0) {
        guard.Keep();
        return module;
    }
    // A refused attach: the module gets its detach, as Windows does, and is unloaded.
    entry(module, kProcessDetach, nullptr);
    return NoModule(kErrorDllInitFailed);
}

// True when the process had mapped the file without this loader, so that it was initialised
// already.
bool MappedBefore(Loader& loader, const char* name, const struct stat& info) {
    void* previous = ::dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!previous) return false;
    ::dlclose(previous);
    return !loader.unloaded.contains({info.st_dev, info.st_ino});
}

Module LoadCodeModule(Loader& loader, const std::string& file, const struct stat& info) {
    if (ModuleObject* existing = loader.Find(info.st_dev, info.st_ino, false)) {
        ++existing->references;
        return existing;
    }
    const bool mappedElsewhere = MappedBefore(loader, file.c_str(), info);
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return NoModule(DlopenFailure(file, ::dlerror()));
    return AdoptCodeModule(loader, handle, file, info, mappedElsewhere);
}

// A bare name found nowhere else: the dynamic loader's own search.
Module LoadFromSystem(Loader& loader, const std::string& name) {
    void* previous = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (previous) ::dlclose(previous);
    void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return NoModule(kErrorModNotFound);
    link_map* map = nullptr;
    struct stat info;
    std::optional<std::string> file;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) {
        file = RealPath(map->l_name);
    }
    if (!file || ::stat(file->c_str(), &info) != 0) {
        ::dlclose(handle);
        return NoModule(kErrorModNotFound);
    }
    const bool mappedElsewhere = previous && !loader.unloaded.contains({info.st_dev, info.st_ino});
    return AdoptCodeModule(loader, handle, *file, info, mappedElsewhere);
}

// A module named by configuration is loaded only while the configuration and the module file
// are safe from other users; a refusal is logged, as the host sees only a failed load.
void LogRefusal(const char* path, const std::string& file, const std::string& checked) {
    const std::string text =
        std::string("Module ") + path + " (" + file + ") was not loaded: " + RefusalReason(checked);
    plat::AddEventLogEntry(kRefusalSource, kRefusalLabel, 0, static_cast<Dword>(kErrorAccessDenied),
                           text.c_str());
    plat::NoteLoadRefusal(text.c_str());
    plat::NoteTrustRefusal();
}

// A name without a directory would be found through the search path, which no configuration
// decides: a configured name must say where its file is.
bool NamesItsDirectory(const char* path, const std::string& native) {
    if (native.find('/') != std::string::npos) return true;
    const std::string text = std::string("Module ") + path +
                             " was not loaded: a configured module must be named with its "
                             "directory, not found through the library search path";
    plat::AddEventLogEntry(kRefusalSource, kRefusalLabel, 0, static_cast<Dword>(kErrorAccessDenied),
                           text.c_str());
    plat::NoteLoadRefusal(text.c_str());
    plat::NoteTrustRefusal();
    return false;
}

// The file the name resolves to; and when the name is a symbolic link, the directory that holds
// the link too: a link planted in a shared directory must not borrow a trusted file's standing.
bool ModuleFileTrusted(const char* path, const std::string& native, const std::string& file) {
    const std::optional<std::string> part = ModuleTrustRefusedPart(native, file);
    if (part) LogRefusal(path, file, *part);
    return !part;
}

}  // namespace

Module LoadLibraryExA(const char* path, Dword flags) {
    if (!path || !*path) return NoModule(kErrorInvalidParameter);
    const bool resourceOnly = (flags & kDontResolveDllReferences) != 0;
    const bool configured = (flags & kLoadNamedByConfiguration) != 0;
    const std::string native = NativePath(path);
    if (configured && !NamesItsDirectory(path, native)) return NoModule(kErrorAccessDenied);
    Loader& loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    const std::optional<std::string> file = Locate(native);
    if (!file) {
        // The system's own search covers only places that root or the process's environment
        // chose, never the configuration.
        const bool bare = native.find('/') == std::string::npos;
        return bare && !resourceOnly ? LoadFromSystem(loader, native) : NoModule(kErrorModNotFound);
    }
    if (configured && !ModuleFileTrusted(path, native, *file)) return NoModule(kErrorAccessDenied);
    struct stat info;
    if (::stat(file->c_str(), &info) != 0) return NoModule(kErrorModNotFound);
    if (!S_ISREG(info.st_mode)) return NoModule(kErrorAccessDenied);
    return resourceOnly ? LoadResourceModule(loader, *file, info)
                        : LoadCodeModule(loader, *file, info);
}

void* GetProcAddress(Module module, const char* name) {
    Loader& loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    if (!module || !loader.Knows(module)) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    // Names only: an ordinal (a small number in place of the name) is not served.
    const bool ordinal = reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF;
    void* symbol = module->resourceOnly || ordinal ? nullptr : OwnSymbol(module->handle, name);
    if (!symbol) SetLastError(kErrorProcNotFound);
    return symbol;
}

bool FreeLibrary(Module module) {
    Loader& loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    if (!module || !loader.Knows(module) || module->references <= 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (--module->references > 0) return true;
    // An exception out of the detach goes on to the caller, with the module gone all the same.
    DetachGuard guard(loader, module);
    if (module->attached) {
        auto entry = reinterpret_cast<DllMainFn>(OwnSymbol(module->handle, "DllMain"));
        if (entry) entry(module, kProcessDetach, nullptr);
    }
    return true;
}

Dword GetModuleFileNameA(Module module, char* buffer, Dword size) {
    std::string path;
    if (!module) {
        path = ExecutablePath();
    } else {
        Loader& loader = TheLoader();
        std::lock_guard lock(loader.mutex);
        if (loader.Knows(module)) path = module->path;
    }
    if (path.empty()) {
        SetLastError(kErrorModNotFound);
        return 0;
    }
    if (!buffer || size == 0) {
        SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    const std::size_t length = std::min<std::size_t>(path.size(), size - 1);
    std::memcpy(buffer, path.data(), length);
    buffer[length] = '\0';
    SetLastError(length < path.size() ? kErrorInsufficientBuffer : kErrorSuccess);
    return static_cast<Dword>(length);
}

int LoadStringA(Module module, unsigned id, char* buffer, int size) {
    if (!buffer || size <= 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    buffer[0] = '\0';
    Loader& loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    if (!module || !loader.Knows(module)) {
        SetLastError(kErrorResourceDataNotFound);
        return 0;
    }
    if (!module->resourceOnly) {
        SetLastError(kErrorResourceTypeNotFound);
        return 0;
    }
    const auto found = module->strings.find(id);
    if (found == module->strings.end()) {
        SetLastError(kErrorResourceNameNotFound);
        return 0;
    }
    const std::size_t length = std::min(found->second.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, found->second.data(), length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}

int ModuleReferenceCount(Module module) {
    Loader& loader = TheLoader();
    std::lock_guard lock(loader.mutex);
    return module && loader.Knows(module) ? module->references : 0;
}

}  // namespace backend
}  // namespace kx::plat
