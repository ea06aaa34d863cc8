// event_log_capture.h: the event-log entries the library writes while the command runs, read
// back from the file the platform appends them to (VEL_EVENTLOG; a private one when unset, so
// that syslog still gets every entry and the command sees them too).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kx::tool {

struct EventLogEntry {
    std::string source;
    std::string label;
    std::string text;
};

// One line of the event-log file: {"source":...,"label":...,"kind":N,"number":N,"text":...}.
// False when the line is not of that form.
bool ParseEventLogLine(std::string_view line, EventLogEntry& entry);

class EventLogCapture {
  public:
    // Starts at the current end of VEL_EVENTLOG, or sets it to a new file in a private
    // directory (mode 0700) removed again by the destructor. When that directory cannot be
    // made, nothing is captured.
    EventLogCapture();
    ~EventLogCapture();
    EventLogCapture(const EventLogCapture&) = delete;
    EventLogCapture& operator=(const EventLogCapture&) = delete;

    // The entries appended since the last call.
    std::vector<EventLogEntry> Take();

  private:
    std::filesystem::path file_;
    std::filesystem::path ownDirectory_;  // empty when the file is the user's
    std::uintmax_t offset_ = 0;
};

}  // namespace kx::tool
