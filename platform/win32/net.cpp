// net.cpp: the sockets interface of WSOCK32.dll: protocol list, start-up, name resolution.
#include <cstring>
#include <vector>

#include "platform/win32/internal.h"
#include "platform/win32/system_headers.h"
// The sockets headers need the base declarations above first, and the protocol list needs the
// socket address types: the order matters.
// clang-format off
#include <winsock.h>
#include <nspapi.h>
// clang-format on

// The header maps the plain name onto the ANSI call; this backend's function keeps the plain one.
#undef EnumProtocols

namespace kx::plat::backend {
namespace {

// Enough for the protocol records of a usual machine; a larger list is fetched again at the
// size the system asks for.
constexpr DWORD kProtocolBufferBytes = 16 * 1024;

}  // namespace

int EnumProtocols(const int* protocols, ProtocolInfo* entries, int maxEntries) {
    if (protocols == nullptr || entries == nullptr || maxEntries <= 0) return -1;
    std::vector<INT> wanted;
    for (const int* p = protocols; *p != 0; ++p) wanted.push_back(*p);
    wanted.push_back(0);

    std::vector<unsigned char> buffer(kProtocolBufferBytes);
    DWORD bytes = static_cast<DWORD>(buffer.size());
    INT count = ::EnumProtocolsA(wanted.data(), buffer.data(), &bytes);
    if (count == SOCKET_ERROR && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(bytes);
        count = ::EnumProtocolsA(wanted.data(), buffer.data(), &bytes);
    }
    if (count == SOCKET_ERROR || count > maxEntries) return -1;
    for (INT i = 0; i < count; ++i) {
        PROTOCOL_INFOA record;
        std::memcpy(&record, buffer.data() + i * sizeof record, sizeof record);
        entries[i] = ProtocolInfo{record.iAddressFamily, record.iProtocol};
    }
    return count;
}

int WSAStartup(std::uint16_t version) {
    WSADATA data{};
    return ::WSAStartup(version, &data);
}

bool GetHostByName(const char* name, std::uint8_t* address) {
    if (name == nullptr || address == nullptr) return false;
    const hostent* host = ::gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length < 4 ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        return false;
    }
    std::memcpy(address, host->h_addr_list[0], 4);
    return true;
}

int WSACleanup() {
    return ::WSACleanup();
}

}  // namespace kx::plat::backend
