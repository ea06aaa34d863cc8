// registry.cpp: the raw registry reader shared by every subsystem.
#include "common/registry.h"

#include <utility>

#include "common/text.h"

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

}  // namespace kx
