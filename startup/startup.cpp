// startup.cpp: process attach and detach: binding the siblings, the diagnostics switch, the
// resource module and language, the message defaults, and the release in reverse.
#include "startup/startup.h"

#include <array>
#include <span>
#include <string>

#include "catalogue/definitions.h"
#include "common/registry.h"
#include "common/text.h"
#include "runtime/binder.h"
#include "runtime/resources.h"
#include "runtime/search_rules.h"
#include "runtime/siblings.h"
#include "runtime/state.h"

namespace kx {
namespace {

constexpr std::uint32_t kKernelAndUtility = kComponentKernel | kComponentUtility;
constexpr std::size_t kSettingSize = 32;
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

// "szPreferredLanguage" replaces the language of the resource module's directory.
void ApplyPreferredLanguage() {
    if (const auto preferred = ReadPreferredLanguage(PlatformRegistry())) {
        CopyText(LanguageCode, *preferred);
    }
}

}  // namespace

bool ProcessAttach(plat::Module /*self*/) {
    if (BindCoreComponents(kKernelAndUtility) != 0) return false;
    ReadDiagnosticsSwitch();
    const std::string base = ResourceSearchBase(GetInstallDirectory());
    ResourceModule = LoadResourceModule(base.c_str(), kResourceModuleName);
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
