// eventlog.cpp: the system event log: syslog, and one JSON object per line appended to the
// file named by VEL_EVENTLOG, written whole so that processes sharing the file never mix lines.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/posix/backend.h"

namespace kx::plat::posix {
namespace {

int Priority(Dword kind) {
    switch (kind) {
        case 0:
            return LOG_ERR;
        case 1:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

// A JSON string; every control character and every byte beyond ASCII is written as \u00XX,
// so that the line is valid whatever encoding the text had.
std::string JsonString(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void AppendLine(const std::string& file, const std::string& line) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    ssize_t wrote;
    do {
        wrote = ::write(fd, line.data(), line.size());
    } while (wrote < 0 && errno == EINTR);
    ::close(fd);
}

}  // namespace

std::string EventLogJsonLine(const char* source, const char* label, Dword kind, Dword number,
                             const char* text) {
    std::string line = "{\"source\":";
    line += source ? JsonString(source) : "null";
    line += ",\"label\":" + JsonString(label ? label : "");
    line += ",\"kind\":" + std::to_string(kind);
    line += ",\"number\":" + std::to_string(number);
    line += ",\"text\":" + JsonString(text ? text : "");
    return line + "}\n";
}

void AddEventLogEntry(const char* source, const char* label, Dword kind, Dword number,
                      const char* text) {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog("kxevent", LOG_PID, LOG_USER); });
    if (source) {
        ::syslog(Priority(kind), "%s: %s (%s)", label ? label : "", text ? text : "", source);
    } else {
        ::syslog(Priority(kind), "%s: %s", label ? label : "", text ? text : "");
    }
    if (std::optional<std::string> file = Env("VEL_EVENTLOG"); file && !file->empty()) {
        AppendLine(*file, EventLogJsonLine(source, label, kind, number, text));
    }
}

}  // namespace kx::plat::posix
