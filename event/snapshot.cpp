// snapshot.cpp: the library's copies of the records of the last successful population.
#include "event/snapshot.h"

#include <cstring>
#include <mutex>

namespace kx {

// Zero until the first population succeeds; a snapshot send before then works on empty records.
EventSnapshot LastEventSnapshot{};

namespace {

// Held only for the copies, never across a send: a forwarding module may call the library again.
std::mutex gSnapshotLock;
std::uint64_t gSnapshotVersion = 0;  // under gSnapshotLock; one more for every store
// The innermost re-send running on this thread, whose population's store is recognised by the
// address of the records it stores.
thread_local SnapshotCopy* tResend = nullptr;

}  // namespace

// memmove: the records given may be the snapshot's own.
void StoreSnapshot(const MessageRecord& message, const DetailRecord& detail,
                   const ContextRecord& context) {
    const std::lock_guard<std::mutex> hold(gSnapshotLock);
    std::memmove(&LastEventSnapshot.message, &message, sizeof(MessageRecord));
    std::memmove(&LastEventSnapshot.detail, &detail, sizeof(DetailRecord));
    std::memmove(&LastEventSnapshot.context, &context, sizeof(ContextRecord));
    ++gSnapshotVersion;
    if (tResend != nullptr && &message == &tResend->records.message &&
        &detail == &tResend->records.detail) {
        tResend->stored = gSnapshotVersion;
    }
}

ResendScope::ResendScope(SnapshotCopy& copy) : outer_(tResend) {
    tResend = &copy;
}

ResendScope::~ResendScope() {
    tResend = outer_;
}

void LoadSnapshot(SnapshotCopy& copy) {
    const std::lock_guard<std::mutex> hold(gSnapshotLock);
    std::memcpy(&copy.records, &LastEventSnapshot, sizeof(EventSnapshot));
    copy.version = gSnapshotVersion;
}

void WriteBackSnapshot(const SnapshotCopy& copy) {
    const std::lock_guard<std::mutex> hold(gSnapshotLock);
    // The re-send's own population, when it stored, must be the newest store; when it did not,
    // no store at all may have happened since the copy was taken.
    const std::uint64_t own = copy.stored != 0 ? copy.stored : copy.version;
    if (gSnapshotVersion != own) return;
    std::memcpy(&LastEventSnapshot, &copy.records, sizeof(EventSnapshot));
}

}  // namespace kx
