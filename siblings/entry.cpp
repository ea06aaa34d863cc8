// entry.cpp: the stand-ins' entry notification. When KX_STANDIN_TRACE names a file, each
// process attach and detach appends one line "<module> attach" or "<module> detach" to it, so
// that the order in which a host loads and unloads the siblings can be observed.
#include <cstdio>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "siblings/standin.h"

namespace {

// The variable is read through the platform, which ignores it in a privileged process; the
// file is appended to only when it is a regular file reached without a symbolic link.
void AppendLine(const char* file, const std::string& line) {
#if defined(_WIN32)
    if (std::FILE* out = std::fopen(file, "a")) {
        std::fputs(line.c_str(), out);
        std::fclose(out);
    }
#else
    const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        [[maybe_unused]] const ssize_t wrote = ::write(fd, line.data(), line.size());
    }
    ::close(fd);
#endif
}

void NoteEvent(const char* what) {
    char file[4096];
    const kx::plat::Dword length =
        kx::plat::GetEnvironmentVariableA("KX_STANDIN_TRACE", file, sizeof file);
    if (length == 0 || length >= sizeof file) return;
    AppendLine(file, std::string(KX_STANDIN_MODULE) + " " + what + "\n");
}

}  // namespace

KX_STANDIN_EXPORT int KX_STANDIN_API DllMain(void* /*module*/, std::uint32_t reason,
                                             void* /*reserved*/) {
    if (reason == kStandinProcessAttach) NoteEvent("attach");
    if (reason == kStandinProcessDetach) NoteEvent("detach");
    return 1;
}
