// definitions.h: event definitions read from the per-language message catalogue, the language's
// default texts, and product display names.
#pragma once

#include <cstdint>

#include "catalogue/catalogue_rules.h"
#include "common/severity.h"
#include "kxevent/kxevent.h"

namespace kx {

// The language's default event texts, loaded once at process attach.
extern MessageDefaultsData MessageDefaults;

// 1 when the defaults are loaded (now or before), 0 when no Defaults key could be opened.
int LoadMessageDefaults();
// 1 when the event's definition was read into the records, 0 when none exists (records
// untouched).
int LoadMessageDefinition(std::int32_t eventId, MessageRecord* message, DetailRecord* detail);
// 1 when `name` (a 16-byte field) holds a product name afterwards, 0 when none can be had.
int GetProductName(std::uint32_t productId, char* name);

}  // namespace kx
