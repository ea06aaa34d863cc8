// forwarding.h: handing each send to the forwarding modules listed in the registry.
#pragma once

#include <cstdint>

#include "kxevent/kxevent.h"

namespace kx {

// Loads every listed module, calls its ForwardVELMessage once with the send's records and
// unloads it again. Always 0.
int ForwardEvent(std::uint32_t productId, std::int32_t eventId, MessageRecord* message,
                 DetailRecord* detail, ContextRecord* context);

}  // namespace kx
