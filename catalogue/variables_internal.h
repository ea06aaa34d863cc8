// variables_internal.h: the steps of the variable-table build, open to the catalogue's tests.
#pragma once

#include <cstdint>
#include <span>

#include "catalogue/variables.h"

namespace kx {

// The table's number texts while the table is being built: `last` is the empty node that
// takes the next text, null once a node could not be had.
struct NumberStringList {
    NumberStringNode* first;
    NumberStringNode* last;
};

inline constexpr std::size_t kNumberTextSize = 16;
inline constexpr std::size_t kShortenFrom = 256;
inline constexpr std::size_t kShortenedHead = 128;
inline constexpr std::size_t kShortenedTail = 135;

// Writes `value` as a signed decimal into a new 16-byte text held by the list's last node, and
// links a new empty node behind it. Null when the list has no last node or memory runs out.
char* FormatNumberVariable(NumberStringList& list, std::int32_t value);

// Rewrites a text of 256 characters or more in `field` as its first 128 characters, "..." and
// its last 135 characters. A text without a terminator counts as the whole field.
char* ShortenText(std::span<char> field);

}  // namespace kx
