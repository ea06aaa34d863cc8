// registry_files_win32.cpp: the Windows half of registry_files: the machine's registry read
// live in the library's view, the environment, reading a whole file and replacing one
// atomically (fd.h's ReplaceFile).
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "common/fd.h"
#include "common/registry.h"
#include "platform/platform.h"
#include "tools/admin/errors.h"
#include "tools/admin/registry_files.h"
#include "tools/admin/registry_files_internal.h"

namespace kx::tool {

namespace fs = std::filesystem;

void SetEnvironment(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}

bool UsesSystemRegistry() {
    return true;
}

bool SystemRegistryIsLive() {
    return true;
}

namespace {

// The view KXEvent.DLL of this build reads: a 32-bit DLL on 64-bit Windows reads the 32-bit view.
#ifdef _WIN64
constexpr REGSAM kLibraryView = KEY_WOW64_64KEY;
constexpr char kLibraryViewName[] = "64-bit view";
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
constexpr char kOtherViewName[] = "32-bit view";
#else
constexpr REGSAM kLibraryView = KEY_WOW64_32KEY;
constexpr char kLibraryViewName[] = "32-bit view";
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
constexpr char kOtherViewName[] = "64-bit view";
#endif

// Deeper or larger than this the settings are not the product's: reading stops with an error.
constexpr int kMaxDepth = 32;
constexpr std::size_t kMaxKeys = 100000;

// The one place the live reading turns a system error code into text.
[[noreturn]] void FailRead(const std::string& path, const char* step, LONG status) {
    char text[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error " + std::to_string(status);
    throw RuntimeError("cannot read HKEY_LOCAL_MACHINE\\" + path + ": " + step + ": " + message);
}

class OpenKey {
  public:
    // Opens `path` for reading in the library's view; false when it does not exist.
    bool Open(const std::string& path) {
        const LONG status =
            ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kLibraryView, &key_);
        if (status == ERROR_FILE_NOT_FOUND) return false;
        if (status != ERROR_SUCCESS) FailRead(path, "opening it", status);
        return true;
    }
    ~OpenKey() {
        if (key_ != nullptr) ::RegCloseKey(key_);
    }
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

reg::Key ReadValues(const std::string& path, const OpenKey& key) {
    DWORD nameChars = 0;
    DWORD dataBytes = 0;
    LONG status = ::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, &nameChars, &dataBytes, nullptr, nullptr);
    if (status != ERROR_SUCCESS) FailRead(path, "asking for its size", status);
    reg::Key read{.path = path, .values = {}};
    std::vector<char> name(nameChars + 1);
    std::vector<std::uint8_t> data(dataBytes + 1);
    for (DWORD index = 0;; ++index) {
        DWORD chars = static_cast<DWORD>(name.size());
        DWORD bytes = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        status = ::RegEnumValueA(key.get(), index, name.data(), &chars, nullptr, &type, data.data(),
                                 &bytes);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status == ERROR_MORE_DATA) {  // changed while read: once more with room for it
            name.resize(std::max<std::size_t>(name.size() * 2, 256));
            data.resize(std::max<std::size_t>(data.size() * 2, bytes + 1));
            --index;
            continue;
        }
        if (status != ERROR_SUCCESS) FailRead(path, "reading its values", status);
        read.values.push_back(
            {.name = std::string(name.data(), chars),
             .type = type,
             .data = std::vector<std::uint8_t>(data.begin(), data.begin() + bytes)});
    }
    return read;
}

std::vector<std::string> SubkeyNames(const std::string& path, const OpenKey& key) {
    std::vector<std::string> names;
    char name[256];  // the longest key name the registry allows, and its terminator
    for (DWORD index = 0;; ++index) {
        DWORD chars = sizeof name;
        const LONG status =
            ::RegEnumKeyExA(key.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) FailRead(path, "listing its keys", status);
        names.emplace_back(name, chars);
    }
    return names;
}

void ReadTree(reg::Document& document, const std::string& path, int depth) {
    OpenKey key;
    if (!key.Open(path)) return;
    if (depth > kMaxDepth || document.keys.size() >= kMaxKeys) {
        throw RuntimeError("cannot read HKEY_LOCAL_MACHINE\\" + path +
                           ": the settings are nested too deep or hold too many keys");
    }
    document.keys.push_back(ReadValues(path, key));
    for (const std::string& name : SubkeyNames(path, key)) {
        ReadTree(document, path + "\\" + name, depth + 1);
    }
}

}  // namespace

std::string LiveRegistryName() {
    return std::string("HKEY_LOCAL_MACHINE (") + kLibraryViewName + ")";
}

std::string LiveRegistryViewOption() {
    return kLibraryView == KEY_WOW64_64KEY ? "/reg:64" : "/reg:32";
}

std::optional<std::string> OtherViewHolding(const char* key) {
    // On 32-bit Windows there is one view: both flags open it, so it is never "the other".
    HKEY opened = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | kLibraryView, &opened) ==
        ERROR_SUCCESS) {
        ::RegCloseKey(opened);
        return std::nullopt;
    }
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | kOtherView, &opened) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    ::RegCloseKey(opened);
    return std::string(kOtherViewName);
}

reg::Document ReadLiveRegistry(std::span<const std::string_view> sources) {
    reg::Document document;
    ReadTree(document, kSharedComponentsKey, 0);
    for (std::string_view source : sources) {
        const std::string path = std::string(kEventLogSourcesKey) + "\\" + std::string(source);
        OpenKey key;
        if (key.Open(path)) document.keys.push_back(ReadValues(path, key));
    }
    return document;
}

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

void SaveTextAtomically(const fs::path& file, std::string_view text) {
    const std::string target = file.string();
    const ReplaceResult replaced =
        ReplaceFile(target.c_str(), TemporaryNameFor(file).c_str(), text);
    if (!replaced)
        throw RuntimeError("cannot write " + target + ": " + ReplaceFailureText(replaced) +
                           "; the file is unchanged");
}

}  // namespace kx::tool
