// collector_posix.cpp: the state directory's lock (flock), the watch on the alerting
// directories (inotify) and the metrics file's permissions, on Linux.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>

#include "collector/collector_system.h"

namespace kx::collect {

namespace {

Fd OpenStateDirectory(const std::filesystem::path& path) {
    std::filesystem::path state = path.lexically_normal();
    if (!state.has_filename()) state = state.parent_path();
    if (state.has_parent_path()) std::filesystem::create_directories(state.parent_path());
    const std::string name = LogText(state.string());
    if (::mkdir(state.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(),
                                "cannot create the state directory " + name);
    // A path descriptor: examined before anything is opened in it, whatever its mode.
    Fd dir(::open(state.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!dir || ::fstat(dir.get(), &info) != 0)
        throw std::system_error(errno, std::generic_category(),
                                "cannot open the state directory " + name);
    if (info.st_uid != ::geteuid())
        throw std::runtime_error("the state directory " + name + " belongs to uid " +
                                 std::to_string(info.st_uid) +
                                 ", not to the collector's user (uid " +
                                 std::to_string(::geteuid()) + "); give it to that user");
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw std::runtime_error("the state directory " + name +
                                 " may be written by others than the collector's user; "
                                 "chmod go-w it");
    return dir;
}

}  // namespace

StateLock::StateLock(const std::filesystem::path& state) {
    const Fd directory = OpenStateDirectory(state);
    const std::string name = LogText((state / "collect.lock").string());
    Fd lock = CreateExclusive(directory.get(), "collect.lock", 0600);
    if (!lock && errno == EEXIST) {
        lock = Fd(::openat(directory.get(), "collect.lock",
                           O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (lock && (::fstat(lock.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
                     info.st_uid != ::geteuid()))
            throw std::runtime_error(name +
                                     " is not a regular file of the collector's user; remove it");
    }
    if (!lock) throw std::system_error(errno, std::generic_category(), name);
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
        throw std::runtime_error("another collector runs with the state directory " +
                                 state.string());
    handle_ = lock.release();
}

StateLock::~StateLock() {
    ::close(static_cast<int>(handle_));
}

SpoolWatch::SpoolWatch(const std::vector<std::filesystem::path>& directories, int rescanSeconds,
                       const LogFn& log) {
    Fd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify) throw std::system_error(errno, std::generic_category(), "inotify");
    for (const std::filesystem::path& directory : directories) {
        if (::inotify_add_watch(inotify.get(), directory.c_str(),
                                IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE) < 0)
            log("cannot watch " + LogText(directory.string()) + "; rescanning every " +
                std::to_string(rescanSeconds) + " s only");
    }
    handles_.push_back(inotify.release());
}

SpoolWatch::~SpoolWatch() {
    for (const std::intptr_t handle : handles_) ::close(static_cast<int>(handle));
}

void SpoolWatch::Wait(int seconds, const std::atomic<bool>& stop) {
    const int inotify = static_cast<int>(handles_.front());
    pollfd watch{inotify, POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stop) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        // Slices keep a stop prompt even when the signal lands just before poll.
        const int ready = ::poll(&watch, 1, static_cast<int>(std::min<long>(left.count(), 500)));
        if (ready > 0) {
            alignas(inotify_event) char events[4096];
            while (::read(inotify, events, sizeof events) > 0) {
            }
            return;
        }
    }
}

std::string MetricsPermissionAdvice(int error, const std::filesystem::path& target) {
    if (error != EACCES && error != EPERM && error != EROFS) return {};
    return "; the collector's user (uid " + std::to_string(::geteuid()) +
           ") must be able to create files in " + LogText(target.parent_path().string()) +
           " (the unit allows its state directory: --metrics "
           "/var/lib/kxevent-collect/kxevent_collect.prom)";
}

}  // namespace kx::collect
