// registry.cpp: the raw registry reader shared by every subsystem.
#include "common/registry.h"

#include <cstring>
#include <memory>
#include <utility>

#include "common/text.h"
#include "platform/regfile.h"

namespace kx {

RegKey::RegKey(const char* path) {
    if (plat::RegOpenKeyExA(path, &key_) != plat::kErrorSuccess) key_ = nullptr;
}

RegKey::~RegKey() {
    Close();
}

RegKey::RegKey(RegKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}

RegKey& RegKey::operator=(RegKey&& other) noexcept {
    if (this != &other) {
        Close();
        key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
}

void RegKey::Close() {
    if (key_ != nullptr) plat::RegCloseKey(std::exchange(key_, nullptr));
}

std::optional<std::size_t> RegKey::Read(const char* name, std::span<std::byte> buffer) const {
    if (key_ == nullptr) return std::nullopt;
    plat::Dword size = static_cast<plat::Dword>(buffer.size());
    if (plat::RegQueryValueExA(key_, name, nullptr, buffer.data(), &size) != plat::kErrorSuccess) {
        return std::nullopt;
    }
    return size;
}

bool RegKey::ReadText(const char* name, std::span<char> buffer) const {
    const auto read = Read(name, buffer);
    if (!read || buffer.empty()) return false;
    TerminateReadText(buffer, *read);
    return true;
}

std::optional<std::size_t> ReadRegistryValue(const char* path, const char* name,
                                             std::span<std::byte> buffer) {
    return RegKey(path).Read(name, buffer);
}

bool ReadRegistryText(const char* path, const char* name, std::span<char> buffer) {
    return RegKey(path).ReadText(name, buffer);
}

RegistryReader PlatformRegistry() {
    const auto open = [](const char* path) -> std::optional<RegistryKeyReader> {
        auto key = std::make_shared<RegKey>(path);
        if (!*key) return std::nullopt;
        return [key](const char* name, std::span<std::byte> buffer) {
            return key->Read(name, buffer);
        };
    };
    return {open, ReadRegistryValue};
}

RegistryReader DocumentRegistry(const reg::Document& document) {
    const auto open = [&document](const char* path) -> std::optional<RegistryKeyReader> {
        const reg::Key* key = reg::FindKey(document, path);
        if (key == nullptr && !reg::HasSubkey(document, path)) return std::nullopt;
        return [key](const char* name, std::span<std::byte> buffer) -> std::optional<std::size_t> {
            const reg::Value* value = key ? reg::FindValue(*key, name) : nullptr;
            if (value == nullptr || value->data.size() > buffer.size()) return std::nullopt;
            if (!value->data.empty()) {
                std::memcpy(buffer.data(), value->data.data(), value->data.size());
            }
            return value->data.size();
        };
    };
    return {open, [open](const char* path, const char* name, std::span<std::byte> buffer) {
                const std::optional<RegistryKeyReader> key = open(path);
                return key ? (*key)(name, buffer) : std::nullopt;
            }};
}

}  // namespace kx
