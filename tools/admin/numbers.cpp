// numbers.cpp: reading a person's numbers with the reader the library uses for its own.
#include "tools/admin/numbers.h"

#include <string>

#include "common/number.h"
#include "tools/admin/errors.h"

namespace kx::tool {

std::uint32_t ParseUnsigned(std::string_view text, std::string_view what) {
    const ParsedNumber number = ParseDecimalOrHex(text);
    switch (number.error) {
        case NumberError::kNone:
            break;
        case NumberError::kNotANumber:
            throw UsageError(std::string(what) + ": '" + std::string(text) + "' is not a number");
        case NumberError::kTooLarge:
            throw UsageError(std::string(what) + ": " + std::string(text) +
                             " does not fit 32 bits");
        case NumberError::kEmpty:
            throw UsageError(std::string(what) + ": a number is needed");
    }
    return number.value;
}

std::int32_t ParseSigned(std::string_view text, std::string_view what) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::uint32_t magnitude = ParseUnsigned(negative ? text.substr(1) : text, what);
    if (magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu)) {
        throw UsageError(std::string(what) + ": " + std::string(text) + " is out of range");
    }
    return negative ? static_cast<std::int32_t>(0u - magnitude)
                    : static_cast<std::int32_t>(magnitude);
}

}  // namespace kx::tool
