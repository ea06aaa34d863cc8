// eventlog_line.cpp: the JSON line written for one event-log entry, the same on every system so
// that tests and tools read both backends' files alike.
#include "platform/eventlog_line.h"

#include <string_view>

namespace kx::plat {
namespace {

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

}  // namespace

std::string EventLogJsonLine(const char* source, const char* label, Dword kind, Dword number,
                             const char* text) {
    std::string line = "{\"source\":";
    if (source) {
        AppendJsonString(line, source);
    } else {
        line += "null";
    }
    line += ",\"label\":";
    AppendJsonString(line, label ? label : "");
    line += ",\"kind\":" + std::to_string(kind);
    line += ",\"number\":" + std::to_string(number);
    line += ",\"text\":";
    AppendJsonString(line, text ? text : "");
    return line + "}\n";
}

}  // namespace kx::plat
