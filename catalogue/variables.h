// variables.h: the %NAME% variables of a long description and their expansion.
#pragma once

#include <cstdint>

#include "kxevent/kxevent.h"

namespace kx {

inline constexpr int kVariableCount = 49;
inline constexpr int kExpansionBufferSize = 2048;

struct NumberStringNode {
    char* text;  // 16-byte block holding the number as "%d", or null
    NumberStringNode* next;
};

struct VariableSlot {
    const char* name;   // token name, null in the end slot
    const char* value;  // the record field itself, a number text, or null
    // Bytes `value` may be read over: the field's width (its text need not be terminated in
    // it). 0 for a value that is a terminated text of its own.
    std::uint32_t width;
};

struct VariableTable {
    VariableSlot slots[kVariableCount + 1];
    NumberStringNode* numbers;  // first node of the NumberStringList
};

// Builds the table for one send: sets uTrapID, names an unnamed product, shortens the long
// file and mail names in place. Null when memory runs out.
VariableTable* BuildVariableTable(std::uint32_t productId, std::int32_t eventId,
                                  MessageRecord* message, DetailRecord* detail,
                                  ContextRecord* context);
// Expands `text` against `table` into `out` (`size` bytes). 1 when `out` holds the result, 0
// when nothing was expanded (no output buffer, no memory, a null or empty text).
int ExpandVariables(const char* text, const VariableTable* table, char* out, int size);
void FreeVariableTable(VariableTable* table);

}  // namespace kx
