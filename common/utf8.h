// utf8.h: texts of the records as UTF-8 for readers that need it (JSON, syslog). The records
// hold 8-bit text in the machine's code page: a valid UTF-8 sequence is kept as it is, and any
// other byte above 0x7F is taken as Latin-1. The conversion itself (ToUtf8, Utf8SequenceAt,
// AppendJsonString) is the platform's, which writes its event-log lines by the same rule.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/utf8_text.h"

namespace kx {

// `utf8` (as ToUtf8 gives it) with every control character written as a visible escape, so that
// none reaches a terminal or a log line raw: CR, LF and tab as \r, \n and \t, the other C0
// characters and DEL as \xNN, the C1 characters (U+0080 to U+009F) as \u00NN. Printable text,
// UTF-8 included, stays as it is.
inline std::string EscapeControls(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += {'\\', 'u', '0', '0', kHex[next >> 4], kHex[next & 0xF]};
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace kx
