// alert_log.h: the event-log entry written when a central alert cannot be delivered.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "common/alert_log_source.h"

namespace kx {

inline constexpr std::size_t kAlertLogTextSize = 2048;
inline constexpr std::size_t kAlertStringSize = 260;

// True when `format` takes exactly two texts ("%s") and holds no other conversion than "%%".
bool IsTwoTextFormat(std::string_view format);

// `format` (already checked by IsTwoTextFormat) with `first` and `second` in place of its two
// "%s", cut to out.size() - 1 characters and terminated.
void FormatTwoTexts(std::string_view format, std::string_view first, std::string_view second,
                    std::span<char> out);

// Logs the failure text of string `stringId` of the resource module, formatted with the
// alerting path and the message, always (whatever the diagnostics switch). A string that is
// missing or is not a two-text format gives the plain "path: message" text instead.
void LogAlertFailure(unsigned stringId, std::string_view path, std::string_view message);

// Logs, as a warning, an alert that was published but whose directory entry could not be
// synchronised to disk: the service may collect it, yet a crash could still lose it. It was
// delivered, so none of the failure strings fits.
void LogAlertUnconfirmed(std::string_view path, std::string_view message);
inline constexpr char kUnconfirmedFormat[] =
    "The alert was published in the alerting directory %s without confirmed durability "
    "(the directory could not be synchronised to disk). Message: %s";
inline constexpr unsigned kAlertLogWarningKind = 1;

}  // namespace kx
