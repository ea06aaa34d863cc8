// population.cpp: completing a caller's records with facts about the reporting machine (product
// name, task, computer, user, domain, operating system, address, time stamps, language,
// processor serial) and keeping the copy of the last populated event.
#include "event/population.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "catalogue/definitions.h"
#include "common/registry.h"
#include "common/text.h"
#include "event/snapshot.h"
#include "runtime/siblings.h"
#include "runtime/state.h"

namespace kx {
namespace {

constexpr plat::Dword kSystemNameSize = 64;  // computer and user name requests
constexpr char kUnknownComputer[] = "?";
constexpr char kUnknownUser[] = "[unknown]";
constexpr char kNoAddress[] = "0.0.0.0";
constexpr char kNoIpValue[] = "NoIP";

// snprintf into a scratch buffer and a bounded copy into the field: a text longer than the
// field is cut at the field's end and stays terminated.
template <std::size_t N, typename... Args>
void FormatInto(char (&field)[N], const char* format, Args... args) {
    std::array<char, 256> scratch{};
    const int n = std::snprintf(scratch.data(), scratch.size(), format, args...);
    if (n < 0) scratch[0] = '\0';
    CopyText(field, BoundedText(scratch));
}

bool IsEmpty(const char* field) {
    return field[0] == '\0';
}

void FillTaskName(DetailRecord& detail, const char* taskName) {
    if (taskName == nullptr) return;
    CopyCallerText(detail.szTaskName, taskName);
}

void FillComputerName(MessageRecord& message) {
    std::array<char, kSystemNameSize> name{};
    plat::Dword size = kSystemNameSize;
    if (plat::GetComputerNameA(name.data(), &size)) {
        CopyText(message.szComputerName, BoundedText(name));
    } else {
        CopyText(message.szComputerName, kUnknownComputer);
    }
}

// True when the record names a user afterwards (the caller's or the system's).
bool FillUserName(DetailRecord& detail) {
    if (!IsEmpty(detail.szUserName)) return true;
    std::array<char, kSystemNameSize> name{};
    plat::Dword size = kSystemNameSize;
    if (plat::GetUserNameA(name.data(), &size)) {
        CopyText(detail.szUserName, BoundedText(name));
        return true;
    }
    CopyText(detail.szUserName, kUnknownUser);
    return false;
}

bool QueryVersion(plat::OsVersionInfo& info) {
    info = {};
    info.dwOSVersionInfoSize = sizeof(plat::OsVersionInfo);
    if (!plat::GetVersionExA(&info)) return false;
    TerminateField(info.szCSDVersion);
    return true;
}

// The domain is looked up only on the systems whose account look-up answers it: NT before 5,
// or a system reporting major version 5. A Unix host never counts, whatever its kernel version.
bool DomainLookupApplies() {
    plat::OsVersionInfo info;
    const bool haveVersion = QueryVersion(info);
    if (haveVersion && info.dwPlatformId == plat::kPlatformPosix) return false;
    if (haveVersion && info.dwPlatformId == plat::kPlatformNt && info.dwMajorVersion < 5) {
        return true;
    }
    return (plat::GetVersion() & 0xFFu) == 5;
}

void FillDomain(DetailRecord& detail, bool userPresent) {
    if (!IsEmpty(detail.szDomain) || !userPresent || !DomainLookupApplies()) return;
    std::array<char, sizeof(detail.szUserName) + 1> user{};
    CopyText(user, FieldText(detail.szUserName));
    std::array<char, kDomainNameSize> domain{};
    if (!LookupUserDomain(user.data(), domain)) return;
    std::string_view name = BoundedText(domain);
    // "\\NAME" is stored as "NAME"; a lone backslash leaves nothing to skip past.
    if (name.starts_with('\\')) name.remove_prefix(std::min<std::size_t>(2, name.size()));
    CopyText(detail.szDomain, name);
}

void FillOperatingSystem(DetailRecord& detail) {
    plat::OsVersionInfo info;
    if (!QueryVersion(info)) return;
    const bool unixHost = info.dwPlatformId == plat::kPlatformPosix;
    DescribeOperatingSystem(info, unixHost ? plat::SystemName() : nullptr, detail.szOS);
}

// Reads the Alerting key's "NoIP" switch and, unless it is set, looks the computer's address
// up. False when the Alerting key cannot be opened.
bool FillSourceAddress(MessageRecord& message) {
    bool noIp = false;
    {
        const RegKey alerting(kAlertingKey);
        if (!alerting) return false;
        std::array<std::byte, 4> value{};
        noIp = alerting.Read(kNoIpValue, value).has_value();
    }
    std::uint8_t address[4] = {};
    std::array<char, sizeof(message.szComputerName) + 1> host{};
    CopyText(host, FieldText(message.szComputerName));
    if (noIp || LookupSourceAddress(host.data(), address) != kAddressFound) {
        CopyText(message.szSourceIP, kNoAddress);
    } else {
        FormatInto(message.szSourceIP, "%d.%d.%d.%d", address[0], address[1], address[2],
                   address[3]);
    }
    return true;
}

template <std::size_t N>
void FormatEventTime(char (&field)[N], const plat::CalendarTime& t) {
    FormatInto(field, "%4d %2d %2d %2d:%2d:%2d", t.year, t.month, t.day, t.hour, t.minute,
               t.second);
}

void FillProcessorSerial(DetailRecord& detail) {
    std::uint32_t first = 0, second = 0, third = 0;
    const auto status = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(KrnlCpuGetSerialNumber(&first, &second, &third) & 0xFFFFu));
    if (status == 1) {
        FormatInto(detail.szProcessorSerial, "%08x %08x %08x", first, second, third);
    } else if (status == 0 || status == -1) {
        detail.szProcessorSerial[0] = '\0';
    }
}

// Releases the socket layer after a successful start, whatever the look-up gave.
class SocketSession {
  public:
    SocketSession() : started_(plat::WSAStartup(kSocketVersion) == 0) {}
    ~SocketSession() {
        if (started_) plat::WSACleanup();
    }
    SocketSession(const SocketSession&) = delete;
    SocketSession& operator=(const SocketSession&) = delete;
    bool started() const { return started_; }

  private:
    static constexpr std::uint16_t kSocketVersion = 2;  // version 2.0
    bool started_;
};

// Whether the socket layer offers TCP or UDP over the Internet address family.
std::uint32_t FindInternetProtocol() {
    constexpr int kProtocols[] = {plat::kIpProtoTcp, plat::kIpProtoUdp, 0};
    std::array<plat::ProtocolInfo, kProtocolEntries> entries{};
    const int count = plat::EnumProtocols(kProtocols, entries.data(), kProtocolEntries);
    if (count == -1) return kNoProtocolList;
    const auto listed = std::span(entries).first(std::clamp(count, 0, kProtocolEntries));
    const bool internet = std::any_of(listed.begin(), listed.end(), [](const auto& protocol) {
        return protocol.addressFamily == plat::kAfInet;
    });
    return internet ? kAddressFound : kNoInternetProtocol;
}

}  // namespace

bool LookupUserDomain(const char* user, std::span<char, kDomainNameSize> domain) {
    std::array<std::byte, 12> sid{};
    plat::Dword sidSize = sid.size();
    plat::Dword domainChars = domain.size();
    plat::Dword use = 1;  // a user account
    domain[0] = '\0';
    if (!plat::LookupAccountNameA(nullptr, user, sid.data(), &sidSize, domain.data(), &domainChars,
                                  &use)) {
        domain[0] = '\0';
        return false;
    }
    TerminateField(domain);
    return true;
}

std::uint32_t LookupSourceAddress(const char* host, std::uint8_t address[4]) {
    while (*host == '\\') ++host;
    if (const std::uint32_t code = FindInternetProtocol(); code != kAddressFound) return code;
    const SocketSession sockets;
    if (!sockets.started()) return kNoInternetProtocol;
    std::uint8_t found[4] = {};
    if (!plat::GetHostByName(host, found)) return kHostNotFound;
    std::memcpy(address, found, sizeof(found));
    return kAddressFound;
}

void DescribeOperatingSystem(const plat::OsVersionInfo& info, const char* systemName,
                             std::span<char> out) {
    std::array<char, sizeof(info.szCSDVersion) + 1> pack{};
    CopyText(pack, BoundedText(info.szCSDVersion));
    const int major = static_cast<int>(info.dwMajorVersion);
    const int minor = static_cast<int>(info.dwMinorVersion);
    std::array<char, 256> text{};
    int n = -1;
    switch (info.dwPlatformId) {
        case plat::kPlatformWin32s:
            n = std::snprintf(text.data(), text.size(), "Win 3.1 with Win32s V%d %d", major, minor);
            break;
        case plat::kPlatformWindows:
            n = std::snprintf(text.data(), text.size(),
                              minor == 0 ? "Windows 95 V%d %d" : "Windows 98 V%d %d", major, minor);
            break;
        case plat::kPlatformNt:
            n = std::snprintf(
                text.data(), text.size(),
                info.dwMajorVersion <= 4 ? "Windows NT V%d %d (%s)" : "Windows 2000 V%d %d (%s)",
                major, minor, pack.data());
            break;
        case plat::kPlatformPosix:
            // A Unix host is described in the same shape as the Windows rows: the system's
            // name, the kernel's major and minor version and the distribution in parentheses,
            // as "Linux V6 1 (Debian 12)", cut like every description to the field.
            n = std::snprintf(text.data(), text.size(), "%s V%d %d (%s)",
                              systemName != nullptr ? systemName : "?", major, minor, pack.data());
            break;
        default:
            n = std::snprintf(text.data(), text.size(), "?");
            break;
    }
    if (n < 0) text[0] = '\0';
    CopyText(out, BoundedText(text));
}

int PopulateEventStructures(std::uint32_t productId, const char* taskName, MessageRecord* message,
                            DetailRecord* detail, ContextRecord* context) {
    if (message == nullptr || detail == nullptr || context == nullptr) {
        return EVENT_ERR_NO_DEFINITION;
    }
    if (GetProductName(productId, message->szSoftwareName) == 0) return EVENT_ERR_NO_PRODUCT_NAME;
    FillTaskName(*detail, taskName);
    FillComputerName(*message);
    FillDomain(*detail, FillUserName(*detail));
    FillOperatingSystem(*detail);
    if (IsEmpty(message->szSourceIP) && !FillSourceAddress(*message)) {
        return EVENT_ERR_NO_ALERTING_KEY;
    }
    FormatEventTime(message->szLocalTime, GetEventTime(true));
    FormatEventTime(message->szGMTTime, GetEventTime(false));
    CopyText(detail->szLanguageCode, FieldText(LanguageCode));
    FillProcessorSerial(*detail);
    StoreSnapshot(*message, *detail, *context);
    return EVENT_OK;
}

}  // namespace kx
