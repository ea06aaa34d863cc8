// eventlog_line.cpp: the JSON line written for one event-log entry, the same on every system so
// that tests and tools read both backends' files alike.
#include "platform/eventlog_line.h"

#include "platform/utf8_text.h"

namespace kx::plat {

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
