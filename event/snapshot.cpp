// snapshot.cpp: the library's copies of the records of the last successful population.
#include "event/snapshot.h"

namespace kx {

// Zero until the first population succeeds; a snapshot send before then works on empty records.
EventSnapshot LastEventSnapshot{};

}  // namespace kx
