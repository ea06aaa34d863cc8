// event_log_capture_posix.cpp: the entries read back from the event-log file the platform
// appends them to, a private one in a directory of its own when VEL_EVENTLOG is unset.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "common/fd.h"
#include "tools/admin/event_log_capture.h"
#include "tools/admin/registry_files.h"

namespace kx::tool {

namespace fs = std::filesystem;

EventLogCapture::EventLogCapture() {
    if (const char* configured = std::getenv("VEL_EVENTLOG"); configured && *configured) {
        file_ = configured;
        std::error_code error;
        const std::uintmax_t size = fs::file_size(file_, error);
        offset_ = error ? 0 : size;
        return;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kxevent-log-XXXXXX";
    // Without a place to read them back from, the send still goes: the entries reach syslog.
    if (::mkdtemp(pattern.data()) == nullptr) return;
    ownDirectory_ = pattern;
    file_ = ownDirectory_ / "eventlog.json";
    SetEnvironment("VEL_EVENTLOG", file_.string());
}

EventLogCapture::~EventLogCapture() {
    if (ownDirectory_.empty()) return;
    std::error_code ignored;
    fs::remove(file_, ignored);
    fs::remove(ownDirectory_, ignored);
}

std::vector<EventLogEntry> EventLogCapture::Take() {
    std::vector<EventLogEntry> entries;
    if (file_.empty()) return entries;
    const Fd fd(::open(file_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return entries;
    struct stat info {};
    std::string text;
    if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uintmax_t>(info.st_size) > offset_) {
        std::array<char, 4096> buffer{};
        ssize_t got;
        off_t at = static_cast<off_t>(offset_);
        while ((got = ::pread(fd.get(), buffer.data(), buffer.size(), at)) > 0) {
            text.append(buffer.data(), static_cast<std::size_t>(got));
            at += got;
        }
    }
    // Only whole lines: a line still being written is read next time.
    const std::size_t end = text.rfind('\n');
    if (end == std::string::npos) return entries;
    offset_ += end + 1;
    std::size_t start = 0;
    while (start <= end) {
        const std::size_t stop = text.find('\n', start);
        EventLogEntry entry;
        if (ParseEventLogLine(std::string_view(text).substr(start, stop - start), entry)) {
            entries.push_back(std::move(entry));
        }
        start = stop + 1;
    }
    return entries;
}

}  // namespace kx::tool
