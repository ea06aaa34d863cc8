// eventlog_line.h: the JSON line each backend appends to the file named by VEL_EVENTLOG, one
// object per event-log entry. Internal to the platform layer.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kx::plat {

// The line (with its line end) for one entry. A null source is written as null, a null label or
// text as an empty string. Texts are written as UTF-8 (valid sequences as they are, other bytes
// above 0x7F as Latin-1) with every control character, C1 included, as \u00xx, so that the line
// is valid JSON whatever encoding the text had and UTF-8 names read back as themselves.
std::string EventLogJsonLine(const char* source, const char* label, Dword kind, Dword number,
                             const char* text);

}  // namespace kx::plat
