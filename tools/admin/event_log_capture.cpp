// event_log_capture.cpp: reading back the event-log entries of a send.
#include "tools/admin/event_log_capture.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "tools/admin/registry_files.h"

#if !defined(_WIN32)
#include "common/fd.h"
#endif

namespace kx::tool {

namespace fs = std::filesystem;

namespace {

// The UTF-8 bytes of a code point below U+0800, all that the platform's escapes name.
void AppendCodePoint(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// A JSON string at text[at] (at its opening quote); moves `at` past it. The platform writes UTF-8
// with only the escapes \" \\ and \u00xx (the C0, DEL and C1 controls), so the value read is
// UTF-8 too: an escaped C1 control comes back as its two-byte sequence, not as a stray byte.
std::optional<std::string> ReadJsonString(std::string_view text, std::size_t& at) {
    if (at >= text.size() || text[at] != '"') return std::nullopt;
    std::string value;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return value;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++at >= text.size()) return std::nullopt;
        if (text[at] == 'u' && at + 4 < text.size()) {
            const std::string hex(text.substr(at + 1, 4));
            char* end = nullptr;
            const unsigned long code = std::strtoul(hex.c_str(), &end, 16);
            if (end != hex.c_str() + 4 || code > 0xFF) return std::nullopt;
            AppendCodePoint(value, code);
            at += 4;
        } else {
            value += text[at];
        }
    }
    return std::nullopt;
}

std::optional<std::string> Member(std::string_view line, std::string_view name) {
    const std::string key = "\"" + std::string(name) + "\":";
    std::size_t at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    at += key.size();
    if (line.substr(at, 4) == "null") return std::string();
    return ReadJsonString(line, at);
}

}  // namespace

bool ParseEventLogLine(std::string_view line, EventLogEntry& entry) {
    auto source = Member(line, "source");
    auto label = Member(line, "label");
    auto text = Member(line, "text");
    if (!source || !label || !text) return false;
    entry = {std::move(*source), std::move(*label), std::move(*text)};
    return true;
}

#if !defined(_WIN32)
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
#else
// The system's event log keeps the entries; there is no file to read them back from.
EventLogCapture::EventLogCapture() = default;
EventLogCapture::~EventLogCapture() = default;
std::vector<EventLogEntry> EventLogCapture::Take() {
    return {};
}
#endif

}  // namespace kx::tool
