// utf8.h: texts of the records as UTF-8 for readers that need it (JSON, syslog). The records
// hold 8-bit text in the machine's code page: a valid UTF-8 sequence is kept as it is, and any
// other byte above 0x7F is taken as Latin-1.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

// Length of the valid UTF-8 sequence at `at` (2 to 4), or 0 when the bytes there are not one:
// overlong forms, surrogates and code points above U+10FFFF do not count.
inline std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || at + length > text.size()) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

inline std::string ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t length = Utf8SequenceAt(text, i)) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

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
