// collector_system.h: what the drain loop asks of the system, on Linux (collector_posix.cpp)
// and on Windows (collector_win32.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "collector/spool.h"

namespace kx::collect {

// The lock of a state directory, held while it lives: one collector per state directory. The
// directory is made when missing and refused when others than the collector's user could
// write it; throws std::runtime_error or std::system_error saying what to do.
class StateLock {
  public:
    explicit StateLock(const std::filesystem::path& state);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
    std::intptr_t handle_;  // a descriptor, or a HANDLE
};

// The system's notice of new files in the alerting directories.
class SpoolWatch {
  public:
    // A directory the system cannot watch is logged and rescanned only.
    SpoolWatch(const std::vector<std::filesystem::path>& directories, int rescanSeconds,
               const LogFn& log);
    ~SpoolWatch();
    SpoolWatch(const SpoolWatch&) = delete;
    SpoolWatch& operator=(const SpoolWatch&) = delete;

    // Returns once a directory changed, after `seconds`, or soon after a stop.
    void Wait(int seconds, const std::atomic<bool>& stop);

  private:
    std::vector<std::intptr_t> handles_;
};

// What an administrator can do when the metrics file's directory refuses the collector
// (`error` as ReplaceFile gave it); empty for other failures.
std::string MetricsPermissionAdvice(int error, const std::filesystem::path& target);

}  // namespace kx::collect
