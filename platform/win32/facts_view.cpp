// facts_view.cpp: one call's view of the machine. Windows keeps its facts itself and answers
// every call from its current state, so a view has nothing to keep.
#include "platform/platform.h"

namespace kx::plat {

void BeginFactsView() {}

void EndFactsView() {}

}  // namespace kx::plat
