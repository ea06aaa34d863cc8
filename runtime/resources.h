// resources.h: the localized resource module kxUtlRes.dll and the current language.
#pragma once

#include "platform/platform.h"
#include "runtime/search_rules.h"

namespace kx {

inline constexpr unsigned kStringCannotCreateAlert = 140;  // "%s" path, "%s" message
inline constexpr unsigned kStringAlertFailed = 141;        // "%s" path, "%s" message
inline constexpr unsigned kStringProductName = 142;        // generic product name

// Loads the copy of `fileName` that best fits the user's locale from the Res<pp><ss>
// directories of `baseDirectory` (the executable's directory when null or empty); sets
// LanguageCode on success. Null when every attempt failed, or as soon as one place held a copy
// that the platform refused as changeable by users other than its owner and root.
plat::Module LoadResourceModule(const char* baseDirectory, const char* fileName);
// Shows the warning box listing every failed path of the last search.
void ShowResourceLoadWarning(const char* caption);

}  // namespace kx
