// utf8_text.h: 8-bit text in the machine's code page as UTF-8, and as a JSON string. It lives at
// the bottom so that the event-log lines the platform writes and the JSON and syslog texts of
// the layers above follow one rule: a valid UTF-8 sequence is kept as it is, and any other byte
// above 0x7F is taken as Latin-1.
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

// Appends `text` (8-bit, taken as ToUtf8 does) as a JSON string literal. Printable characters,
// UTF-8 beyond ASCII included, stay raw; '"' and '\' are escaped, and every control character
// (C0, DEL and the C1 characters U+0080 to U+009F) is written as \u00xx: a terminal acts on C1
// as it does on ESC, and JSON itself would let both DEL and C1 through raw.
inline void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const std::string utf8 = ToUtf8(text);
    out += '"';
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        const bool c1 = c == 0xC2 && next >= 0x80 && next <= 0x9F;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += utf8[i];
        } else if (c < 0x20 || c == 0x7F || c1) {
            const unsigned code = c1 ? next : c;
            out += {'\\', 'u', '0', '0', kHex[code >> 4], kHex[code & 0xF]};
            if (c1) ++i;
        } else {
            out += utf8[i];
        }
    }
    out += '"';
}

}  // namespace kx
