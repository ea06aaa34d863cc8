// snapshot.h: the library's copies of the records of the last successful population.
#pragma once

#include "kxevent/kxevent.h"

namespace kx {

struct EventSnapshot {
    MessageRecord message;
    DetailRecord detail;
    ContextRecord context;
};

// All zero when the library is loaded; rewritten by every population that succeeds.
extern EventSnapshot LastEventSnapshot;

}  // namespace kx
