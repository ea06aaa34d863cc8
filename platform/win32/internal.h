// internal.h: what the Windows backend's files share beyond the calls of platform/backend.h: the
// one place where the system's failures become the facade's error reports. Only platform/win32
// includes this.
#pragma once

#include "platform/backend.h"

namespace kx::plat::backend {

// errors.cpp: the system already speaks Windows error codes; these keep the last error the
// facade reports in step with what the failing call left behind.
Status LastErrorOr(Status fallback);
void Fail(Status error);

}  // namespace kx::plat::backend
