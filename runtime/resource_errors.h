// resource_errors.h: why each attempt of the last resource-module search failed.
#pragma once

#include <array>
#include <cstddef>

#include "platform/platform.h"

namespace kx {

inline constexpr std::size_t kResourceErrorSlots = 10;
inline constexpr std::size_t kResourceErrorTextSize = 261;

// One failed attempt: the full path and the system's text for the load error. A slot whose
// path is empty holds no failure.
struct ResourceLoadError {
    char path[kResourceErrorTextSize];
    char message[kResourceErrorTextSize];
};

// The ten slots of the last search, in slot order (two per locale tried).
const std::array<ResourceLoadError, kResourceErrorSlots>& ResourceLoadErrors();

// One locale's attempt: its own sub-language, then sub-language 1. Failures go to the two
// slots given. A copy the platform refuses as changeable by others ends the attempt.
plat::Module TryResourceModule(const char* baseDirectory, const char* fileName, plat::Dword lcid,
                               std::size_t firstSlot, std::size_t secondSlot);

}  // namespace kx
