// snapshot.h: the library's copies of the records of the last successful population.
#pragma once

#include <cstdint>

#include "kxevent/kxevent.h"

namespace kx {

struct EventSnapshot {
    MessageRecord message;
    DetailRecord detail;
    ContextRecord context;
};

// All zero when the library is loaded; rewritten by every population that succeeds. Threads of
// the calling product share it: read and write it only through the copies below, which are
// atomic with respect to each other.
extern EventSnapshot LastEventSnapshot;

// Copies the three records, whole, into the snapshot.
void StoreSnapshot(const MessageRecord& message, const DetailRecord& detail,
                   const ContextRecord& context);

// A private copy of the snapshot for a re-send, and the snapshot's version it was taken from.
struct SnapshotCopy {
    EventSnapshot records;
    std::uint64_t version = 0;
};
void LoadSnapshot(SnapshotCopy& copy);

// Puts a re-send's finished records back, unless another thread stored a newer event since:
// the snapshot then already holds a later event, which a write-back would replace by an older.
void WriteBackSnapshot(const SnapshotCopy& copy);

}  // namespace kx
