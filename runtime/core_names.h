// core_names.h: the name tables of the core components, in resolution order.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace kx::core_names {

#define KX_NAME_ENTRY(name, kind) #name,

inline constexpr std::array kKernel = {
#define KX_KERNEL KX_NAME_ENTRY
#include "runtime/core_names.inc"
};

inline constexpr std::array kUtility = {
#define KX_UTILITY KX_NAME_ENTRY
#include "runtime/core_names.inc"
};

inline constexpr std::array kEvent = {
#define KX_EVENT KX_NAME_ENTRY
#include "runtime/core_names.inc"
};

inline constexpr std::array kScanEngine = {
#define KX_SCAN KX_NAME_ENTRY
#include "runtime/core_names.inc"
};

#undef KX_NAME_ENTRY

static_assert(kKernel.size() == 76);
static_assert(kUtility.size() == 101);
static_assert(kEvent.size() == 17);
static_assert(kScanEngine.size() == 23);

// Scan-engine names with a check of their own: the first two fail with the utility library's
// code right after they are resolved, the third may be missing.
inline constexpr std::string_view kScanSetTimeout = "TScan_SetTimeout";
inline constexpr std::string_view kScanUserExtensionList = "TScan_UserExtensionList";
inline constexpr std::string_view kScanGetExtendedOpts = "TScan_GetExtendedOpts";

}  // namespace kx::core_names
