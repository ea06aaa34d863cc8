// names.h: comparing names the way the registry and the record field table do: letters A to Z
// match their lower case, every other byte only itself, whatever the process's locale says.
#pragma once

#include <cstddef>
#include <string_view>

namespace kx {

constexpr char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

constexpr bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

}  // namespace kx
