// binder.cpp: finds the installation directory, loads the core components by flag, resolves
// their name tables all or nothing, counts their uses and releases them.
#include "runtime/binder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "common/registry.h"
#include "common/text.h"
#include "runtime/binder_internal.h"
#include "runtime/core_names.h"
#include "runtime/search_rules.h"
#include "runtime/siblings.h"

namespace kx {
namespace {

constexpr std::size_t kPathSize = kSearchPathSize;
constexpr char kScanEngineKey[] =
    "SOFTWARE\\Velmora\\QRD\\Shared Components\\Sentrel Engine\\4.0.xx";

// Codes of the directory discovery beyond the installation directory's (search_rules.h).
constexpr int kKeyNotOpened = kInstallKeyNotOpened;
constexpr int kDataDirMissing = 5;
constexpr int kScanDirMissing = 6;

// Codes of the components.
constexpr int kKernelFailed = 9;
constexpr int kAlwaysFails4 = 10;
constexpr int kUtilityFailed = 11;
constexpr int kScanEngineFailed = 12;
constexpr int kAlwaysFails10 = 13;
constexpr int kEventFailed = 14;

char installDirectory[kPathSize];
char scanEngineDirectory[kPathSize];
char dataDirectory[kPathSize];

std::array<void*, core_names::kKernel.size()> kernelEntries{};
std::array<void*, core_names::kUtility.size()> utilityEntries{};
std::array<void*, core_names::kEvent.size()> eventEntries{};
std::array<void*, core_names::kScanEngine.size()> scanEntries{};

enum class Where { LibrarySearch, ScanEngineDirectory, Nowhere };

struct Component {
    std::uint32_t flag;
    const char* file;
    Where where;
    int code;
    std::span<const char* const> names;
    std::span<void*> entries;
    plat::Module handle = nullptr;
    std::int32_t count = 0;
};

// Binding order; releasing walks it backwards (0x20, 8, 2, 1).
std::array<Component, 6> components = {{
    {kComponentKernel, "KXKRNL.DLL", Where::LibrarySearch, kKernelFailed, core_names::kKernel,
     kernelEntries},
    {kComponentUtility, "KXUTIL.DLL", Where::LibrarySearch, kUtilityFailed, core_names::kUtility,
     utilityEntries},
    {kComponentNone4, nullptr, Where::Nowhere, kAlwaysFails4, {}, {}},
    {kComponentScanEngine, "ZQSCAN32.DLL", Where::ScanEngineDirectory, kScanEngineFailed,
     core_names::kScanEngine, scanEntries},
    {kComponentNone10, nullptr, Where::Nowhere, kAlwaysFails10, {}, {}},
    {kComponentEvent, "KXEVENT.DLL", Where::LibrarySearch, kEventFailed, core_names::kEvent,
     eventEntries},
}};

Component& ComponentOf(std::uint32_t flag) {
    for (auto& component : components) {
        if (component.flag == flag) return component;
    }
    return components.front();  // not reached: every flag has a component
}

// A directory text loses one trailing backslash.
void DropTrailingBackslash(std::span<char> text) {
    const std::size_t length = FieldLength(text.data(), text.size());
    if (length > 0 && text[length - 1] == '\\') text[length - 1] = '\0';
}

bool IsExistingDirectory(const char* path) {
    plat::Dword attributes = 0;
    return plat::FindFirstFileAttributes(path, &attributes) &&
           (attributes & plat::kFileAttributeDirectory) != 0;
}

int DiscoverInstallDirectory() {
    const InstallDirectory found = FindInstallDirectory(PlatformRegistry());
    CopyText(installDirectory, found.text);
    return found.code;
}

// A key without a readable "szInstallDir" or "DAT" leaves that text empty, which the
// existence test then refuses with the directory's own code.
int DiscoverScanEngineDirectories() {
    scanEngineDirectory[0] = '\0';
    dataDirectory[0] = '\0';
    {
        const RegKey key(kScanEngineKey);
        if (!key) return kKeyNotOpened;
        if (key.ReadText("szInstallDir", scanEngineDirectory)) {
            if (!key.ReadText("DAT", dataDirectory)) dataDirectory[0] = '\0';
        } else {
            scanEngineDirectory[0] = '\0';
        }
    }
    DropTrailingBackslash(scanEngineDirectory);
    if (!IsExistingDirectory(scanEngineDirectory)) return kScanDirMissing;
    DropTrailingBackslash(dataDirectory);
    if (!IsExistingDirectory(dataDirectory)) return kDataDirMissing;
    return 0;
}

// Directory plus file name must leave room for the separator and terminator within 260 bytes.
bool FitsPath(const char* directory, const char* file) {
    return std::strlen(directory) + std::strlen(file) + 3 <= kPathSize;
}

// One place of a search. Every place, configured or fixed, goes through the platform's check for
// files other users could change: "..\zqpal" and "." are as much someone else's choice as the
// registry is (a shared current directory, a host started anywhere).
plat::Module LoadFormatted(const char* format, const char* first, const char* second = nullptr) {
    char path[kPathSize];
    const int length = second ? std::snprintf(path, sizeof path, format, first, second)
                              : std::snprintf(path, sizeof path, format, first);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return nullptr;
    return plat::LoadConfiguredLibraryA(path);
}

// The places of CoreComponentPlaces in order. A place holding a file that the platform's trust
// check refused (and logged) ends the search: falling through would hand the bind to a less
// trusted place. Any other failure there (no file, a directory or an unreadable file at the
// name) passes on to the next place.
plat::Module SearchLibrary(const char* file) {
    for (const std::string& place : CoreComponentPlaces(installDirectory, file)) {
        if (place.size() >= kPathSize) continue;
        plat::Module module = plat::LoadConfiguredLibraryA(place.c_str());
        if (module != nullptr || plat::LoadRefusedByTrustCheck()) return module;
    }
    return nullptr;
}

plat::Module LoadScanEngine(const char* file) {
    if (!FitsPath(scanEngineDirectory, file)) return nullptr;
    return LoadFormatted("%s\\%s", scanEngineDirectory, file);
}

void ClearEntries(Component& component) {
    std::fill(component.entries.begin(), component.entries.end(), nullptr);
}

// Resolves every name in table order. For the scan engine two names are checked as soon as
// they are resolved; their absence fails with the utility library's code.
int ResolveEntries(Component& component) {
    const bool scanEngine = component.flag == kComponentScanEngine;
    for (std::size_t i = 0; i < component.names.size(); ++i) {
        component.entries[i] = plat::GetProcAddress(component.handle, component.names[i]);
        const std::string_view name = component.names[i];
        if (scanEngine && component.entries[i] == nullptr &&
            (name == core_names::kScanSetTimeout || name == core_names::kScanUserExtensionList)) {
            return kUtilityFailed;
        }
    }
    for (std::size_t i = 0; i < component.names.size(); ++i) {
        const bool optional = scanEngine && component.names[i] == core_names::kScanGetExtendedOpts;
        if (component.entries[i] == nullptr && !optional) return component.code;
    }
    return 0;
}

template <typename Fn>
Fn EntryOf(const Component& component, std::string_view name) {
    for (std::size_t i = 0; i < component.names.size(); ++i) {
        if (component.names[i] == name) return reinterpret_cast<Fn>(component.entries[i]);
    }
    return nullptr;
}

// The six operations this library calls go through Siblings(); fill them from the tables.
void PublishSiblingEntries(const Component& component) {
    auto& siblings = Siblings();
    if (component.flag == kComponentKernel) {
        siblings.FileCreate = EntryOf<KrnlFileCreateFn>(component, "KRNL_FileCreate");
        siblings.FileWrite = EntryOf<KrnlFileWriteFn>(component, "KRNL_FileWrite");
        siblings.FileClose = EntryOf<KrnlFileCloseFn>(component, "KRNL_FileClose");
        siblings.FileDelete = EntryOf<KrnlFileDeleteFn>(component, "KRNL_FileDelete");
        siblings.CpuGetSerialNumber =
            EntryOf<KrnlCpuGetSerialNumberFn>(component, "KRNL_CPU_GetSerialNumber");
    } else if (component.flag == kComponentUtility) {
        siblings.AddMessageToEventLog =
            EntryOf<UtilAddMessageToEventLogFn>(component, "UTIL_AddMessageToEventLog");
    }
}

int BindComponent(Component& component) {
    switch (component.where) {
        case Where::Nowhere:
            return component.code;
        case Where::LibrarySearch:
            component.handle = SearchLibrary(component.file);
            break;
        case Where::ScanEngineDirectory:
            component.handle = LoadScanEngine(component.file);
            break;
    }
    if (component.handle == nullptr) return component.code;
    if (const int code = ResolveEntries(component); code != 0) {
        ClearEntries(component);
        plat::FreeLibrary(component.handle);
        component.handle = nullptr;
        return code;
    }
    PublishSiblingEntries(component);
    return 0;
}

void ReleaseComponent(Component& component) {
    if (component.handle == nullptr) return;
    if (--component.count > 0) return;
    component.count = 0;
    ClearEntries(component);
    // Publishing the cleared table withdraws the component's operations: each becomes null.
    PublishSiblingEntries(component);
    plat::FreeLibrary(component.handle);
    component.handle = nullptr;
}

// What the discovery of the installation directory found, for the note of a failed bind.
std::string DescribeDiscovery(int discovery) {
    const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kCurrentVersionKey;
    switch (discovery) {
        case kKeyNotOpened:
            return "the key " + key + " cannot be opened";
        case kNoInstallDirValue:
            return "\"szInstallDir\" is missing from " + key;
        case kInstallDirMissing:
            return "the installation directory '" + std::string(FieldText(installDirectory)) +
                   "' does not exist";
        default:
            return "installation directory '" + std::string(FieldText(installDirectory)) + "'";
    }
}

// The host sees only a refused attach: leave it the binder's code and where it looked.
void NoteBindFailure(int code, const Component& component, int discovery) {
    const std::string text = "binder code " + std::to_string(code) + ": " +
                             (component.file ? component.file : "a reserved component") +
                             " could not be bound (" + DescribeDiscovery(discovery) + ")";
    plat::NoteLoadRefusal(text.c_str());
}

}  // namespace

int BindCoreComponents(std::uint32_t mask) {
    const int discovery = DiscoverInstallDirectory();
    int result = discovery;
    if ((mask & kComponentScanEngine) && ComponentOf(kComponentScanEngine).count == 0) {
        if (const int code = DiscoverScanEngineDirectories(); code != 0) return code;
        result = 0;
    }
    // Uses this call has counted so far; a failure gives back exactly these.
    std::uint32_t counted = 0;
    for (auto& component : components) {
        if ((mask & component.flag) == 0) continue;
        if (component.count == 0) {
            if (const int code = BindComponent(component); code != 0) {
                NoteBindFailure(code, component, discovery);
                ReleaseCoreComponents(counted);
                return code;
            }
            result = 0;
        }
        ++component.count;
        counted |= component.flag;
    }
    return result;
}

int ReleaseCoreComponents(std::uint32_t mask) {
    for (auto it = components.rbegin(); it != components.rend(); ++it) {
        if (mask & it->flag) ReleaseComponent(*it);
    }
    return 0;
}

const char* GetInstallDirectory() {
    return installDirectory;
}

std::int32_t ComponentUseCount(std::uint32_t flag) {
    return ComponentOf(flag).count;
}

plat::Module ComponentHandle(std::uint32_t flag) {
    return ComponentOf(flag).handle;
}

std::size_t ComponentResolvedEntries(std::uint32_t flag) {
    const auto& entries = ComponentOf(flag).entries;
    return static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(),
                                                  [](void* entry) { return entry != nullptr; }));
}

const char* GetScanEngineDirectory() {
    return scanEngineDirectory;
}

const char* GetScanDataDirectory() {
    return dataDirectory;
}

}  // namespace kx
