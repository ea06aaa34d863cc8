// startup.h: what the library does when the platform maps it into a process and unmaps it.
#pragma once

#include "platform/platform.h"

namespace kx {

// Process attach: true when the library is ready; false refuses the attach.
bool ProcessAttach(plat::Module self);
// Process detach: releases the resource module, then the utility and kernel libraries.
void ProcessDetach();

}  // namespace kx
