// event_log_capture.cpp: reading back the event-log entries of a send.
#include "tools/admin/event_log_capture.h"

#include <cstdlib>
#include <cstring>
#include <optional>

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

}  // namespace kx::tool
