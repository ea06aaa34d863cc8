// definitions.h: event definitions read from the per-language message catalogue, the language's
// default texts, and product display names.
#pragma once

#include <cstdint>

#include "common/severity.h"
#include "kxevent/kxevent.h"

namespace kx {

// The language's default event texts, loaded once at process attach.
struct MessageDefaultsData {
    char szEventName[64];  // non-empty once the defaults count as loaded
    char szShortDescript[32];
    char szLongDescript[256];
    char szURL[256];
    char szResolution[256];
    std::uint32_t uSeverity;
    char szAppend[256];
    char szAppendPIII[256];
};
extern MessageDefaultsData MessageDefaults;

// 1 when the defaults are loaded (now or before), 0 when no Defaults key could be opened.
int LoadMessageDefaults();
// 1 when the event's definition was read into the records, 0 when none exists (records
// untouched).
int LoadMessageDefinition(std::int32_t eventId, MessageRecord* message, DetailRecord* detail);
// 1 when `name` (a 16-byte field) holds a product name afterwards, 0 when none can be had.
int GetProductName(std::uint32_t productId, char* name);

}  // namespace kx
