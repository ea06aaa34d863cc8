// syslog_settings.cpp: reading FwdSyslog's registry key through the platform registry.
#include "forwarders/syslog/syslog_settings.h"

#include <array>
#include <cstring>
#include <optional>
#include <span>

#include "common/names.h"
#include "common/text.h"
#include "platform/platform.h"

namespace kx::fwd {

namespace {

class Key {
  public:
    explicit Key(const char* path) {
        if (plat::RegOpenKeyExA(path, &key_) != plat::kErrorSuccess) key_ = nullptr;
    }
    ~Key() {
        if (key_) plat::RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    explicit operator bool() const { return key_ != nullptr; }

    struct Raw {
        plat::Dword type = 0;
        std::array<char, 256> data{};
        plat::Dword size = 0;
    };
    // The value's raw bytes, or nothing when it is missing or larger than 255 bytes.
    std::optional<Raw> Read(const char* name) const {
        Raw raw;
        raw.size = static_cast<plat::Dword>(raw.data.size() - 1);
        if (plat::RegQueryValueExA(key_, name, &raw.type, raw.data.data(), &raw.size) !=
            plat::kErrorSuccess) {
            return std::nullopt;
        }
        return raw;
    }
    // A text value, up to its terminator and never past the bytes read.
    std::optional<std::string> Text(const char* name) const {
        const auto raw = Read(name);
        if (!raw) return std::nullopt;
        return TextOf(*raw);
    }
    static std::string TextOf(const Raw& raw) {
        return std::string(kx::BoundedText(std::span<const char>(raw.data.data(), raw.size)));
    }

  private:
    plat::HKey key_ = nullptr;
};

// A number stored as REG_DWORD or as decimal text.
std::optional<std::uint32_t> ReadNumber(const Key& key, const char* name, bool& present) {
    const auto raw = key.Read(name);
    present = raw.has_value();
    if (!raw) return std::nullopt;
    if (raw->type == plat::kRegDword && raw->size == 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, raw->data.data(), 4);
        return value;
    }
    return ParseSyslogDecimal(Key::TextOf(*raw));
}

bool ReadTransport(const Key& key, SyslogSettings& settings, std::string& problem) {
    const auto text = key.Text(kSyslogTransportValue);
    if (!text) return true;
    const auto transport = SyslogTransportByName(*text);
    if (!transport) {
        problem = "Transport \"" + *text + "\" is not one of " + SyslogTransportList();
        return false;
    }
    settings.transport = *transport;
    return true;
}

bool ReadNumbers(const Key& key, SyslogSettings& settings, std::string& problem) {
    bool present = false;
    const auto port = ReadNumber(key, kSyslogPortValue, present);
    if (present && (!port || *port == 0 || *port > 65535)) {
        problem = "Port is not a number from 1 to 65535";
        return false;
    }
    if (port) settings.port = static_cast<std::uint16_t>(*port);
    const auto enterprise = ReadNumber(key, kSyslogEnterpriseValue, present);
    if (present && (!enterprise || *enterprise == 0 || *enterprise > 999999999)) {
        problem = "EnterpriseNumber is not a number from 1 to 999999999";
        return false;
    }
    if (enterprise) settings.enterpriseNumber = *enterprise;
    return true;
}

bool ReadFacility(const Key& key, SyslogSettings& settings, std::string& problem) {
    const auto facility = key.Text(kSyslogFacilityValue);
    if (!facility) return true;
    settings.facility = SyslogFacilityByName(*facility);
    if (settings.facility < 0) {
        problem = "Facility \"" + *facility + "\" is not one of " + SyslogFacilityList();
        return false;
    }
    return true;
}

}  // namespace

bool ReadSyslogSettings(SyslogSettings& settings, std::string& problem) {
    const Key key(kSyslogSettingsKey);
    if (!key) return true;
    if (!ReadTransport(key, settings, problem)) return false;
    if (!ReadNumbers(key, settings, problem) || !ReadFacility(key, settings, problem)) return false;
    if (auto journal = key.Text("JournalSocket")) settings.journalSocketPath = *journal;
    if (auto socket = key.Text("Socket"); socket && !socket->empty()) settings.socketPath = *socket;
    if (auto host = key.Text("Host"); host && !host->empty()) settings.host = *host;
    if (auto name = key.Text("AppName"); name && !name->empty()) settings.appName = *name;
    return true;
}

}  // namespace kx::fwd
