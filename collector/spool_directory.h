// spool_directory.h: the file operations of the spool (spool.cpp) on one open directory, once
// for POSIX (spool_posix.cpp: relative to the directory's descriptor) and once for Windows
// (spool_win32.cpp: wide-character calls on paths under the directory, which is held open so
// that it cannot be renamed or removed meanwhile). Names are UTF-8; every error is an errno
// value, translated from the system's own once, here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#if !defined(_WIN32)
#include "common/fd.h"
#endif

namespace kx::collect {

// An entry as it is, never through a link.
struct SpoolEntry {
    int error = 0;  // 0 when it is there
    enum class Type { Regular, Directory, Link, Other } type = Type::Other;
    std::uint64_t id = 0;  // the inode, or on Windows the file index
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;
    std::int64_t mtimeNs() const { return mtimeSeconds * 1000000000 + mtimeNanoseconds; }
};

// One file read whole, as fd.h's ReadRegularFile reads it.
struct SpoolRead {
    int error = 0;          // of the open, examination or read; ELOOP for a link
    bool regular = false;   // opened, and a regular file
    bool tooLarge = false;  // regular, but larger than the limit (nothing read)
    std::int64_t size = 0;
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;
    std::string bytes;
};

class SpoolDirectory {
  public:
    SpoolDirectory() = default;
    ~SpoolDirectory();
    SpoolDirectory(SpoolDirectory&& other) noexcept;
    SpoolDirectory& operator=(SpoolDirectory&& other) noexcept;
    SpoolDirectory(const SpoolDirectory&) = delete;
    SpoolDirectory& operator=(const SpoolDirectory&) = delete;

    // Opens a directory, never through a link (ELOOP) and never anything else (ENOTDIR).
    static int Open(const std::filesystem::path& path, SpoolDirectory& out);
    int OpenSubdirectory(const std::string& name, SpoolDirectory& out) const;
    // 0, or the error (EEXIST when something is there already).
    int MakeSubdirectory(const std::string& name) const;
    // Why the collector may not trust this directory (`what` in the message) with what it sets
    // aside: others than its own user may write it. Empty when it may.
    std::string Untrusted(const std::string& what) const;
    bool SameVolume(const SpoolDirectory& other) const;

    explicit operator bool() const;

    // Every name in the directory but "." and "..". 0, or the error of the listing.
    int List(const std::function<void(std::string_view)>& each) const;
    SpoolEntry Examine(const std::string& name) const;
    SpoolRead ReadRegular(const std::string& name, std::size_t limit) const;
    int Remove(const std::string& name) const;
    // Moves `name` to `target` in `to` unless `target` exists there (EEXIST).
    int MoveWithoutReplacing(const std::string& name, const SpoolDirectory& to,
                             const std::string& target) const;
    // Creates `name` new (never through a link, never over anything), writes `data` and flushes
    // it to the disk.
    int WriteNew(const std::string& name, std::string_view data) const;
    // Makes the directory's entries durable.
    int Sync() const;

  private:
#if defined(_WIN32)
    void* handle_ = nullptr;  // HANDLE, open without FILE_SHARE_DELETE
    std::filesystem::path path_;
#else
    Fd fd_;
#endif
};

}  // namespace kx::collect
