// files.cpp: directory probes, the non-replacing rename, the environment, and the exclusive,
// durable files of the kernel sibling library.
#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"

namespace kx::plat::backend {
namespace {

HANDLE Native(std::intptr_t file) {
    return reinterpret_cast<HANDLE>(file);
}

// The largest piece handed to one WriteFile call.
constexpr Dword kWriteChunk = 1u << 20;

}  // namespace

bool FindFirstFileAttributes(const char* path, Dword* attributes) {
    if (path == nullptr) return false;
    WIN32_FIND_DATAA found{};
    const HANDLE search = ::FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    ::FindClose(search);
    if (attributes != nullptr) *attributes = found.dwFileAttributes;
    return true;
}

// No MOVEFILE_REPLACE_EXISTING: an existing target makes the rename fail. Write-through makes
// the rename durable before the call returns.
bool MoveFileA(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) return false;
    return ::MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != FALSE;
}

Dword GetEnvironmentVariableA(const char* name, char* buffer, Dword size) {
    if (name == nullptr) return 0;
    return static_cast<Dword>(::GetEnvironmentVariableA(name, buffer, size));
}

// CREATE_NEW never opens, let alone truncates, a file that is already there.
std::intptr_t FileCreate(const char* path) {
    if (path == nullptr) {
        Fail(kErrorInvalidParameter);
        return kInvalidFile;
    }
    const HANDLE file =
        ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return kInvalidFile;
    return reinterpret_cast<std::intptr_t>(file);
}

Dword FileWrite(std::intptr_t file, const void* data, Dword count) {
    if (data == nullptr && count != 0) return 0;
    const auto* bytes = static_cast<const char*>(data);
    Dword total = 0;
    while (total < count) {
        const Dword piece = count - total < kWriteChunk ? count - total : kWriteChunk;
        DWORD written = 0;
        if (!::WriteFile(Native(file), bytes + total, piece, &written, nullptr) || written == 0) {
            break;
        }
        total += written;
    }
    return total;
}

// Both steps run even when the flush fails, so the handle is never leaked.
bool FileClose(std::intptr_t file) {
    if (file == kInvalidFile) {
        Fail(kErrorInvalidHandle);
        return false;
    }
    const bool flushed = ::FlushFileBuffers(Native(file)) != FALSE;
    const bool closed = ::CloseHandle(Native(file)) != FALSE;
    return flushed && closed;
}

bool FileDelete(const char* path) {
    return path != nullptr && ::DeleteFileA(path) != FALSE;
}

bool SetGroupReadable(const char* path) {
    if (path == nullptr) {
        Fail(kErrorInvalidParameter);
        return false;
    }
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        Fail(kErrorAccessDenied);
        return false;
    }
    return true;
}

// The kernel library holds the file alone while it writes: the watch only checks that the file
// is there, and the flush opens it once the writer has closed it.
std::intptr_t WatchFile(const char* path) {
    if (path == nullptr) {
        Fail(kErrorInvalidParameter);
        return kInvalidFile;
    }
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return kInvalidFile;
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        Fail(kErrorAccessDenied);
        return kInvalidFile;
    }
    return 0;
}

bool FlushWatchedFile(std::intptr_t watch, const char* path, std::uint64_t size) {
    if (watch == kInvalidFile || path == nullptr) {
        Fail(kErrorInvalidHandle);
        return false;
    }
    const HANDLE file =
        ::CreateFileA(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER held{};
    bool ok = ::FlushFileBuffers(file) != FALSE;
    if (ok &&
        (!::GetFileSizeEx(file, &held) || static_cast<std::uint64_t>(held.QuadPart) != size)) {
        Fail(kErrorWriteFault);
        ok = false;
    }
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    if (!ok) ::SetLastError(error);
    return ok;
}

void EndWatch(std::intptr_t) {}

}  // namespace kx::plat::backend
