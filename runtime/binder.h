// binder.h: finds, loads, resolves and reference-counts the family's shared core components.
#pragma once

#include <cstdint>

namespace kx {

inline constexpr std::uint32_t kComponentKernel = 0x01;
inline constexpr std::uint32_t kComponentUtility = 0x02;
inline constexpr std::uint32_t kComponentNone4 = 0x04;
inline constexpr std::uint32_t kComponentScanEngine = 0x08;
inline constexpr std::uint32_t kComponentNone10 = 0x10;
inline constexpr std::uint32_t kComponentEvent = 0x20;

// Binds what `mask` requests and is not yet bound, counting one more use of each. 0 or a code.
int BindCoreComponents(std::uint32_t mask);
// Counts one use less of each requested, bound component; unbinds at 0. Always 0.
int ReleaseCoreComponents(std::uint32_t mask);
// The installation directory found by the last bind call (empty when none was found).
const char* GetInstallDirectory();

}  // namespace kx
