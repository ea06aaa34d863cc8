// alert_log_source.h: the event-log entry the library writes when a central alert could not be
// delivered (its source, which is also its label, and its number), known to the library that
// writes it and to the kxevent command, which explains it.
#pragma once

namespace kx {

inline constexpr char kAlertLogSource[] = "Derad Edarevu Razud Evarivive";
inline constexpr unsigned kAlertLogNumber = 0xC0000101u;

}  // namespace kx
