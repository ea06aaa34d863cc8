// registry_files.cpp: choosing, installing, loading and saving registry files.
#include "tools/admin/registry_files.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "common/alert_settings.h"
#include "config/default_registry.h"
#include "platform/platform.h"
#include "tools/admin/errors.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace kx::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStatePlaceholder = "@KXEVENT_STATE_DIR@";
constexpr std::string_view kInstallPlaceholder = "@KXEVENT_INSTALL_DIR@";

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void FillValue(reg::Value& value, std::string_view state, std::string_view install) {
    if (!IsTextType(value.type)) return;
    std::string text = ValueText(value);
    text = ReplaceAll(ReplaceAll(text, kStatePlaceholder, state), kInstallPlaceholder, install);
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
}

std::string TemporaryNameFor(const fs::path& file) {
    std::random_device seed;
    std::mt19937 random(seed());
    return file.string() + ".tmp-" + std::to_string(random());
}

}  // namespace

bool IsTextType(std::uint32_t type) {
    return type == plat::kRegSz || type == plat::kRegExpandSz;
}

std::string ValueText(const reg::Value& value) {
    const auto end = std::find(value.data.begin(), value.data.end(), std::uint8_t{0});
    return std::string(value.data.begin(), end);
}

fs::path SystemRegistryPath() {
    if (const char* path = std::getenv("KXEVENT_SYSTEM_REGISTRY"); path && *path) return path;
    return "/etc/velmora/hklm.reg";
}

fs::path StateDirectory() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        return fs::path(state) / "kxevent";
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        throw RuntimeError("cannot find a state directory: neither XDG_STATE_HOME nor HOME is set");
    }
    return fs::path(home) / ".local" / "state" / "kxevent";
}

void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

bool UsesSystemRegistry() {
#if defined(_WIN32)
    return true;
#else
    // The system alerting directory and registry file are root's alone (the library refuses
    // them otherwise); anyone else trying the command works on a default of their own.
    return ::geteuid() == 0;
#endif
}

RegistryChoice FindRegistry() {
    if (const char* configured = std::getenv("VEL_REGISTRY"); configured && *configured) {
        return {configured, RegistrySource::Environment};
    }
    std::error_code ignored;
    if (UsesSystemRegistry() && fs::exists(SystemRegistryPath(), ignored)) {
        return {SystemRegistryPath(), RegistrySource::System};
    }
    return {StateDirectory() / "hklm.reg", RegistrySource::UserDefault};
}

RegistryChoice SelectRegistry(const fs::path& libraryDirectory) {
    RegistryChoice choice = FindRegistry();
    if (choice.source == RegistrySource::UserDefault) {
        choice.file = InstallDefaultRegistry(StateDirectory(), libraryDirectory);
    }
    SetEnvironment("VEL_REGISTRY", choice.file.string());
    return choice;
}

RegistryChoice SelectTrustedRegistry(const fs::path& libraryDirectory) {
    const RegistryChoice registry = SelectRegistry(libraryDirectory);
    std::error_code ignored;
    if (!fs::exists(registry.file, ignored)) {
        throw RuntimeError("registry file " + registry.file.string() +
                           " (VEL_REGISTRY) does not exist");
    }
    // The library would read a registry that others can change as absent: say why, in its words.
    char refusal[1024];
    if (plat::RegistryRefusal(refusal, sizeof refusal) != 0) throw RuntimeError(refusal);
    return registry;
}

reg::Document ReadRegistryChoice(const RegistryChoice& choice, const fs::path& libraryDirectory) {
    std::error_code error;
    if (fs::exists(choice.file, error)) return LoadRegistryFile(choice.file);
    if (choice.source != RegistrySource::UserDefault) return {};
    return FillDefaultTemplate(config::DefaultRegistryTemplate(), StateDirectory(),
                               fs::absolute(libraryDirectory, error).lexically_normal());
}

reg::Document FillDefaultTemplate(std::string_view templateText, const fs::path& stateDirectory,
                                  const fs::path& libraryDirectory) {
    reg::Document document = ParseRegistryText(templateText, "built-in default registry");
    const std::string state = stateDirectory.string();
    const std::string install = libraryDirectory.string();
    for (reg::Key& key : document.keys) {
        for (reg::Value& value : key.values) FillValue(value, state, install);
    }
    return document;
}

fs::path InstallDefaultRegistry(const fs::path& stateDirectory, const fs::path& libraryDirectory) {
    const fs::path file = stateDirectory / "hklm.reg";
    std::error_code error;
    fs::create_directories(stateDirectory / "alerts", error);
    if (error) {
        throw RuntimeError("cannot create the state directory " + stateDirectory.string() + ": " +
                           error.message());
    }
    // The library believes a registry only in directories that no one else can change, whatever
    // umask created them.
    for (const fs::path& dir : {stateDirectory, stateDirectory / "alerts"}) {
        fs::permissions(dir, fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove, error);
    }
    if (fs::exists(file, error)) return file;
    const fs::path absoluteLibrary = fs::absolute(libraryDirectory, error).lexically_normal();
    SaveRegistryFile(file, FillDefaultTemplate(config::DefaultRegistryTemplate(), stateDirectory,
                                               absoluteLibrary));
    return file;
}

void CheckReadableFile(const fs::path& file, bool regular, std::uintmax_t size) {
    if (!regular) throw RuntimeError("cannot read " + file.string() + ": not a regular file");
    if (size > kMaxInputFileSize) {
        throw RuntimeError("cannot read " + file.string() + ": larger than " +
                           std::to_string(kMaxInputFileSize >> 20) + " MiB");
    }
}

#if defined(_WIN32)
std::string ReadWholeFile(const fs::path& file) {
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (!error) CheckReadableFile(file, fs::is_regular_file(status), fs::file_size(file, error));
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw RuntimeError("cannot read " + file.string());
    return content.str();
}
#else
std::string ReadWholeFile(const fs::path& file) {
    // Opened without blocking, so that a FIFO or device is refused by the check, never waited on.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(errno));
    const std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* owned) {
        ::close(*owned);
        delete owned;
    });
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    CheckReadableFile(file, S_ISREG(info.st_mode), static_cast<std::uintmax_t>(info.st_size));
    // A file that grows while it is read is still cut at the bound.
    std::string content(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t got = ::read(fd, content.data() + done, content.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            throw RuntimeError("cannot read " + file.string() + ": " + std::strerror(errno));
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
        if (done == content.size() && content.size() <= kMaxInputFileSize) {
            content.resize(std::min<std::size_t>(content.size() * 2, kMaxInputFileSize + 1));
        }
    }
    CheckReadableFile(file, true, done);
    content.resize(done);
    return content;
}
#endif

reg::Document ParseRegistryText(std::string_view text, std::string_view origin,
                                std::vector<reg::Deletion>* deletions) {
    std::vector<reg::ParseIssue> issues;
    reg::Document document = reg::Parse(text, &issues, deletions);
    if (!issues.empty()) {
        throw RuntimeError(std::string(origin) + ": line " + std::to_string(issues.front().line) +
                           ": " + issues.front().message);
    }
    return document;
}

reg::Document LoadRegistryFile(const fs::path& file, std::vector<reg::Deletion>* deletions) {
    return ParseRegistryText(ReadWholeFile(file), file.string(), deletions);
}

AlertSettings ReadAlertSettings(const fs::path& registryFile) {
    const reg::Document document = LoadRegistryFile(registryFile);
    const CentralAlertSettings read =
        ReadCentralAlertSettings([&](const char* keyPath, const char* name,
                                     std::span<std::byte> buffer) -> std::optional<std::size_t> {
            const reg::Key* key = reg::FindKey(document, keyPath);
            const reg::Value* value = key ? reg::FindValue(*key, name) : nullptr;
            if (value == nullptr || value->data.size() > buffer.size()) return std::nullopt;
            std::memcpy(buffer.data(), value->data.data(), value->data.size());
            return value->data.size();
        });
    AlertSettings settings;
    settings.enabled = read.enabled;
    if (read.directory) {
        std::string text = *read.directory;
        std::replace(text.begin(), text.end(), '\\', '/');
        settings.directory = fs::path(text);
    }
    return settings;
}

#if defined(_WIN32)
void SaveTextAtomically(const fs::path& file, std::string_view text) {
    std::string temporary;
    std::intptr_t handle = plat::kInvalidFile;
    for (int attempt = 0; attempt < 16 && handle == plat::kInvalidFile; ++attempt) {
        temporary = TemporaryNameFor(file);
        handle = plat::FileCreate(temporary.c_str());
    }
    if (handle == plat::kInvalidFile) {
        throw RuntimeError("cannot create a temporary file next to " + file.string());
    }
    const auto size = static_cast<plat::Dword>(text.size());
    const bool written = plat::FileWrite(handle, text.data(), size) == size;
    const bool closed = plat::FileClose(handle);
    std::error_code error;
    if (written && closed) fs::rename(temporary, file, error);
    if (!written || !closed || error) {
        plat::FileDelete(temporary.c_str());
        throw RuntimeError("cannot write " + file.string() +
                           (error ? ": " + error.message() : std::string(": write failed")) +
                           "; the file is unchanged");
    }
}
#else
namespace {

// The one place the saving code turns an errno into text.
[[noreturn]] void FailSave(const fs::path& file, const std::string& step, int error) {
    throw RuntimeError("cannot write " + file.string() + ": " + step + ": " +
                       std::generic_category().message(error) + "; the file is unchanged");
}

// The file a save replaces: a symbolic link's target, link after link as the kernel would
// follow them, so that the link stays in place and its target gets the text.
fs::path FollowLinks(fs::path file) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(file, error))) return file;
        const fs::path target = fs::read_symlink(file, error);
        if (error) FailSave(file, "reading the link", error.value());
        file = target.is_absolute() ? target : file.parent_path() / target;
    }
    FailSave(file, "following the link", ELOOP);
}

// A temporary file beside the target, removed unless committed.
class TemporaryFile {
  public:
    explicit TemporaryFile(const fs::path& target) {
        for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
            path_ = TemporaryNameFor(target);
            do {
                fd_ = ::open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                             S_IRUSR | S_IWUSR);
            } while (fd_ < 0 && errno == EINTR);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        if (fd_ < 0) FailSave(target, "creating a temporary file beside it", errno);
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Closes the file; the error number, or 0.
    int Close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }
    void Commit() { committed_ = true; }

  private:
    std::string path_;
    int fd_ = -1;
    bool committed_ = false;
};

int WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t done = ::write(fd, text.data(), text.size());
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return errno;
        text.remove_prefix(static_cast<std::size_t>(done));
    }
    return 0;
}

// The mode a new file gets: readable by all, writable by its owner, narrowed by the umask.
mode_t NewFileMode() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return (S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH) & ~mask;
}

}  // namespace

void SaveTextAtomically(const fs::path& file, std::string_view text) {
    const fs::path target = FollowLinks(file);
    struct stat original;
    const bool exists = ::lstat(target.c_str(), &original) == 0;
    if (!exists && errno != ENOENT) FailSave(target, "examining it", errno);
    if (exists && !S_ISREG(original.st_mode)) {
        throw RuntimeError("cannot write " + target.string() +
                           ": not a regular file; it is unchanged");
    }
    TemporaryFile temporary(target);
    if (const int error = WriteAll(temporary.fd(), text)) FailSave(target, "writing", error);
    // The owner first: changing it may clear set-ID bits that the mode then restores.
    struct stat created;
    if (::fstat(temporary.fd(), &created) != 0) FailSave(target, "writing", errno);
    if (exists && (created.st_uid != original.st_uid || created.st_gid != original.st_gid) &&
        ::fchown(temporary.fd(), original.st_uid, original.st_gid) != 0) {
        FailSave(target, "keeping its owner and group", errno);
    }
    const mode_t mode = exists ? original.st_mode & 07777 : NewFileMode();
    if (::fchmod(temporary.fd(), mode) != 0) FailSave(target, "keeping its mode", errno);
    if (::fsync(temporary.fd()) != 0) FailSave(target, "flushing", errno);
    if (const int error = temporary.Close()) FailSave(target, "writing", error);
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        FailSave(target, "replacing it", errno);
    }
    temporary.Commit();
    // The rename itself is made durable; the new file is complete either way, so a directory
    // that cannot be flushed is no failure.
    const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    const int directory = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return;
    const std::unique_ptr<const int, void (*)(const int*)> closer(
        &directory, [](const int* fd) { ::close(*fd); });
    ::fsync(directory);
}
#endif

void SaveRegistryFile(const fs::path& file, const reg::Document& document) {
    SaveTextAtomically(file, reg::Serialize(document));
}

}  // namespace kx::tool
