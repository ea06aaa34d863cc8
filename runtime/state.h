// state.h: the library's process-wide state, written only during process attach.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace kx {

inline constexpr std::size_t kLanguageCodeSize = 12;  // at most 11 characters

// Current language: primary language then sub-language as four lower-case hex digits ("0901"),
// fixed by the resource module that loaded and possibly replaced by "szPreferredLanguage".
extern char LanguageCode[kLanguageCodeSize];
// The localized resource module that strings 140, 141 and 142 are loaded from.
extern plat::Module ResourceModule;
// Diagnostic traces are recorded only while this is on; attach may turn it on, nothing off.
extern bool DiagnosticsEnabled;

}  // namespace kx
