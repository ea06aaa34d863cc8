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

// A number stored as REG_DWORD or as decimal text, within `lowest` to `highest`. A value that is
// none of these is a problem that names it, so that each bad value is told apart.
bool ReadNumber(const Key& key, const char* name, SyslogNumberRange range,
                std::optional<std::uint32_t>& number, std::string& problem) {
    const auto raw = key.Read(name);
    if (!raw) return true;
    std::string shown;
    if (raw->type == plat::kRegDword && raw->size == 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, raw->data.data(), 4);
        number = value;
        shown = std::to_string(value);
    } else {
        shown = Key::TextOf(*raw);
        number = ParseSyslogDecimal(shown);
        shown = "\"" + shown + "\"";
    }
    if (number && range.Holds(*number)) return true;
    problem = std::string(name) + " " + shown + " is not a number from " +
              std::to_string(range.lowest) + " to " + std::to_string(range.highest);
    return false;
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
    std::optional<std::uint32_t> port;
    std::optional<std::uint32_t> enterprise;
    if (!ReadNumber(key, kSyslogPortValue, kSyslogPortRange, port, problem) ||
        !ReadNumber(key, kSyslogEnterpriseValue, kSyslogEnterpriseRange, enterprise, problem)) {
        return false;
    }
    if (port) settings.port = static_cast<std::uint16_t>(*port);
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
