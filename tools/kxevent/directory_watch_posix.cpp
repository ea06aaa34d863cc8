// directory_watch_posix.cpp: an inotify watch of the directory, polled with the rescan interval.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tools/kxevent/directory_watch.h"

namespace kx::tool {

DirectoryWatch::DirectoryWatch(const std::filesystem::path& directory)
    : handle_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (handle_ >= 0 && ::inotify_add_watch(handle_, directory.c_str(),
                                            IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE) < 0) {
        ::close(handle_);
        handle_ = -1;
    }
}

DirectoryWatch::~DirectoryWatch() {
    if (handle_ >= 0) ::close(handle_);
}

void DirectoryWatch::Wait() {
    if (handle_ < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kRescanMilliseconds / 5));
        return;
    }
    pollfd ready{handle_, POLLIN, 0};
    if (::poll(&ready, 1, kRescanMilliseconds) > 0) {
        char events[4096];
        while (::read(handle_, events, sizeof events) > 0) {
        }
    }
}

}  // namespace kx::tool
