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

// What EscapeControls writes as an escape besides the control characters.
enum class Escapes {
    kControls,         // C0, DEL and C1 only: log lines and records, whose bytes others read
    kControlsAndBidi,  // the bidirectional formatting characters too: text shown to a person
};

// Whether the UTF-8 sequence at `at` is one of the characters that reorder what a terminal
// shows around them: the marks U+200E and U+200F, the embeddings and overrides U+202A to
// U+202E and the isolates U+2066 to U+2069. Returns its code point, or 0.
inline char32_t BidiControlAt(std::string_view utf8, std::size_t at) {
    if (at + 3 > utf8.size() || static_cast<unsigned char>(utf8[at]) != 0xE2) return 0;
    const auto second = static_cast<unsigned char>(utf8[at + 1]);
    const auto third = static_cast<unsigned char>(utf8[at + 2]);
    const bool bidi =
        (second == 0x80 && (third == 0x8E || third == 0x8F || (third >= 0xAA && third <= 0xAE))) ||
        (second == 0x81 && third >= 0xA6 && third <= 0xA9);
    return bidi ? static_cast<char32_t>(0x2000 | ((second & 0x3F) << 6) | (third & 0x3F)) : 0;
}

// `utf8` (as ToUtf8 gives it) with every control character written as a visible escape, so that
// none reaches a terminal or a log line raw: CR, LF and tab as \r, \n and \t, the other C0
// characters and DEL as \xNN, the C1 characters (U+0080 to U+009F) as \u00NN and, with
// Escapes::kControlsAndBidi, the bidirectional formatting characters as \uNNNN. Printable
// text, UTF-8 included, stays as it is.
inline std::string EscapeControls(std::string_view utf8, Escapes which = Escapes::kControls) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto unicode = [&](std::string& out, char32_t code) {
        out += {'\\',
                'u',
                kHex[(code >> 12) & 0xF],
                kHex[(code >> 8) & 0xF],
                kHex[(code >> 4) & 0xF],
                kHex[code & 0xF]};
    };
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
            unicode(out, next);
            ++i;
        } else if (const char32_t bidi =
                       which == Escapes::kControlsAndBidi ? BidiControlAt(utf8, i) : 0) {
            unicode(out, bidi);
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// A text the command did not write itself (a registry path, name or value, a file name, a
// module's message), as it may be shown to a person: 8-bit text taken as ToUtf8 takes it, every
// control and bidirectional formatting character escaped. Everything kxevent prints for a
// person from elsewhere goes through here.
inline std::string ForPerson(std::string_view text) {
    return EscapeControls(ToUtf8(text), Escapes::kControlsAndBidi);
}

// A text of several lines as ForPerson shows each of them: its LF and CR LF line ends stay line
// ends, every other control character is escaped.
inline std::string ForPersonLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        const bool crlf = end != std::string_view::npos && line.ends_with('\r');
        if (crlf) line.remove_suffix(1);
        out += ForPerson(line);
        if (end == std::string_view::npos) break;
        out += crlf ? "\r\n" : "\n";
        text.remove_prefix(end + 1);
    }
    return out;
}

}  // namespace kx
