// text.h: bounded handling of zero-terminated texts in fixed-width fields.
//
// A field of width N holds at most N - 1 characters and a terminator. Callers and the registry
// may hand over texts without one; these helpers never read past the field and always leave a
// terminator inside it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>

namespace kx {

// Length of the text in `field`: up to its terminator, or the whole width when there is none.
inline std::size_t FieldLength(const char* field, std::size_t width) {
    const void* end = std::memchr(field, 0, width);
    return end ? static_cast<std::size_t>(static_cast<const char*>(end) - field) : width;
}

// The text of a fixed field, never reaching past the field.
template <std::size_t N>
std::string_view FieldText(const char (&field)[N]) {
    return {field, FieldLength(field, N)};
}

inline std::string_view BoundedText(std::span<const char> field) {
    return {field.data(), FieldLength(field.data(), field.size())};
}

// Replaces the content of `dst` with `text`, cut to dst.size() - 1 characters and terminated.
// Returns the number of characters stored.
inline std::size_t CopyText(std::span<char> dst, std::string_view text) {
    if (dst.empty()) return 0;
    const std::size_t n = std::min(text.size(), dst.size() - 1);
    std::memmove(dst.data(), text.data(), n);
    dst[n] = '\0';
    return n;
}

// Copies a caller's zero-terminated `text` into `field`, reading it no further than the field
// can hold: a longer text is cut to N - 1 characters. Returns the number of characters stored.
template <std::size_t N>
std::size_t CopyCallerText(char (&field)[N], const char* text) {
    return CopyText(field, {text, strnlen(text, N - 1)});
}

// Appends `text` to the text already in `dst`, cutting what does not fit; the result stays
// terminated inside `dst`. Returns the number of characters appended.
inline std::size_t AppendText(std::span<char> dst, std::string_view text) {
    if (dst.empty()) return 0;
    const std::size_t used = std::min(FieldLength(dst.data(), dst.size()), dst.size() - 1);
    return CopyText(dst.subspan(used), text);
}

// Makes sure `field` holds a terminator: a text that fills the field is cut by one character.
inline void TerminateField(std::span<char> field) {
    if (!field.empty() && FieldLength(field.data(), field.size()) == field.size()) {
        field.back() = '\0';
    }
}

// Terminates a text of `length` bytes just read raw into `field`: right after it when it leaves
// room, and in any case inside the field (a text that fills the field loses its last character).
inline void TerminateReadText(std::span<char> field, std::size_t length) {
    if (length < field.size()) field[length] = '\0';
    TerminateField(field);
}

}  // namespace kx
