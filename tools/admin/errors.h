// errors.h: the two kinds of failure the administration library throws and the kxevent command
// reports, each as one line on standard error with its own exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace kx::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // a send or runtime failure
inline constexpr int kExitUsage = 2;    // bad options or values

// Bad command line: unknown option, missing value, a value that does not fit its field.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Anything the command could not do at run time: library not loadable, file unreadable, ...
struct RuntimeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace kx::tool
