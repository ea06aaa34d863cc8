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

// A private copy of the snapshot for a re-send: the snapshot's version it was taken from, and the
// version that the re-send's own population stored (0 while it stored none).
struct SnapshotCopy {
    EventSnapshot records;
    std::uint64_t version = 0;
    std::uint64_t stored = 0;
};
void LoadSnapshot(SnapshotCopy& copy);

// Marks `copy` as the records of the re-send running on this thread for as long as it lives: a
// store of exactly these records is that re-send's own population, any other store (a forwarding
// module's nested send, another thread) is someone else's. Re-sends nest; each scope gives the
// mark back to the one around it.
class ResendScope {
  public:
    explicit ResendScope(SnapshotCopy& copy);
    ~ResendScope();
    ResendScope(const ResendScope&) = delete;
    ResendScope& operator=(const ResendScope&) = delete;

  private:
    SnapshotCopy* outer_;
};

// Puts a re-send's finished records back, unless anyone else stored an event since (another
// thread, or a forwarding module that called the library from inside the re-send): the snapshot
// then already holds a later event, which a write-back would replace by an older.
void WriteBackSnapshot(const SnapshotCopy& copy);

}  // namespace kx
