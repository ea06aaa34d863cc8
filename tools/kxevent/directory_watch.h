// directory_watch.h: waiting for a directory to change, for "alert show --follow".
#pragma once

#include <filesystem>

namespace kx::tool {

// Waits until a directory may have changed: a change the system reports (inotify on Linux), or
// a rescan every few seconds for file systems whose changes it does not see (shared
// directories). Where the system reports nothing, every second.
class DirectoryWatch {
  public:
    explicit DirectoryWatch(const std::filesystem::path& directory);
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    void Wait();

  private:
    static constexpr int kRescanMilliseconds = 5000;
    int handle_ = -1;  // the system's watch, where there is one
};

}  // namespace kx::tool
