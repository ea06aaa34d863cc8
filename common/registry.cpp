// registry.cpp: the raw registry reader shared by every subsystem.
#include "common/registry.h"

#include <cstring>
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
    return {[](const char* key) { return static_cast<bool>(RegKey(key)); }, ReadRegistryValue};
}

RegistryReader DocumentRegistry(const reg::Document& document) {
    return {[&document](const char* key) {
                return reg::FindKey(document, key) != nullptr || reg::HasSubkey(document, key);
            },
            [&document](const char* keyPath, const char* name,
                        std::span<std::byte> buffer) -> std::optional<std::size_t> {
                const reg::Key* key = reg::FindKey(document, keyPath);
                const reg::Value* value = key ? reg::FindValue(*key, name) : nullptr;
                if (value == nullptr || value->data.size() > buffer.size()) return std::nullopt;
                if (!value->data.empty()) {
                    std::memcpy(buffer.data(), value->data.data(), value->data.size());
                }
                return value->data.size();
            }};
}

}  // namespace kx
