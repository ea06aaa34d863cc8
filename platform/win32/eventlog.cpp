// eventlog.cpp: entries of the system event log, and, when VEL_EVENTLOG names a file, the same
// entry appended to it as one JSON object per line (eventlog_line.cpp, the same line on both
// systems).
#include <cstdio>
#include <string>

#include "platform/eventlog_ids.h"
#include "platform/eventlog_line.h"
#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

// windmc's header of platform/win32/eventlog_messages.mc (needs the Windows headers first).
#include "eventlog_messages.h"

namespace kx::plat::backend {
namespace {

// The message file and the code name the same identifiers.
static_assert(KX_MSG_TRACE == KX_EVENT_ID_TRACE);
static_assert(KX_MSG_MODULE_REFUSED == KX_EVENT_ID_MODULE_REFUSED);
static_assert(KX_MSG_FORWARDING == KX_EVENT_ID_FORWARDING);
static_assert(KX_MSG_COLLECTOR == KX_EVENT_ID_COLLECTOR);
static_assert(KX_MSG_OTHER == KX_EVENT_ID_OTHER);
static_assert(KX_MSG_ALERT_DELIVERY == KX_EVENT_ID_ALERT_DELIVERY);
static_assert(KX_CATEGORY_ALERTING == KX_EVENT_CATEGORY_ALERTING &&
              KX_CATEGORY_FORWARDING == KX_EVENT_CATEGORY_FORWARDING &&
              KX_CATEGORY_DIAGNOSTICS == KX_EVENT_CATEGORY_DIAGNOSTICS &&
              KX_CATEGORY_MODULE_TRUST == KX_EVENT_CATEGORY_MODULE_TRUST &&
              KX_CATEGORY_OTHER == KX_EVENT_CATEGORY_OTHER);

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

// The entry is filed under its source's identifier (eventlog_ids.h), with the insertion strings
// the message file's texts use: "label: text" (what the entry always said), the label, the
// number it was logged with (in hexadecimal) and the text.
void ReportToSystemLog(const char* source, const char* label, Dword kind, Dword number,
                       const char* text) {
    const kx_event_log_key key = kx_event_log_key_of(source);
    const HANDLE log = ::RegisterEventSourceA(nullptr, key.source);
    if (log == nullptr) return;
    const std::string labelText = label != nullptr ? label : "";
    const std::string bodyText = text != nullptr ? text : "";
    const std::string message = labelText + ": " + bodyText;
    char numberText[16];
    std::snprintf(numberText, sizeof numberText, "0x%08lX", static_cast<unsigned long>(number));
    const char* strings[] = {message.c_str(), labelText.c_str(), numberText, bodyText.c_str()};
    ::ReportEventA(log, EntryType(kind), static_cast<WORD>(key.category), key.id, nullptr, 4, 0,
                   strings, nullptr);
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
