// syslog_settings.cpp: reading FwdSyslog's registry key through the platform registry.
#include "forwarders/syslog/syslog_settings.h"

#include <array>
#include <cctype>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "common/names.h"
#include "common/text.h"
#include "platform/platform.h"

namespace kx::fwd {

namespace {

constexpr std::array<std::pair<std::string_view, int>, 20> kFacilities = {{
    {"kern", 0},      {"user", 1},    {"mail", 2},    {"daemon", 3},  {"auth", 4},
    {"syslog", 5},    {"lpr", 6},     {"news", 7},    {"uucp", 8},    {"cron", 9},
    {"authpriv", 10}, {"ftp", 11},    {"local0", 16}, {"local1", 17}, {"local2", 18},
    {"local3", 19},   {"local4", 20}, {"local5", 21}, {"local6", 22}, {"local7", 23},
}};

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

std::optional<std::uint32_t> ParseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

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
    return ParseDecimal(Key::TextOf(*raw));
}

bool ReadTransport(const Key& key, SyslogSettings& settings, std::string& problem) {
    const auto text = key.Text("Transport");
    if (!text) return true;
    const std::string_view name = *text;
    if (SameNameIgnoringCase(name, "local")) {
        settings.transport = Transport::Local;
    } else if (SameNameIgnoringCase(name, "udp")) {
        settings.transport = Transport::Udp;
    } else if (SameNameIgnoringCase(name, "tcp")) {
        settings.transport = Transport::Tcp;
    } else {
        problem = "Transport \"" + *text + "\" is not local, udp or tcp";
        return false;
    }
    return true;
}

bool ReadPortAndFacility(const Key& key, SyslogSettings& settings, std::string& problem) {
    bool present = false;
    const auto port = ReadNumber(key, "Port", present);
    if (present && (!port || *port == 0 || *port > 65535)) {
        problem = "Port is not a number from 1 to 65535";
        return false;
    }
    if (port) settings.port = static_cast<std::uint16_t>(*port);
    if (const auto facility = key.Text("Facility")) {
        settings.facility = ParseFacility(*facility);
        if (settings.facility < 0) {
            problem = "Facility \"" + *facility + "\" is not a syslog facility";
            return false;
        }
    }
    return true;
}

}  // namespace

int ParseFacility(std::string_view text) {
    for (const auto& [name, code] : kFacilities) {
        if (name == text) return code;
    }
    const auto number = ParseDecimal(text);
    return number && *number <= 23 ? static_cast<int>(*number) : -1;
}

bool ReadSyslogSettings(SyslogSettings& settings, std::string& problem) {
    const Key key(kSyslogSettingsKey);
    if (!key) return true;
    if (!ReadTransport(key, settings, problem)) return false;
    if (!ReadPortAndFacility(key, settings, problem)) return false;
    if (auto socket = key.Text("Socket"); socket && !socket->empty()) settings.socketPath = *socket;
    if (auto host = key.Text("Host"); host && !host->empty()) settings.host = *host;
    if (auto name = key.Text("AppName"); name && !name->empty()) settings.appName = *name;
    return true;
}

}  // namespace kx::fwd
