// event_log_capture_win32.cpp: nothing to read back on Windows.
#include "tools/admin/event_log_capture.h"

namespace kx::tool {

// The system's event log keeps the entries; there is no file to read them back from.
EventLogCapture::EventLogCapture() = default;
EventLogCapture::~EventLogCapture() = default;
std::vector<EventLogEntry> EventLogCapture::Take() {
    return {};
}

}  // namespace kx::tool
