// load_refusal.cpp: the causes of the last refused attach, kept for the host that loaded the
// module, which otherwise sees only "initialization routine failed"; and whether a thread's
// last load was refused by the trust check.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace kx::plat {
namespace {

// A refused attach notes a few lines; the bound keeps a looping caller from growing it.
constexpr std::size_t kMaxNotes = kMaxLoadRefusal;

struct Notes {
    std::mutex mutex;
    std::string text;
};

Notes& TheNotes() {
    static Notes notes;
    return notes;
}

// Per thread, as GetLastError is: whether this thread's last load failed the trust check.
thread_local bool trustRefused = false;

}  // namespace

namespace detail {
void ForgetTrustRefusal() {
    trustRefused = false;
}
}  // namespace detail

bool LoadRefusedByTrustCheck() {
    return trustRefused;
}

void NoteTrustRefusal() {
    trustRefused = true;
}

void ClearLoadRefusal() {
    Notes& notes = TheNotes();
    std::lock_guard lock(notes.mutex);
    notes.text.clear();
}

void NoteLoadRefusal(const char* reason) {
    if (reason == nullptr || *reason == '\0') return;
    Notes& notes = TheNotes();
    std::lock_guard lock(notes.mutex);
    if (notes.text.size() >= kMaxNotes) return;
    // The separator counts against the bound too, or a record one short of full would leave
    // the note "all the room there is" after the subtraction below wraps around.
    if (!notes.text.empty())
        notes.text.append("; ", std::min<std::size_t>(2, kMaxNotes - notes.text.size()));
    notes.text.append(reason, std::min(std::strlen(reason), kMaxNotes - notes.text.size()));
}

Dword LoadRefusal(char* buffer, Dword size) {
    if (buffer == nullptr || size == 0) return 0;
    Notes& notes = TheNotes();
    std::lock_guard lock(notes.mutex);
    const std::size_t length = std::min<std::size_t>(notes.text.size(), size - 1);
    std::memcpy(buffer, notes.text.data(), length);
    buffer[length] = '\0';
    return static_cast<Dword>(length);
}

}  // namespace kx::plat
