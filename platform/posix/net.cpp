// net.cpp: the little of Winsock the library uses: the installed protocols, and a host
// name's first IPv4 address through the system resolver, whose answer is kept for a few seconds
// while the resolver's files stay unchanged.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/host_answers.h"
#include "platform/posix/internal.h"

namespace kx::plat::backend {
namespace {

constexpr ProtocolInfo kInstalled[] = {{kAfInet, kIpProtoTcp}, {kAfInet, kIpProtoUdp}};

// Long enough to spare a burst of sends the resolver's work, short enough that a changed answer
// from a name server shows in the next alerts.
constexpr auto kAnswerLifetime = std::chrono::seconds(5);

HostAnswers& TheHostAnswers() {
    static HostAnswers answers(
        {"/etc/hosts", "/etc/resolv.conf", "/etc/nsswitch.conf", "/etc/gai.conf"}, kAnswerLifetime);
    return answers;
}

std::optional<HostAddress> Resolve(const char* name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    HostAddress address;
    const auto* inet = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(address.data(), &inet->sin_addr, 4);  // network order, as in a host entry
    ::freeaddrinfo(found);
    return address;
}

bool Wanted(const int* protocols, int protocol) {
    if (!protocols) return true;
    for (const int* p = protocols; *p; ++p) {
        if (*p == protocol) return true;
    }
    return false;
}

}  // namespace

int EnumProtocols(const int* protocols, ProtocolInfo* entries, int maxEntries) {
    int count = 0;
    for (const ProtocolInfo& installed : kInstalled) count += Wanted(protocols, installed.protocol);
    if (count == 0) {
        SetLastError(kErrorInvalidParameter);
        return -1;
    }
    if (!entries || maxEntries < count) {
        SetLastError(kErrorInsufficientBuffer);
        return -1;
    }
    int written = 0;
    for (const ProtocolInfo& installed : kInstalled) {
        if (Wanted(protocols, installed.protocol)) entries[written++] = installed;
    }
    return written;
}

int WSAStartup(std::uint16_t) {
    return 0;
}

int WSACleanup() {
    return 0;
}

bool GetHostByName(const char* name, std::uint8_t* address) {
    if (!address) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    char host[256] = {};
    if (!name) {
        // As gethostbyname, no name means this host.
        if (::gethostname(host, sizeof host - 1) != 0) return Fail(SetLastErrorFromErrno());
        name = host;
    }
    HostAnswers& answers = TheHostAnswers();
    const std::vector<FileStamp> stamps = answers.Stamps();
    const HostAnswers::Clock::time_point now = HostAnswers::Clock::now();
    std::optional<HostAddress> found = answers.Find(name, stamps, now);
    if (!found) {
        found = Resolve(name);
        if (!found) {
            SetLastError(kWsaHostNotFound);
            return false;
        }
        answers.Keep(name, *found, stamps, now);
    }
    std::memcpy(address, found->data(), found->size());
    return true;
}

}  // namespace kx::plat::backend
