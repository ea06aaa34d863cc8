// alert_settings.h: the central-alert settings under the alerting key, read by one set of rules
// for the library's send and for the kxevent command, which has to know where the send will
// write before it sends.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "common/registry.h"

namespace kx {

inline constexpr std::size_t kAlertPathSize = 256;  // "Centralized Alerting Path" buffer

// RegistryValueReader (common/registry.h): the library reads the platform registry
// (ReadRegistryValue); the command its parsed file (DocumentRegistry).

// "bEnableCAlert": on when any byte of a value of at most four bytes is not zero.
bool ReadCentralAlertSwitch(const RegistryValueReader& read);

// "Centralized Alerting Path" into `buffer`, terminated inside it whatever the registry gave
// (a value that fills the buffer loses its last character). False, with `buffer` empty, when
// the value is missing, larger than the buffer or empty.
bool ReadCentralAlertDirectory(const RegistryValueReader& read,
                               std::span<char, kAlertPathSize> buffer);

// Whether a send that succeeded raises a central alert: alerting is on, and the caller did not
// suppress it or the event alerts whatever the caller asked.
constexpr bool CentralAlertDue(bool enabled, bool suppressed, bool alwaysAlert) {
    return enabled && (!suppressed || alwaysAlert);
}

struct CentralAlertSettings {
    bool enabled = false;
    std::optional<std::string> directory;  // as written in the registry
};

// Both settings through `read`.
CentralAlertSettings ReadCentralAlertSettings(const RegistryValueReader& read);

}  // namespace kx
