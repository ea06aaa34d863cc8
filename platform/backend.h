// backend.h: the calls that each backend (posix/ on Linux, win32/ on Windows) defines, declared
// once from the hook list of platform.h. They are the hook table's defaults; the facade reaches
// them only through the table. Besides these, each backend defines the facade functions that
// bypass the table (GetLastError, SetLastError, BeginFactsView, EndFactsView) and keeps its own
// helpers in its internal.h. Only the platform layer includes this.
#pragma once

#include "platform/platform.h"

namespace kx::plat::backend {

#define KX_PLATFORM_BACKEND_CALL(result, name, params, args) result name params;
KX_PLATFORM_HOOKS(KX_PLATFORM_BACKEND_CALL, KX_PLATFORM_BACKEND_CALL)
#undef KX_PLATFORM_BACKEND_CALL

}  // namespace kx::plat::backend
