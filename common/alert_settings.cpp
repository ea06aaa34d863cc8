// alert_settings.cpp: the rules for reading the central-alert switch and directory.
#include "common/alert_settings.h"

#include <array>

#include "common/registry.h"
#include "common/text.h"

namespace kx {

namespace {

constexpr char kEnableValue[] = "bEnableCAlert";
constexpr char kPathValue[] = "Centralized Alerting Path";

}  // namespace

bool ReadCentralAlertSwitch(const RegistryValueReader& read) {
    // A shorter value fills only the low bytes; the rest stay zero.
    std::array<std::byte, 4> data{};
    if (!read(kAlertingKey, kEnableValue, data)) return false;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        value |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    }
    return value != 0;
}

bool ReadCentralAlertDirectory(const RegistryValueReader& read,
                               std::span<char, kAlertPathSize> buffer) {
    buffer[0] = '\0';
    const std::optional<std::size_t> length =
        read(kAlertingKey, kPathValue, std::as_writable_bytes(std::span<char>(buffer)));
    if (length) TerminateReadText(buffer, *length);
    // An empty path names no directory: it counts as no path at all.
    if (!length || buffer[0] == '\0') {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

CentralAlertSettings ReadCentralAlertSettings(const RegistryValueReader& read) {
    CentralAlertSettings settings;
    settings.enabled = ReadCentralAlertSwitch(read);
    std::array<char, kAlertPathSize> path{};
    if (ReadCentralAlertDirectory(read, path)) settings.directory = std::string(BoundedText(path));
    return settings;
}

}  // namespace kx
