// collector_win32.cpp: the state directory's lock (a file no one else may open), the watch on
// the alerting directories (change notifications) and the metrics file's checks, on Windows.
#include <windows.h>

#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "collector/collector.h"
#include "collector/collector_system.h"
#include "collector/spool_directory.h"

namespace kx::collect {

namespace {

std::string Reason(DWORD error) {
    return std::system_category().message(static_cast<int>(error));
}

}  // namespace

StateLock::StateLock(const std::filesystem::path& state) {
    std::error_code error;
    std::filesystem::create_directories(state, error);
    // Whoever may create files in it could hold the lock, and keep the collector from starting.
    SpoolDirectory directory;
    if (const int refused = SpoolDirectory::Open(state, directory))
        throw std::runtime_error("cannot open the state directory " + LogText(state.string()) +
                                 ": " + std::generic_category().message(refused));
    if (!directory.Untrusted("it").empty())
        throw std::runtime_error("the state directory " + LogText(state.string()) +
                                 " may be written by Everyone, Users or Authenticated Users, who "
                                 "could hold its lock; remove their write access from its "
                                 "access list");
    const std::string name = LogText((state / "collect.lock").string());
    // Opened with no sharing: a second collector cannot open it while this one lives, and the
    // system lets it go when the process ends however it ends. A link in its place is opened as
    // itself and refused.
    const HANDLE lock =
        ::CreateFileW((state / "collect.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (lock == INVALID_HANDLE_VALUE) {
        const DWORD why = ::GetLastError();
        if (why == ERROR_SHARING_VIOLATION)
            throw std::runtime_error("another collector runs with the state directory " +
                                     LogText(state.string()));
        throw std::runtime_error("cannot open " + name + ": " + Reason(why) +
                                 "; the collector's account must be able to create files in " +
                                 LogText(state.string()));
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(lock, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        ::CloseHandle(lock);
        throw std::runtime_error(name + " is not a regular file; remove it");
    }
    handle_ = reinterpret_cast<std::intptr_t>(lock);
}

StateLock::~StateLock() {
    ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

SpoolWatch::SpoolWatch(const std::vector<std::filesystem::path>& directories, int rescanSeconds,
                       const LogFn& log) {
    for (const std::filesystem::path& directory : directories) {
        const HANDLE change = ::FindFirstChangeNotificationW(
            directory.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
        if (change == INVALID_HANDLE_VALUE) {
            log("cannot watch " + LogText(directory.string()) + " (" + Reason(::GetLastError()) +
                "); rescanning every " + std::to_string(rescanSeconds) + " s only");
            continue;
        }
        handles_.push_back(reinterpret_cast<std::intptr_t>(change));
    }
}

SpoolWatch::~SpoolWatch() {
    for (const std::intptr_t handle : handles_)
        ::FindCloseChangeNotification(reinterpret_cast<HANDLE>(handle));
}

void SpoolWatch::Wait(int seconds, const std::atomic<bool>& stop) {
    std::vector<HANDLE> changes;
    for (const std::intptr_t handle : handles_) changes.push_back(reinterpret_cast<HANDLE>(handle));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stop) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        // Slices keep a stop prompt.
        const auto slice = static_cast<DWORD>(std::min<long long>(left.count(), 500));
        if (changes.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
            continue;
        }
        const DWORD ready = ::WaitForMultipleObjects(static_cast<DWORD>(changes.size()),
                                                     changes.data(), FALSE, slice);
        if (ready < WAIT_OBJECT_0 + changes.size()) {
            // Every directory's notice is renewed: the scan that follows sees them all.
            for (const HANDLE change : changes) {
                if (::WaitForSingleObject(change, 0) == WAIT_OBJECT_0)
                    ::FindNextChangeNotification(change);
            }
            return;
        }
        if (ready == WAIT_FAILED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        }
    }
}

std::string MetricsPermissionAdvice(int error, const std::filesystem::path& target) {
    if (error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT) return {};
    return "; the service's account must be able to create files in " +
           LogText(target.parent_path().string());
}

void CheckMetricsFile(const std::filesystem::path& file) {
    std::filesystem::path directory = file.parent_path();
    if (directory.empty()) directory = ".";
    const std::string named = "--metrics " + LogText(file.string());
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error))
        throw std::runtime_error(named + ": the directory " + LogText(directory.string()) +
                                 " does not exist; create it");
    if (std::filesystem::is_directory(file, error))
        throw std::runtime_error(named + " is a directory; name a file in it, such as " +
                                 LogText((file / "kxevent_collect.prom").string()));
}

}  // namespace kx::collect
