// eventlog.cpp: the system event log: syslog (without ever waiting for its daemon), and one JSON
// object per line appended to the file named by VEL_EVENTLOG, written whole so that processes
// sharing the file never mix lines.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "common/fd.h"
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
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) WriteAll(fd, line);
    ::close(fd);
}

// The line the C library's syslog() writes (ident "kxevent", the process id, facility user),
// sent without waiting: syslog() writes to /dev/log with a blocking send, so a log daemon that
// has stopped reading would hold up every caller, a product's send among them, for ever. A full
// or missing socket loses the line; the VEL_EVENTLOG copy, when set, still has it.
void SendToSyslog(Dword kind, const std::string& message) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", kMonths[local.tm_mon % 12],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    const std::string line = "<" + std::to_string(LOG_USER | Priority(kind)) + ">" + stamp +
                             " kxevent[" + std::to_string(::getpid()) + "]: " + message;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", _PATH_LOG);
    ssize_t sent;
    do {
        sent = ::sendto(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    ::close(fd);
}

}  // namespace

void AddEventLogEntry(const char* source, const char* label, Dword kind, Dword number,
                      const char* text) {
    std::string message = std::string(label ? label : "") + ": " + (text ? text : "");
    if (source) message += std::string(" (") + source + ")";
    SendToSyslog(kind, message);
    if (std::optional<std::string> file = Env("VEL_EVENTLOG"); file && !file->empty()) {
        AppendLine(*file, EventLogJsonLine(source, label, kind, number, text));
    }
}

}  // namespace kx::plat::backend
