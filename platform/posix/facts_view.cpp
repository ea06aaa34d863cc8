// facts_view.cpp: one call's view of the files the backend reads facts from. Inside a view each
// file is stat'ed once; the stamps are kept per thread and dropped when the outermost view ends.
#include "platform/posix/facts_view.h"

#include <string>
#include <vector>

#include "platform/posix/internal.h"

namespace kx::plat {
namespace backend {
namespace {

struct StampSeen {
    std::string path;
    FileStamp stamp;
};

struct ThreadView {
    int depth = 0;
    std::vector<StampSeen> seen;  // a handful of files per send: a list beats a map
};

thread_local ThreadView tView;

FileStamp StatNow(const char* path) {
    struct stat info;
    if (::stat(path, &info) != 0) return {};
    return FileStamp::From(info);
}

}  // namespace

FileStamp FileStamp::From(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

FileStamp FileStamp::Of(const char* path) {
    if (tView.depth == 0) return StatNow(path);
    for (const StampSeen& seen : tView.seen) {
        if (seen.path == path) return seen.stamp;
    }
    const FileStamp stamp = StatNow(path);
    tView.seen.push_back({path, stamp});
    return stamp;
}

bool FileStamp::operator==(const FileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

bool InFactsView() {
    return tView.depth > 0;
}

}  // namespace backend

void BeginFactsView() {
    ++backend::tView.depth;
}

void EndFactsView() {
    backend::ThreadView& view = backend::tView;
    if (view.depth == 0 || --view.depth > 0) return;
    view.seen.clear();
    backend::ForgetViewedRegistry();
}

}  // namespace kx::plat
