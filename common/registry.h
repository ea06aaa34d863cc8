// registry.h: the settings keys of the library and a raw, one-value-at-a-time registry reader.
//
// Every setting is read the same way: open the key for reading, read one value's raw bytes into
// a fixed buffer, close the key. The value's type is never looked at, and a value larger than
// its buffer counts as missing.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>

#include "platform/platform.h"

namespace kx::reg {
struct Document;
}

namespace kx {

inline constexpr char kSharedComponentsKey[] = "Software\\Velmora\\QRD\\Shared Components";
inline constexpr char kAlertingKey[] = "Software\\Velmora\\QRD\\Shared Components\\Brisa\\Alerting";
inline constexpr char kEventsKey[] = "Software\\Velmora\\QRD\\Shared Components\\Events";
inline constexpr char kForwardingKey[] =
    "Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding";
inline constexpr char kCurrentVersionKey[] =
    "SOFTWARE\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion";

// An open registry key under HKEY_LOCAL_MACHINE; closed when it goes out of scope.
class RegKey {
  public:
    RegKey() = default;
    explicit RegKey(const char* path);
    ~RegKey();
    RegKey(RegKey&& other) noexcept;
    RegKey& operator=(RegKey&& other) noexcept;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    explicit operator bool() const { return key_ != nullptr; }
    plat::HKey get() const { return key_; }
    void Close();

    // Reads the raw bytes of value `name` into `buffer`. Returns the number of bytes read, or
    // nothing when the value is missing or larger than the buffer.
    std::optional<std::size_t> Read(const char* name, std::span<std::byte> buffer) const;
    std::optional<std::size_t> Read(const char* name, std::span<char> buffer) const {
        return Read(name, std::as_writable_bytes(buffer));
    }
    // As Read, and the text is then terminated inside `buffer` whatever the registry gave:
    // after the bytes read, or by cutting the last character when they fill the buffer.
    bool ReadText(const char* name, std::span<char> buffer) const;

  private:
    plat::HKey key_ = nullptr;
};

// Opens `path`, reads one value into `buffer`, closes the key: the bytes read, or nothing
// when the key or the value is missing or the value larger than the buffer.
std::optional<std::size_t> ReadRegistryValue(const char* path, const char* name,
                                             std::span<std::byte> buffer);
bool ReadRegistryText(const char* path, const char* name, std::span<char> buffer);

// Reads the raw bytes of value `name` of key `key` into `buffer`: the number of bytes read, or
// nothing when the key or the value is missing or the value larger than the buffer.
using RegistryValueReader = std::function<std::optional<std::size_t>(
    const char* key, const char* name, std::span<std::byte> buffer)>;

// The values of one open key: the raw bytes of value `name`, as RegistryValueReader reads them.
using RegistryKeyReader =
    std::function<std::optional<std::size_t>(const char* name, std::span<std::byte> buffer)>;

// The registry as the library's rules see it: a key opened to read several of its values (closed
// when the last copy of its reader goes; nothing when the key does not open), and one value read
// raw by itself. The library reads the platform registry; the kxevent command a parsed file, by
// the same rules.
struct RegistryReader {
    std::function<std::optional<RegistryKeyReader>(const char* key)> open;
    RegistryValueReader read;
};

// The platform registry (RegOpenKeyExA, RegQueryValueExA).
RegistryReader PlatformRegistry();
// A parsed registry file as the platform's registry reads it: a key opens when it is stored or
// lies above a stored key. `document` must outlive the reader.
RegistryReader DocumentRegistry(const reg::Document& document);

}  // namespace kx
