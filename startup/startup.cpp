// startup.cpp: process attach and detach: binding the siblings, the diagnostics switch, the
// resource module and language, the message defaults, and the release in reverse.
#include "startup/startup.h"

#include <array>
#include <span>

#include "catalogue/definitions.h"
#include "common/registry.h"
#include "common/text.h"
#include "runtime/binder.h"
#include "runtime/resources.h"
#include "runtime/siblings.h"
#include "runtime/state.h"

namespace kx {
namespace {

constexpr std::uint32_t kKernelAndUtility = kComponentKernel | kComponentUtility;
constexpr std::size_t kSettingSize = 32;
constexpr char kDefaultResourceBase[] = "..\\zqpal";
constexpr char kResourceWarningCaption[] = "KXUtil.dll : Error loading resource DLL (kxUtlRes.dll)";

// Any readable "Diagnostics" value, whatever its type or content, turns diagnostics on.
void ReadDiagnosticsSwitch() {
    {
        const RegKey key(kAlertingKey);
        if (!key) return;
        std::array<char, kSettingSize> value{};
        if (key.Read("Diagnostics", std::span<char>(value))) DiagnosticsEnabled = true;
    }
    Trace("VelEvent", 0, "Diagnostics Logging ON");
}

// "szPreferredLanguage" replaces the language of the resource module's directory. Its text is
// taken up to its terminator, or the bytes read when it has none, and cut to the width of
// LanguageCode.
void ApplyPreferredLanguage() {
    const RegKey key(kAlertingKey);
    if (!key) return;
    std::array<char, kSettingSize> value{};
    const auto read = key.Read("szPreferredLanguage", std::span<char>(value));
    if (!read) return;
    CopyText(LanguageCode, BoundedText(std::span<const char>(value.data(), *read)));
}

}  // namespace

bool ProcessAttach(plat::Module /*self*/) {
    if (BindCoreComponents(kKernelAndUtility) != 0) return false;
    ReadDiagnosticsSwitch();
    const char* base = GetInstallDirectory();
    if (base[0] == '\0') base = kDefaultResourceBase;
    ResourceModule = LoadResourceModule(base, kResourceModuleName);
    if (ResourceModule == nullptr) {
        ShowResourceLoadWarning(kResourceWarningCaption);
        // A refused attach is never followed by a detach: give the siblings back now.
        ReleaseCoreComponents(kKernelAndUtility);
        return false;
    }
    ApplyPreferredLanguage();
    LoadMessageDefaults();
    return true;
}

void ProcessDetach() {
    if (ResourceModule != nullptr) {
        plat::FreeLibrary(ResourceModule);
        ResourceModule = nullptr;
    }
    ReleaseCoreComponents(kKernelAndUtility);
}

}  // namespace kx
