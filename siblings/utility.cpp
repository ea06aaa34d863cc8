// utility.cpp: the utility library stand-in KXUTIL.DLL: messages to the system event log, and
// every other utility name as an unsupported entry.
#include "platform/platform.h"
#include "siblings/standin.h"

#define KX_UTILITY KX_STANDIN_NAME
#include "runtime/core_names.inc"

// The first argument is reserved (always 0); the rest map one to one onto the event log entry.
// Always 1.
KX_STANDIN_EXPORT std::uint32_t KX_STANDIN_API
UTIL_AddMessageToEventLog(std::uint32_t /*reserved*/, const char* source, const char* label,
                          std::uint32_t kind, std::uint32_t number, const char* text) {
    kx::plat::AddEventLogEntry(source, label, kind, number, text);
    return 1;
}
