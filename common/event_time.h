// event_time.h: the clock an event is stamped with. The records' time texts and the central
// alert's date fields both come from here, so that a test or a later change of clock source
// moves every stamp of a send together.
#pragma once

#include "platform/platform.h"

namespace kx {

// The current time broken down, local or UTC; each call reads the clock anew.
inline plat::CalendarTime GetEventTime(bool local) {
    return plat::GetCalendarTime(local);
}

}  // namespace kx
