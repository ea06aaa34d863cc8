// errors.cpp: the thread's last error, errno translated to Windows codes (the only place that
// does so), the system's message texts and the warning box.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/internal.h"

namespace kx::plat {

namespace {
thread_local Dword tLastError = 0;
}  // namespace

Dword GetLastError() {
    return tLastError;
}
void SetLastError(Dword error) {
    tLastError = error;
}

namespace backend {
namespace {

struct SystemMessage {
    Dword code;
    std::string_view text;
};

constexpr SystemMessage kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {11, "An attempt was made to load a program with an incorrect format.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {111, "The file name is too long.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "The file is not a valid application for this operating system.\r\n"},
    {203, "The system could not find the environment option that was entered.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {1114, "A dynamic link library (DLL) initialization routine failed.\r\n"},
    {1332, "No mapping between account names and security IDs was done.\r\n"},
    {1812, "The specified image file did not contain a resource section.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1814, "The specified resource name cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {11001, "No such host is known.\r\n"},
};

}  // namespace

Status FromErrno(int error) {
    switch (error) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
        case ELOOP:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case EBUSY:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case ENOEXEC:
            return kErrorBadFormat;
        case EEXIST:
            return kErrorFileExists;
        case EINVAL:
            return kErrorInvalidParameter;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kErrorDiskFull;
        case EMFILE:
        case ENFILE:
            return kErrorTooManyOpenFiles;
        case EXDEV:
            return kErrorNotSameDevice;
        case ENAMETOOLONG:
            return kErrorFilenameTooLong;
        default:
            return kErrorGenFailure;
    }
}

Status SetLastErrorFromErrno() {
    const Status status = FromErrno(errno);
    SetLastError(static_cast<Dword>(status));
    return status;
}

bool Fail(Status error) {
    SetLastError(static_cast<Dword>(error));
    return false;
}

Dword FormatSystemMessage(Dword error, char* buffer, Dword size) {
    for (const SystemMessage& message : kMessages) {
        if (message.code != error) continue;
        if (!buffer || size == 0) {
            SetLastError(kErrorInsufficientBuffer);
            return 0;
        }
        const std::size_t length = std::min<std::size_t>(message.text.size(), size - 1);
        std::memcpy(buffer, message.text.data(), length);
        buffer[length] = '\0';
        return static_cast<Dword>(length);
    }
    SetLastError(kErrorMrMidNotFound);
    return 0;
}

void MessageBoxA(const char* text, const char* caption) {
    // One write, so that the box's lines stay together among other processes' output.
    std::string box = caption ? caption : "";
    box += '\n';
    box += text ? text : "";
    box += "\n\n";
    std::fwrite(box.data(), 1, box.size(), stderr);
    std::fflush(stderr);
}

}  // namespace backend
}  // namespace kx::plat
