// numbers.h: numbers a person gives the command (options, dword values), in decimal or 0x
// hexadecimal, refused with a message naming what they were for.
#pragma once

#include <cstdint>
#include <string_view>

namespace kx::tool {

// Parses a 32-bit number in decimal or 0x hexadecimal; throws UsageError naming `what`.
std::uint32_t ParseUnsigned(std::string_view text, std::string_view what);
// The same with an optional leading minus, within the range of a signed 32-bit number.
std::int32_t ParseSigned(std::string_view text, std::string_view what);

}  // namespace kx::tool
