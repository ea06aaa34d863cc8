// eventlog.cpp: the system event log: syslog, and one JSON object per line appended to the
// file named by VEL_EVENTLOG, written whole so that processes sharing the file never mix lines.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/eventlog_line.h"
#include "platform/posix/internal.h"

namespace kx::plat::backend {
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

// The log may be named by someone with fewer rights than the process: a symbolic link at the
// name is not followed, and anything but a regular file (a device, a FIFO, which the
// non-blocking open keeps from stalling the send) is left alone. A new log is the owner's only.
void AppendLine(const std::string& file, const std::string& line) {
    const int fd = ::open(
        file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        ssize_t wrote;
        do {
            wrote = ::write(fd, line.data(), line.size());
        } while (wrote < 0 && errno == EINTR);
    }
    ::close(fd);
}

}  // namespace

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

}  // namespace kx::plat::backend
