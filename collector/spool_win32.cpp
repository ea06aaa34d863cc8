// spool_win32.cpp: the spool's file operations on Windows. The directory is held open without
// FILE_SHARE_DELETE, so that it can be neither renamed nor removed (and a junction put in its
// place) while the collector works in it; its entries are reached by path under it, each opened
// as itself, never through a reparse point (a symbolic link or a junction). Windows errors
// become errno values here, once.
#include "collector/utf16_win32.h"  // windows.h first
// after windows.h
#include <aclapi.h>

#include <cerrno>
#include <utility>

#include "collector/spool_directory.h"

namespace kx::collect {

namespace {

int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return EACCES;
        // Another process holds the file open: tried again at the next pass.
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EAGAIN;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return EIO;
    }
}

int LastErrno() {
    return ErrnoOf(::GetLastError());
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (*this) ::CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

// Opens the entry itself, whatever it is, never what a reparse point names.
HANDLE OpenEntry(const std::wstring& path, DWORD access, DWORD share) {
    return ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// 100-ns intervals from 1601 to 1970.
constexpr std::int64_t kEpochDifference = 116444736000000000;

void SplitTime(const FILETIME& time, std::int64_t& seconds, std::int64_t& nanoseconds) {
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                  time.dwLowDateTime) -
        kEpochDifference;
    seconds = ticks / 10000000;
    nanoseconds = ticks % 10000000 * 100;
    if (nanoseconds < 0) {
        --seconds;
        nanoseconds += 1000000000;
    }
}

SpoolEntry::Type TypeOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return SpoolEntry::Type::Link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return SpoolEntry::Type::Directory;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return SpoolEntry::Type::Other;
    return SpoolEntry::Type::Regular;
}

int OpenDirectory(const std::filesystem::path& path, void*& handle) {
    HANDLE opened = OpenEntry(
        path.wstring(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (opened == INVALID_HANDLE_VALUE) return LastErrno();
    BY_HANDLE_FILE_INFORMATION info{};
    int error = 0;
    if (!::GetFileInformationByHandle(opened, &info))
        error = LastErrno();
    else if (TypeOf(info.dwFileAttributes) == SpoolEntry::Type::Link)
        error = ELOOP;
    else if (TypeOf(info.dwFileAttributes) != SpoolEntry::Type::Directory)
        error = ENOTDIR;
    if (error != 0) {
        ::CloseHandle(opened);
        return error;
    }
    handle = opened;
    return 0;
}

bool IsWideGroup(PSID sid) {
    for (const WELL_KNOWN_SID_TYPE type :
         {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid})
        if (::IsWellKnownSid(sid, type)) return true;
    return false;
}

}  // namespace

SpoolDirectory::~SpoolDirectory() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
}

SpoolDirectory::SpoolDirectory(SpoolDirectory&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)) {}

SpoolDirectory& SpoolDirectory::operator=(SpoolDirectory&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) ::CloseHandle(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
    }
    return *this;
}

SpoolDirectory::operator bool() const {
    return handle_ != nullptr;
}

int SpoolDirectory::Open(const std::filesystem::path& path, SpoolDirectory& out) {
    out = SpoolDirectory();
    const int error = OpenDirectory(path, out.handle_);
    if (error == 0) out.path_ = path;
    return error;
}

int SpoolDirectory::OpenSubdirectory(const std::string& name, SpoolDirectory& out) const {
    return Open(path_ / Wide(name), out);
}

int SpoolDirectory::MakeSubdirectory(const std::string& name) const {
    // Its access list is inherited from the alerting directory's, which the installer sets.
    return ::CreateDirectoryW((path_ / Wide(name)).c_str(), nullptr) ? 0 : LastErrno();
}

std::string SpoolDirectory::Untrusted(const std::string& what) const {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetSecurityInfo(handle_, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return "cannot examine " + what + ": " + std::generic_category().message(ErrnoOf(error));
    // Adding, removing or changing entries, or the access list itself.
    constexpr ACCESS_MASK kWriting = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER |
                                     GENERIC_WRITE | GENERIC_ALL;
    bool everyone = dacl == nullptr;  // no access list at all: anybody may do anything
    for (DWORD index = 0; !everyone && index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!::GetAce(dacl, index, &ace)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        everyone =
            (allowed->Mask & kWriting) != 0 && IsWideGroup(const_cast<DWORD*>(&allowed->SidStart));
    }
    ::LocalFree(descriptor);
    if (!everyone) return {};
    return what +
           " may be written by Everyone, Users or Authenticated Users; it is not used: remove "
           "their write access from its access list, or remove it and the collector makes its "
           "own";
}

bool SpoolDirectory::SameVolume(const SpoolDirectory& other) const {
    BY_HANDLE_FILE_INFORMATION mine{}, theirs{};
    return ::GetFileInformationByHandle(handle_, &mine) &&
           ::GetFileInformationByHandle(other.handle_, &theirs) &&
           mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber;
}

int SpoolDirectory::List(const std::function<void(std::string_view)>& each) const {
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileExW((path_ / L"*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : ErrnoOf(error);
    }
    DWORD error = ERROR_NO_MORE_FILES;
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") each(Narrow(found.cFileName));
    } while (::FindNextFileW(search, &found) || (error = ::GetLastError()) != ERROR_NO_MORE_FILES);
    ::FindClose(search);
    return error == ERROR_NO_MORE_FILES ? 0 : ErrnoOf(error);
}

SpoolEntry SpoolDirectory::Examine(const std::string& name) const {
    SpoolEntry entry;
    const Handle file(OpenEntry((path_ / Wide(name)).wstring(), FILE_READ_ATTRIBUTES, kShareAll));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) {
        entry.error = LastErrno();
        return entry;
    }
    entry.type = TypeOf(info.dwFileAttributes);
    entry.id = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    SplitTime(info.ftLastWriteTime, entry.mtimeSeconds, entry.mtimeNanoseconds);
    return entry;
}

SpoolRead SpoolDirectory::ReadRegular(const std::string& name, std::size_t limit) const {
    SpoolRead read;
    // Others may remove or rename it meanwhile; a writer that still holds it open without
    // sharing makes this fail with EAGAIN.
    const Handle file(OpenEntry((path_ / Wide(name)).wstring(), GENERIC_READ, kShareAll));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) {
        read.error = LastErrno();
        return read;
    }
    const SpoolEntry::Type type = TypeOf(info.dwFileAttributes);
    if (type == SpoolEntry::Type::Link) {
        read.error = ELOOP;
        return read;
    }
    read.regular = type == SpoolEntry::Type::Regular;
    read.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                          info.nFileSizeLow);
    SplitTime(info.ftLastWriteTime, read.mtimeSeconds, read.mtimeNanoseconds);
    read.tooLarge = read.regular && static_cast<std::uint64_t>(read.size) > limit;
    if (!read.regular || read.tooLarge) return read;
    // One byte more than the limit tells a file that grew meanwhile.
    read.bytes.resize(limit + 1);
    std::size_t done = 0;
    while (done < read.bytes.size()) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), read.bytes.data() + done,
                        static_cast<DWORD>(read.bytes.size() - done), &got, nullptr)) {
            read.error = LastErrno();
            break;
        }
        if (got == 0) break;
        done += got;
    }
    read.bytes.resize(done);
    if (read.bytes.size() > limit) {
        read.tooLarge = true;
        read.bytes.clear();
    }
    return read;
}

int SpoolDirectory::Remove(const std::string& name) const {
    return ::DeleteFileW((path_ / Wide(name)).c_str()) ? 0 : LastErrno();
}

int SpoolDirectory::MoveWithoutReplacing(const std::string& name, const SpoolDirectory& to,
                                         const std::string& target) const {
    // Without MOVEFILE_REPLACE_EXISTING a name taken fails; without MOVEFILE_COPY_ALLOWED a
    // move to another volume fails rather than copying. A reparse point is moved itself.
    return ::MoveFileExW((path_ / Wide(name)).c_str(), (to.path_ / Wide(target)).c_str(), 0)
               ? 0
               : LastErrno();
}

int SpoolDirectory::WriteNew(const std::string& name, std::string_view data) const {
    // CREATE_NEW fails on whatever is under the name, a link included.
    const Handle file(::CreateFileW((path_ / Wide(name)).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LastErrno();
    for (std::size_t done = 0; done < data.size();) {
        DWORD wrote = 0;
        if (!::WriteFile(file.get(), data.data() + done, static_cast<DWORD>(data.size() - done),
                         &wrote, nullptr))
            return LastErrno();
        if (wrote == 0) return ENOSPC;
        done += wrote;
    }
    return ::FlushFileBuffers(file.get()) ? 0 : LastErrno();
}

int SpoolDirectory::Sync() const {
    // Windows cannot flush a directory: a rename or removal is in the file system's own log,
    // which it commits on its own; the files written here are flushed where they are written.
    return 0;
}

}  // namespace kx::collect
