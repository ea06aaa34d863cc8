// severity.h: what a catalogue's stored "SEVERITY" value means, for the library and for the
// tools that list the catalogue.
#pragma once

#include <cstdint>

namespace kx {

// The severity of a stored "SEVERITY" value, decided by its first byte: 0 to 4 are themselves,
// anything else (and no data at all) is 1, so that a dword works as a number and a string
// never does.
inline std::uint32_t ParseSeverity(const unsigned char* data) {
    if (data == nullptr) return 1;
    return data[0] <= 4 ? data[0] : 1;
}

// The name of a severity as the tools print it; a value above 4 reads as the highest.
inline const char* SeverityName(std::uint32_t severity) {
    constexpr const char* kNames[] = {"informational", "notice", "warning", "error", "critical"};
    return kNames[severity < 4 ? severity : 4];
}

}  // namespace kx
