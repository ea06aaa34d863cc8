// population.h: completing the records with facts about the reporting machine.
#pragma once

#include <cstdint>

#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace kx {

// Completes the records and, on success, copies them into LastEventSnapshot. 0, 2 or 3.
int PopulateEventStructures(std::uint32_t productId, const char* taskName, MessageRecord* message,
                            DetailRecord* detail, ContextRecord* context);

// The current time broken down, local or UTC; each call reads the clock anew.
plat::CalendarTime GetEventTime(bool local);

}  // namespace kx
