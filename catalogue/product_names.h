// product_names.h: the display names of the family's products, indexed by product number.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kx {

// Slot 0 is a placeholder that is never handed out; the lookup tests a product number against
// the count stored beside the slots. Every name fits szSoftwareName (at most 15 characters).
struct ProductNames {
    std::array<std::string_view, 15> slots;
    std::uint32_t count;
};

inline constexpr ProductNames ProductNameTable{
    {
        "-",
        "Desk Shield",
        "Mail Guard",
        "File Sentinel",
        "Net Watch",
        "Server Guard",
        "Gateway Guard",
        "Web Filter",
        "Notes Guard",
        "Scan Console",
        "Policy Center",
        "Remote Agent",
        "Update Agent",
        "Outbreak Watch",
        "Storage Guard",
    },
    15,
};

static_assert(ProductNameTable.count == ProductNameTable.slots.size());
static_assert([] {
    for (std::string_view name : ProductNameTable.slots) {
        if (name.empty() || name.size() > 15) return false;
    }
    return true;
}());

}  // namespace kx
