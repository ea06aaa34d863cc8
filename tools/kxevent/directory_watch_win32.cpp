// directory_watch_win32.cpp: no watch; the directory is rescanned every second.
#include <chrono>
#include <thread>

#include "tools/kxevent/directory_watch.h"

namespace kx::tool {

DirectoryWatch::DirectoryWatch(const std::filesystem::path&) {}

DirectoryWatch::~DirectoryWatch() = default;

void DirectoryWatch::Wait() {
    std::this_thread::sleep_for(std::chrono::milliseconds(kRescanMilliseconds / 5));
}

}  // namespace kx::tool
