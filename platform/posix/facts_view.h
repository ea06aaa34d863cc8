// facts_view.h: what identifies one version of a file, and the facts view that lets one call
// check each file for a change only once.
#pragma once

#include <sys/stat.h>

namespace kx::plat::backend {

// What identifies one version of a file: a replaced or rewritten file differs in one of these.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;  // -1: no such file
    timespec modified{};
    timespec changed{};

    static FileStamp From(const struct stat& info);
    // The file's stamp now. Inside a facts view, the stamp that the view's first look at
    // `path` found: the file is stat'ed once per view.
    static FileStamp Of(const char* path);

    bool exists() const { return size >= 0; }
    bool operator==(const FileStamp& other) const;
};

// Whether a facts view is open on this thread.
bool InFactsView();

// Drops the registry version the thread's view kept (registry.cpp).
void ForgetViewedRegistry();

}  // namespace kx::plat::backend
