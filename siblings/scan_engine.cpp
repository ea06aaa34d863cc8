// scan_engine.cpp: a scan-engine stand-in ZQSCAN32.DLL whose every name is unsupported; it
// lets the binder's scan-engine rules be exercised on a real module.
#include "siblings/standin.h"

#define KX_SCAN KX_STANDIN_NAME
#include "runtime/core_names.inc"
