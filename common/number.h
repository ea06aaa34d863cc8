// number.h: the one reader of 32-bit numbers written by people: decimal, or hexadecimal after
// "0x" or "0X". Command options, record fields given by name and test settings all go through
// it, so "16", "0x10" and "0X10" mean the same everywhere.
#pragma once

#include <cstdint>
#include <string_view>

namespace kx {

enum class NumberError {
    kNone,
    kEmpty,       // no digits at all
    kNotANumber,  // a character that is not a digit of the base
    kTooLarge,    // more than 32 bits
};

struct ParsedNumber {
    std::uint32_t value = 0;
    NumberError error = NumberError::kNone;

    constexpr bool ok() const { return error == NumberError::kNone; }
};

// Digits are read left to right and the first fault found is the one reported, so a long
// string of digits followed by a letter is too large rather than not a number. A bare "0x" has
// no digits after a prefix and is therefore read as decimal, where the "x" is not a digit.
constexpr ParsedNumber ParseDecimalOrHex(std::string_view text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string_view digits = hex ? text.substr(2) : text;
    const unsigned base = hex ? 16 : 10;
    std::uint64_t value = 0;
    for (char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return {0, NumberError::kNotANumber};
        }
        value = value * base + digit;
        if (value > 0xFFFFFFFFu) return {0, NumberError::kTooLarge};
    }
    if (digits.empty()) return {0, NumberError::kEmpty};
    return {static_cast<std::uint32_t>(value), NumberError::kNone};
}

}  // namespace kx
