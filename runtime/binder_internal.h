// binder_internal.h: a look at the binder's per-component state, for tests and diagnostics.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kx {

// The component's use count (0 while unbound).
std::int32_t ComponentUseCount(std::uint32_t flag);
// The component's library handle (null while unbound).
plat::Module ComponentHandle(std::uint32_t flag);
// Number of non-null entries in the component's name table.
std::size_t ComponentResolvedEntries(std::uint32_t flag);
// The scan-engine and data directories found by the last scan-engine discovery.
const char* GetScanEngineDirectory();
const char* GetScanDataDirectory();

}  // namespace kx
