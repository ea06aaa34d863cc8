// population.h: completing the records with facts about the reporting machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/event_time.h"
#include "kxevent/kxevent.h"
#include "platform/platform.h"

namespace kx {

// Completes the records and, on success, copies them into LastEventSnapshot. 0, 2 or 3; a null
// record is refused with EVENT_ERR_NO_DEFINITION before anything is touched.
int PopulateEventStructures(std::uint32_t productId, const char* taskName, MessageRecord* message,
                            DetailRecord* detail, ContextRecord* context);

// The referenced domain of a user account, as the account look-up reports it (possibly with a
// leading "\\"). False, with `domain` empty, when the look-up fails.
inline constexpr std::size_t kDomainNameSize = 260;
bool LookupUserDomain(const char* user, std::span<char, kDomainNameSize> domain);

// Outcome codes of LookupSourceAddress.
inline constexpr std::uint32_t kAddressFound = 0;
inline constexpr std::uint32_t kHostNotFound = 0xC0000000u;
inline constexpr std::uint32_t kNoInternetProtocol = 0xC0000001u;
inline constexpr std::uint32_t kNoProtocolList = 0xC0000002u;
// Entries of the 4096-byte protocol list (32 bytes per entry in the system's layout).
inline constexpr int kProtocolEntries = 128;

// The IPv4 address of `host` (leading backslashes skipped) in network order.
std::uint32_t LookupSourceAddress(const char* host, std::uint8_t address[4]);

// The operating-system description for `info`, cut to fit `out`. `systemName` names a Unix
// host's system (kPlatformPosix); other platforms ignore it.
void DescribeOperatingSystem(const plat::OsVersionInfo& info, const char* systemName,
                             std::span<char> out);

}  // namespace kx
