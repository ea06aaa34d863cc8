// records.h: the three records a send takes, zeroed, as the tests hand them to the library.
// Shared by the Linux tests and the Windows tests; standard C++ and the public header only.
#pragma once

#include <memory>

#include "kxevent/kxevent.h"

namespace kx::test {

struct Records {
    MessageRecord message{};
    DetailRecord detail{};
    ContextRecord context{};
};

// On the heap: DetailRecord alone is 5724 bytes, too much for a small thread's stack.
inline std::unique_ptr<Records> NewRecords() {
    return std::make_unique<Records>();
}

}  // namespace kx::test
