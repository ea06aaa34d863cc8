// eventlog.cpp: entries of the system event log, and, when VEL_EVENTLOG names a file, the same
// entry appended to it as one JSON object per line (eventlog_line.cpp, the same line on both
// systems).
#include <string>

#include "platform/eventlog_line.h"
#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat::backend {
namespace {

// Traces carry no source of their own; the log needs one to file them under.
constexpr const char* kDefaultSource = "KXEvent";

WORD EntryType(Dword kind) {
    switch (kind) {
        case 0:
            return EVENTLOG_ERROR_TYPE;
        case 1:
            return EVENTLOG_WARNING_TYPE;
        default:
            return EVENTLOG_INFORMATION_TYPE;
    }
}

void ReportToSystemLog(const char* source, const char* label, Dword kind, Dword number,
                       const char* text) {
    const HANDLE log = ::RegisterEventSourceA(nullptr, source != nullptr ? source : kDefaultSource);
    if (log == nullptr) return;
    const std::string message = std::string(label != nullptr ? label : "") + ": " +
                                std::string(text != nullptr ? text : "");
    const char* strings[] = {message.c_str()};
    ::ReportEventA(log, EntryType(kind), 0, number, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(log);
}

std::string EventLogFile() {
    char path[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableA("VEL_EVENTLOG", path, sizeof path);
    if (length == 0 || length >= sizeof path) return {};
    return std::string(path, length);
}

// A plain file on disk, not a link or junction opened in its own right.
bool IsPlainFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// One WriteFile of the whole line on a handle opened for appending: lines of processes that log
// at the same time never interleave. A link at the name is opened itself, not followed, and
// then left alone.
void AppendToFile(const std::string& path, const std::string& line) {
    const HANDLE file =
        ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (IsPlainFile(file)) {
        ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    ::CloseHandle(file);
}

}  // namespace

void AddEventLogEntry(const char* source, const char* label, Dword kind, Dword number,
                      const char* text) {
    const DWORD savedError = ::GetLastError();
    ReportToSystemLog(source, label, kind, number, text);
    const std::string path = EventLogFile();
    if (!path.empty()) AppendToFile(path, EventLogJsonLine(source, label, kind, number, text));
    ::SetLastError(savedError);
}

}  // namespace kx::plat::backend
