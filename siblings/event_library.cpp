// event_library.cpp: an event-library stand-in KXEVENT.DLL whose every name is unsupported; it
// lets the binder's event-library component be exercised on a real module.
#include "siblings/standin.h"

#define KX_EVENT KX_STANDIN_NAME
#include "runtime/core_names.inc"
