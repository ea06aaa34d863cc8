// regfile_text.h: the text of a registry file in the system's export format ("REGEDIT4"), as an
// administrator writes one. Shared by the Linux tests (which write the file where VEL_REGISTRY
// points) and the Windows tests (which import it with the system's reg tool); standard C++ only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kx::test {

// Keys the tests write, spelled out here once rather than taken from the library, so that a
// library reading the wrong key fails them.
inline constexpr char kAlertingKey[] = "Software\\Velmora\\QRD\\Shared Components\\Brisa\\Alerting";
inline constexpr char kEventsKey[] = "Software\\Velmora\\QRD\\Shared Components\\Events";
inline constexpr char kInstallKey[] =
    "Software\\Velmora\\QRD\\Shared Components\\Brisa\\CurrentVersion";
inline constexpr char kForwardingKey[] =
    "Software\\Velmora\\QRD\\Shared Components\\Events\\Forwarding";

// `File` is the registry file class deriving from this one, so that calls chain on it:
//   reg.Key("Software\\Velmora\\QRD\\Shared Components\\Brisa\\Alerting")
//      .Dword("bEnableCAlert", 1).String("Centralized Alerting Path", dir);
template <typename File>
class RegFileText {
  public:
    // Starts a key under HKEY_LOCAL_MACHINE.
    File& Key(std::string_view path) { return Section("HKEY_LOCAL_MACHINE", path); }
    // Starts a key under HKEY_CURRENT_USER.
    File& UserKey(std::string_view path) { return Section("HKEY_CURRENT_USER", path); }

    // A "" name writes the key's unnamed value.
    File& String(std::string_view name, std::string_view value) {
        text_ += ValueName(name) + "=" + Quoted(value) + "\r\n";
        return Self();
    }
    File& Dword(std::string_view name, std::uint32_t value) {
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(value));
        text_ += ValueName(name) + "=dword:" + digits + "\r\n";
        return Self();
    }
    // Raw bytes; `type` -1 writes hex:, otherwise hex(type): with the type in hexadecimal.
    File& Hex(std::string_view name, const std::vector<std::uint8_t>& bytes, int type = -1) {
        char typeText[16];
        std::snprintf(typeText, sizeof typeText, "%x", static_cast<unsigned>(type));
        text_ += ValueName(name) + (type < 0 ? "=hex:" : "=hex(" + std::string(typeText) + "):");
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>(bytes[i]));
            if (i != 0) text_ += ',';
            text_ += byte;
        }
        text_ += "\r\n";
        return Self();
    }

    const std::string& Text() const { return text_; }

  private:
    File& Self() { return static_cast<File&>(*this); }

    File& Section(std::string_view root, std::string_view path) {
        text_ += "\r\n[";
        text_ += root;
        text_ += '\\';
        text_ += path;
        text_ += "]\r\n";
        return Self();
    }

    static std::string Quoted(std::string_view text) {
        std::string quoted = "\"";
        for (const char c : text) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        return quoted + "\"";
    }
    static std::string ValueName(std::string_view name) {
        return name.empty() ? std::string("@") : Quoted(name);
    }

    std::string text_ = "REGEDIT4\r\n";
};

}  // namespace kx::test
